// The output file of a command (-o FILE): never one of the files the command
// reads, never an existing file unless forced, standard output for "-". The
// data is written to a temporary file beside the output and renamed over it
// once complete, so an output that fails half way leaves the old file (or
// none) as it was.
#pragma once

#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/status.h"

namespace cli {

// Whether `a` and `b` name the same file (device and inode: a symbolic or
// hard link to it is the file too). False when either cannot be read.
bool same_file(const std::string& a, const std::string& b);

// The file an IMAGE argument reads: the image, or the device of a
// /dev/mtdN[=NAME] reference.
std::string image_file(const std::string& image_arg);

class OutputFile {
 public:
  struct Options {
    bool force = false;   // an existing output may be replaced
    bool binary = false;  // the data is not text: never to a terminal
  };

  // Checks `path` against the files the command reads (`inputs`): the same
  // file is refused whatever --force says, an existing one needs `force`;
  // then opens the temporary file (or takes standard output for "-").
  // Errors: invalid argument for a refused output, usage for binary data to
  // a terminal, the system's error otherwise. Nothing is created on error.
  static Result<std::unique_ptr<OutputFile>> open(const std::string& path,
                                                  const std::vector<std::string>& inputs,
                                                  Options options);
  ~OutputFile();  // uncommitted: the temporary file is removed
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  std::FILE* stream() const { return stream_; }
  // The path, or "standard output".
  const std::string& name() const { return name_; }
  bool to_stdout() const { return temp_.empty() && in_place_.empty(); }

  // Writes `n` bytes; an error names the output.
  Status write(const void* data, size_t n);
  // Makes the data the output: flushed, synced and renamed over it (without
  // `force`, refused if the output appeared meanwhile).
  Status commit();

 private:
  OutputFile() = default;
  Status failed(const std::string& what, int err) const;

  std::FILE* stream_ = nullptr;
  std::string name_;
  std::string target_;    // the output with its links resolved
  std::string temp_;      // the temporary file beside it; empty for stdout
  std::string in_place_;  // a device or pipe written directly (forced)
  bool force_ = false;
  bool committed_ = false;
};

}  // namespace cli
