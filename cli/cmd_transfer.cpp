// export and import: a partition's whole disk copied out to a file, or a
// disk image copied in, through the block-translation layer's disk in
// chunks, ending with a flush and the orderly shutdown of the stack. And
// trim: a range of the disk discarded, and the trimmed pages' copies
// collected and erased so that the next attach does not bring them back.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cli_common.h"
#include "nyx_nftl/nyx_nftl.h"
#include "output_file.h"
#include "part_stats.h"
#include "platform/block/blktrans_disk.h"

namespace cli {

namespace {

constexpr size_t kChunkBytes = 256 * 1024;
constexpr uint64_t kSector = 512;

struct TransferArgs {
  ImageArgs image;
  std::string partition;
  std::string file;
  bool force = false;  // export: an existing output may be replaced
};

// Closes a stdio file when it goes.
struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// The started stack and the disk of the partition named `name`.
struct StartedDisk {
  std::unique_ptr<frontend::NandStack> stack;
  std::shared_ptr<BlockDisk> disk;
};

Result<StartedDisk> start_disk(const ImageArgs& image, const std::string& name,
                               nandsim::OpenMode mode) {
  auto part_def = lookup_partition(image, name);
  if (!part_def.ok()) return part_def.status();
  const std::string mtd_name = part_def.value().name;
  if (Status served = check_served(mtd_name); !served.ok()) return served;
  // Only this partition is brought up.
  auto stack = open_stack(only_partition(image, part_def.value()), mode);
  if (!stack.ok()) return stack.status();
  if (Status started = stack.value()->start(); !started.ok()) return started;
  for (const BlockDiskInfo& info : stack.value()->disks()) {
    if (info.mtd_name == mtd_name) {
      StartedDisk out{std::move(stack).value(), nullptr};
      out.disk = out.stack->disk(info.name);
      if (out.disk != nullptr) return out;
    }
  }
  // The translation layer refused the partition; its log lines tell why.
  return Status::IOError("partition " + mtd_name + " did not become a disk (see --verbose)");
}

// Flushes and releases the disk, then shuts the stack down; the first
// failure is reported.
Status finish(StartedDisk& sd) {
  std::string problems;
  if (int ret = sd.disk->flush(); ret != 0)
    problems += "flush failed: error " + std::to_string(ret) + "; ";
  sd.disk->release();
  sd.disk.reset();
  if (Status down = sd.stack->shutdown(); !down.ok()) problems += down.message();
  if (!problems.empty()) return Status::IOError(problems);
  return Status::Ok();
}

// A transfer that stopped at `failure`: the disk is finished as well as it
// can be, and the failure (not the finish's) is what the command reports.
Status abandon(StartedDisk& sd, Status failure) {
  (void)finish(sd);
  return failure;
}

Status run_export(const TransferArgs& args, const GlobalOptions& global) {
  SystemLog log(global.verbose);
  auto out = OutputFile::open(args.file, {image_file(args.image.path)},
                              {.force = args.force, .binary = true});
  if (!out.ok()) return out.status();
  auto sd = start_disk(args.image, args.partition, nandsim::OpenMode::Private);
  if (!sd.ok()) return sd.status();
  StartedDisk& s = sd.value();
  s.disk->open();
  const uint64_t total = s.disk->capacity() * kSector;
  std::vector<uint8_t> buf(kChunkBytes);
  Progress progress("export " + s.disk->name(), total);
  for (uint64_t done = 0; done < total;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(kChunkBytes, total - done));
    if (int ret = s.disk->read(done / kSector, std::span<uint8_t>(buf.data(), n)); ret != 0) {
      return abandon(s, Status::FromErrno(-ret, "reading " + s.disk->name() + " at byte " +
                                                    std::to_string(done) + " failed: error " +
                                                    std::to_string(ret)));
    }
    if (Status written = out.value()->write(buf.data(), n); !written.ok()) {
      return abandon(s, written);
    }
    done += n;
    progress.update(done);
  }
  progress.finish();
  if (Status done = finish(s); !done.ok()) return done;
  if (Status committed = out.value()->commit(); !committed.ok()) return committed;
  std::fprintf(stderr, "exported %llu bytes of disk %s to %s\n",
               static_cast<unsigned long long>(total), args.partition.c_str(),
               out.value()->name().c_str());
  return Status::Ok();
}

// The partition's capacity in bytes and whether it carries the head mark,
// read on a private mapping so that nothing is written while the command's
// input is judged (an attach formats a blank partition).
struct DiskFacts {
  uint64_t bytes = 0;
  bool formatted = false;
};
Result<DiskFacts> disk_facts(const ImageArgs& image, const std::string& name) {
  auto stack = open_stack(image, nandsim::OpenMode::Private);
  if (!stack.ok()) return stack.status();
  auto part = find_partition(*stack.value(), name);
  if (!part.ok()) return part.status();
  if (Status served = check_served(part.value()->name); !served.ok()) return served;
  auto marked = probe_head_mark(part.value()->mtd);
  if (!marked.ok()) return marked.status();
  auto attached = AttachedPart::attach(part.value()->mtd);
  if (!attached.ok()) return attached.status();
  return DiskFacts{uint64_t(attached.value().get()->logic_cap_in_sects) * kSector, marked.value()};
}

Status run_import(const TransferArgs& args, const GlobalOptions& global) {
  SystemLog log(global.verbose);
  if (same_file(args.file, image_file(args.image.path))) {
    return Status::InvalidArgument("input " + args.file + " is the image " + args.image.path +
                                   " itself (the same file); nothing written");
  }
  FilePtr in(std::fopen(args.file.c_str(), "rb"));
  struct stat st {};
  if (in == nullptr || ::fstat(::fileno(in.get()), &st) != 0) {
    const int err = errno;
    return Status::FromErrno(err, "cannot open " + args.file + ": " + std::strerror(err));
  }
  if (!S_ISREG(st.st_mode)) return Status::InvalidArgument(args.file + " is not a regular file");
  const uint64_t input = static_cast<uint64_t>(st.st_size);
  auto facts = disk_facts(args.image, args.partition);
  if (!facts.ok()) return facts.status();
  if (input > facts.value().bytes) {
    return Status::InvalidArgument(
        "input " + args.file + " is " + std::to_string(input) + " bytes, larger than the disk of " +
        args.partition + " (" + std::to_string(facts.value().bytes) + " bytes); nothing written");
  }

  auto sd = start_disk(args.image, args.partition, nandsim::OpenMode::ReadWrite);
  if (!sd.ok()) return sd.status();
  StartedDisk& s = sd.value();
  s.disk->open();
  std::vector<uint8_t> buf(kChunkBytes);
  Progress progress("import " + s.disk->name(), input);
  for (uint64_t done = 0; done < input;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(kChunkBytes, input - done));
    if (std::fread(buf.data(), 1, n, in.get()) != n) {
      return abandon(s, Status::IOError("reading " + args.file + " failed"));
    }
    // An input that ends inside a sector keeps the disk's own bytes after
    // its end: the last sector is read, overlaid and written back.
    size_t whole = n - n % kSector;
    if (whole != n) {
      std::vector<uint8_t> sector(kSector);
      const uint64_t at = (done + whole) / kSector;
      if (int ret = s.disk->read(at, sector); ret != 0) {
        return abandon(s, Status::FromErrno(-ret, "reading " + s.disk->name() + " failed: error " +
                                                      std::to_string(ret)));
      }
      std::memcpy(sector.data(), buf.data() + whole, n - whole);
      std::memcpy(buf.data() + whole, sector.data(), kSector);
      whole += kSector;
    }
    if (int ret = s.disk->write(done / kSector, std::span<const uint8_t>(buf.data(), whole));
        ret != 0) {
      return abandon(s, Status::FromErrno(-ret, "writing " + s.disk->name() + " at byte " +
                                                    std::to_string(done) + " failed: error " +
                                                    std::to_string(ret)));
    }
    done += n;
    progress.update(done);
  }
  progress.finish();
  if (Status done = finish(s); !done.ok()) return done;
  std::fprintf(stderr, "imported %llu bytes from %s into disk %s\n",
               static_cast<unsigned long long>(input), args.file.c_str(), args.partition.c_str());
  return Status::Ok();
}

struct TrimArgs {
  ImageArgs image;
  std::string partition;
  std::string offset = "0";
  std::string length;  // empty: to the end of the disk
};

// The byte range [first, end) of a disk of `capacity` bytes the arguments
// name, or what is wrong with them.
Result<std::pair<uint64_t, uint64_t>> trim_range(const TrimArgs& args, uint64_t capacity) {
  auto offset = parse_size(args.offset);
  if (!offset.ok()) return offset.status();
  auto length = args.length.empty()
                    ? Result<uint64_t>(capacity - std::min(offset.value(), capacity))
                    : parse_size(args.length);
  if (!length.ok()) return length.status();
  if (offset.value() % kSector != 0 || length.value() % kSector != 0) {
    return Status::Usage("offset and length must be whole 512-byte sectors; nothing trimmed");
  }
  if (offset.value() > capacity || length.value() > capacity - offset.value()) {
    return Status::InvalidArgument("the range goes past the end of the disk of " + args.partition +
                                   " (" + std::to_string(capacity) + " bytes); nothing trimmed");
  }
  return std::make_pair(offset.value(), offset.value() + length.value());
}

// Discards the range, then removes the trimmed pages' copies from the
// flash (gc_trimmed) under the partition's lock, as the worker takes it.
Status trim_disk(StartedDisk& s, uint64_t first, uint64_t end, uint32* kept) {
  if (int ret = s.disk->discard(first / kSector, (end - first) / kSector); ret != 0) {
    return Status::FromErrno(
        -ret, "trimming " + s.disk->name() + " failed: error " + std::to_string(ret));
  }
  nyx_nftl_part_t* part = nyx_nftl_blk_of(s.disk->device())->nyx_nftl_part;
  mutex_lock(&part->nyx_nftl_lock);
  const uint32 ret = gc_trimmed(part, kept);
  mutex_unlock(&part->nyx_nftl_lock);
  if (ret != 0) {
    return Status::IOError("collecting the trimmed pages of " + s.disk->name() +
                           " failed (see --verbose); they are unmapped, but the next attach "
                           "may bring some back");
  }
  return Status::Ok();
}

Status run_trim(const TrimArgs& args, const GlobalOptions& global) {
  SystemLog log(global.verbose);
  auto facts = disk_facts(args.image, args.partition);
  if (!facts.ok()) return facts.status();
  auto range = trim_range(args, facts.value().bytes);
  if (!range.ok()) return range.status();
  const auto [first, end] = range.value();
  if (!facts.value().formatted) {
    std::fprintf(stderr,
                 "partition %s is unformatted: every page reads erased already; "
                 "nothing written\n",
                 args.partition.c_str());
    return Status::Ok();
  }
  auto sd = start_disk(args.image, args.partition, nandsim::OpenMode::ReadWrite);
  if (!sd.ok()) return sd.status();
  StartedDisk& s = sd.value();
  s.disk->open();
  uint32 kept = 0;
  if (Status trimmed = trim_disk(s, first, end, &kept); !trimmed.ok()) return abandon(s, trimmed);
  const uint64_t page_bytes =
      uint64_t{nyx_nftl_blk_of(s.disk->device())->nyx_nftl_part->nand_chip->bytes_per_page};
  if (Status done = finish(s); !done.ok()) return done;
  const uint64_t pages =
      end / page_bytes - std::min(end / page_bytes, (first + page_bytes - 1) / page_bytes);
  std::fprintf(stderr,
               "trimmed bytes %llu to %llu of disk %s: %llu whole pages of %llu bytes unmapped "
               "and their copies erased from the flash",
               static_cast<unsigned long long>(first), static_cast<unsigned long long>(end),
               args.partition.c_str(), static_cast<unsigned long long>(pages),
               static_cast<unsigned long long>(page_bytes));
  if (kept != 0) {
    std::fprintf(stderr,
                 ", except %u in the block being written, which the next attach may "
                 "bring back",
                 kept);
  }
  std::fputs("\n", stderr);
  return Status::Ok();
}

}  // namespace

Command add_export(CLI::App& app, const GlobalOptions& global) {
  auto args = std::make_shared<TransferArgs>();
  CLI::App* sub =
      app.add_subcommand("export", "Copy a partition's whole disk to a file (read-only)");
  add_image_options(sub, args->image);
  sub->add_option("-p,--partition", args->partition, "Partition: MTD name or disk name")
      ->required();
  sub->add_option("-o,--output", args->file, "File to write, - for standard output")->required();
  sub->add_flag("--force", args->force, "Replace an existing output file");
  return {sub, [args, &global] { return run_export(*args, global); }};
}

Command add_import(CLI::App& app, const GlobalOptions& global) {
  auto args = std::make_shared<TransferArgs>();
  CLI::App* sub = app.add_subcommand("import", "Copy a disk image into a partition's disk");
  add_image_options(sub, args->image);
  sub->add_option("-p,--partition", args->partition, "Partition: MTD name or disk name")
      ->required();
  sub->add_option("-i,--input", args->file, "Disk image to copy in (at most the disk's size)")
      ->required();
  return {sub, [args, &global] { return run_import(*args, global); }};
}

Command add_trim(CLI::App& app, const GlobalOptions& global) {
  auto args = std::make_shared<TrimArgs>();
  CLI::App* sub = app.add_subcommand(
      "trim",
      "Discard a range of a partition's disk: its whole flash pages read erased from now on, "
      "their copies collected and erased (changes the image)");
  add_image_options(sub, args->image);
  sub->add_option("-p,--partition", args->partition, "Partition: MTD name or disk name")
      ->required();
  sub->add_option("--offset", args->offset, "First byte, whole sectors (k/M/G suffix)")
      ->capture_default_str();
  sub->add_option("--length", args->length, "Bytes, whole sectors (default: to the disk's end)");
  return {sub, [args, &global] { return run_trim(*args, global); }};
}

}  // namespace cli
