// Device classes with named attributes, the stand-in for the kernel's
// `struct class` and `struct class_attribute`. A registered class is found by
// name, and its attributes can be read and written from outside the system
// (the command-line tool does so).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

struct device_class;

struct class_attribute {
  const char* name;  // null name ends a table
  unsigned short mode;
  ssize_t (*show)(device_class* cls, class_attribute* attr, char* buf);
  ssize_t (*store)(device_class* cls, class_attribute* attr, const char* buf, size_t count);
};

struct device_class {
  const char* name;
  class_attribute* class_attrs;  // table ended by an entry with a null name
};

// Registers a class; fails with -EEXIST (-17) when the name is taken.
int class_register(device_class* cls);
void class_unregister(device_class* cls);
