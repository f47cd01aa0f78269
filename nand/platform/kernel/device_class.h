// Device classes with named attributes, the stand-in for the kernel's
// `struct class` and `struct class_attribute`. A registered class is found by
// name, and its attributes can be read and written from outside the system
// (the command-line tool does so).
//
// Outside access follows sysfs: a read hands the attribute's show operation
// a zero-filled 4096-byte buffer and returns the text it produced; a write
// hands the store operation the text, at most 4095 bytes, followed by a zero
// byte. The permission bits (mode) are checked unless the caller is
// privileged; an attribute without the operation asked for is refused with
// -EIO, a permission failure with -EACCES, an unknown class or attribute
// with -ENOENT.
//
// Lifetime: the registry keeps a pointer to the class, not a copy; the class
// and its attribute table must stay valid until class_unregister returns.
// class_unregister waits for the attribute operations running on the class
// to end, so an operation must not unregister its own class.
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

// Registers a class; fails with -EEXIST (-17) when the name is taken, -EINVAL
// for a class without a name.
int class_register(device_class* cls);
// Withdraws a registered class (nothing happens for one that is not), after
// the attribute operations running on it have ended.
void class_unregister(device_class* cls);

// Reads an attribute: 0 with its text in *out, or a negative errno (also a
// negative result of the show operation).
int class_attr_read(const std::string& class_name, const std::string& attr_name, std::string* out,
                    bool privileged = false);
// Writes an attribute: 0 when the store operation took the text (returned
// zero or more), else a negative errno (or its negative result). Writing an
// attribute without write permission bits needs privileged = true.
int class_attr_write(const std::string& class_name, const std::string& attr_name,
                     const std::string& text, bool privileged = false);

struct class_attr_info {
  std::string name;
  unsigned short mode;
  bool can_show;   // has a read operation
  bool can_store;  // has a write operation
};

// Names of the registered classes, sorted.
std::vector<std::string> class_list();
// Attributes of a class, in table order; 0 or -ENOENT.
int class_attr_list(const std::string& class_name, std::vector<class_attr_info>* out);
