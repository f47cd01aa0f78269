// nbdkit plugin serving the disks of one NAND image as NBD exports.
//
// The image (a raw dump of the simulated chip: every page's main bytes then
// its OOB bytes) is split by an mtdparts list; the translation layer turns
// the partitions it accepts into disks (its table of served partitions,
// nyx_nftl_served_parts, names them), and every disk is one export, named
// after the disk.
//
//   nbdkit -U SOCKET nbdkit-nyx-plugin.so image=nand.img
//       [mtdparts=...] [page-size=2048] [oob-size=64] [pages-per-block=64]
//       [spare-offset=2] [blocks=N] [gc-policy=NAME] [readonly=false]
//
// `nbdkit nbdkit-nyx-plugin.so --help` lists the parameters, the served
// names and the collection policies as the layer has them.
//
// Life cycle. The image is opened and split while nbdkit reads its
// configuration (so a wrong geometry or a truncated image stops the server
// before it starts), but the layer's threads start only in after_fork:
// nbdkit forks when it daemonizes and under --run, and threads do not
// survive a fork. cleanup runs the orderly shutdown (flush every cache, stop
// the workers, remove the disks and devices, sync and unmap the image).
//
// Requests. All requests are serialized by nbdkit; each read or write is
// one whole request handed to the disk over the client's buffer. The disk
// keeps one write cache for every connection, so a flush on one connection
// covers the writes of all of them (multi-conn).
#define NBDKIT_API_VERSION 2
#define THREAD_MODEL NBDKIT_THREAD_MODEL_SERIALIZE_ALL_REQUESTS
#include <nbdkit-plugin.h>

#include <sys/stat.h>

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "nand_stack.h"
#include "nyx_build_info.h"
#include "nyx_nftl/nyx_nftl.h"
#include "platform/block/blktrans_disk.h"
#include "platform/kernel/kernel.h"

namespace {

constexpr uint32_t kSectorSize = 512;
constexpr uint32_t kPreferredBlock = 4096;      // one page of the request's buffer
constexpr uint32_t kMaximumBlock = 256 * 1024;  // what one request of the disk carries

// The configuration, then the running stack. Plain pointers and values
// only: nothing here may do work in a global destructor (nbdkit may exit
// from a forked copy of the process).
struct PluginState {
  std::string image;
  frontend::ImageOptions options;
  frontend::DeviceOptions devices;  // mtd= and all-mtd=: Linux MTD devices instead of an image
  bool blocks_given = false;
  bool readonly = false;
  frontend::NandStack* stack = nullptr;  // opened in config_complete, owned until cleanup
  bool started = false;
};

PluginState& state() {
  // Never destroyed: see above.
  static PluginState* s = new PluginState();
  return *s;
}

// One client connection: the disk it reads and writes.
struct Connection {
  std::shared_ptr<BlockDisk> disk;
  bool readonly = false;
  bool opened = false;  // the disk's open() succeeded and needs a release()
};

// Runs a callback body; an exception becomes an nbdkit error and `failed`.
template <class Fn, class R>
R guarded(const char* what, R failed, Fn&& body) {
  try {
    return body();
  } catch (const std::exception& e) {
    nbdkit_error("%s: %s", what, e.what());
  } catch (...) {
    nbdkit_error("%s: unexpected failure", what);
  }
  nbdkit_set_error(EIO);
  return failed;
}

// A positive 32-bit configuration number; false after reporting the error.
bool parse_u32(const char* key, const char* value, uint32_t* out) {
  if (nbdkit_parse_uint32_t(key, value, out) == -1) return false;
  if (*out == 0) {
    nbdkit_error("%s must be greater than 0", key);
    return false;
  }
  return true;
}

// The platform's kernel log goes to nbdkit's debug output (nbdkit -v).
void log_to_nbdkit(std::string_view text) {
  while (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  nbdkit_debug("%.*s", static_cast<int>(text.size()), text.data());
}

// ---------------------------------------------------------------------------
// Configuration and life cycle.
// ---------------------------------------------------------------------------

void nyx_load() { kernel_log_set_sink(log_to_nbdkit); }

void nyx_unload() { kernel_log_set_sink({}); }

int nyx_config(const char* key, const char* value) {
  return guarded("config", -1, [&]() -> int {
    PluginState& s = state();
    nandsim::Geometry& g = s.options.geometry;
    const std::string_view k = key;
    if (k == "image") {
      char* absolute = nbdkit_absolute_path(value);
      if (absolute == nullptr) return -1;
      s.image = absolute;
      std::free(absolute);
    } else if (k == "mtd") {
      auto ref = linuxmtd::parse_device_ref(value);
      if (!ref.ok()) {
        nbdkit_error("mtd: %s", ref.message().c_str());
        return -1;
      }
      s.devices.devices.push_back(std::move(ref).value());
    } else if (k == "all-mtd") {
      int r = nbdkit_parse_bool(value);
      if (r == -1) return -1;
      s.devices.all_mtd = r == 1;
    } else if (k == "mtdparts") {
      s.options.mtdparts = value;
    } else if (k == "page-size") {
      if (!parse_u32(key, value, &g.page_size)) return -1;
    } else if (k == "oob-size") {
      // Any OOB size the geometry accepts, checked in config_complete.
      if (nbdkit_parse_uint32_t(key, value, &g.oob_size) == -1) return -1;
    } else if (k == "pages-per-block") {
      if (!parse_u32(key, value, &g.pages_per_block)) return -1;
    } else if (k == "spare-offset") {
      if (nbdkit_parse_uint32_t(key, value, &g.spare_offset) == -1) return -1;
    } else if (k == "blocks") {
      if (!parse_u32(key, value, &g.blocks)) return -1;
      s.blocks_given = true;
    } else if (k == "gc-policy") {
      if (!nyx_nftl_gc_policy_by_name(value, &s.options.gc_policy)) {
        nbdkit_error("gc-policy: unknown collection policy '%s' (%s)", value,
                     frontend::gc_policy_names(" or ").c_str());
        return -1;
      }
      s.devices.gc_policy = s.options.gc_policy;
    } else if (k == "readonly") {
      int r = nbdkit_parse_bool(value);
      if (r == -1) return -1;
      s.readonly = r == 1;
    } else {
      nbdkit_error("unknown parameter '%s' (see nbdkit nyx --help)", key);
      return -1;
    }
    return 0;
  });
}

// Opens the Linux MTD devices (read-only: read, with the layer's writes kept
// in memory; else written, and locked against other writers).
int open_devices(PluginState& s) {
  s.devices.mode = s.readonly ? linuxmtd::Mode::Private : linuxmtd::Mode::ReadWrite;
  auto opened = frontend::NandStack::open_devices(s.devices);
  if (!opened.ok()) {
    nbdkit_error("%s", opened.message().c_str());
    return -1;
  }
  s.stack = std::move(opened).value().release();
  s.image.clear();
  for (const frontend::StackPart& part : s.stack->parts()) {
    s.image += (s.image.empty() ? "" : ", ") + part.device + " (" + part.name + ")";
  }
  return 0;
}

int nyx_config_complete() {
  return guarded("config_complete", -1, [&]() -> int {
    PluginState& s = state();
    const bool devices = !s.devices.devices.empty() || s.devices.all_mtd;
    if (devices && !s.image.empty()) {
      nbdkit_error("give either image=PATH or mtd=/all-mtd= (Linux MTD devices), not both");
      return -1;
    }
    if (devices) return open_devices(s);
    if (s.image.empty()) {
      nbdkit_error(
          "the image parameter is required: image=PATH (a raw NAND image), "
          "or mtd=/dev/mtdN[=NAME] / all-mtd=true for Linux MTD devices");
      return -1;
    }
    nandsim::Geometry& g = s.options.geometry;
    struct stat st;
    if (::stat(s.image.c_str(), &st) != 0) {
      nbdkit_error("%s: %s", s.image.c_str(), std::strerror(errno));
      return -1;
    }
    if (!S_ISREG(st.st_mode)) {
      nbdkit_error("%s: not a regular file", s.image.c_str());
      return -1;
    }
    if (!s.blocks_given) {
      // The chip's size follows from the file.
      auto blocks = frontend::blocks_of_image(static_cast<uint64_t>(st.st_size), g);
      if (!blocks.ok()) {
        nbdkit_error("%s %s", s.image.c_str(), blocks.message().c_str());
        return -1;
      }
      g.blocks = blocks.value();
    }
    s.options.path = s.image;
    s.options.mode = s.readonly ? nandsim::OpenMode::Private : nandsim::OpenMode::ReadWrite;
    // Read-only images are mapped privately (copy-on-write): the attach
    // may still format a blank partition or repair its tables in memory,
    // but nothing ever reaches the file.
    auto opened = frontend::NandStack::open(s.options);
    if (!opened.ok()) {
      nbdkit_error("%s: %s", s.image.c_str(), opened.message().c_str());
      return -1;
    }
    s.stack = std::move(opened).value().release();
    return 0;
  });
}

int nyx_after_fork() {
  return guarded("after_fork", -1, [&]() -> int {
    PluginState& s = state();
    if (s.stack == nullptr) {
      nbdkit_error("the image was not opened");
      return -1;
    }
    if (Status started = s.stack->start(); !started.ok()) {
      nbdkit_error("%s: %s", s.image.c_str(), started.message().c_str());
      return -1;
    }
    s.started = true;
    const auto disks = s.stack->disks();
    if (disks.empty()) {
      nbdkit_error("%s: no partition became a disk (see nbdkit -v for the layer's log)",
                   s.image.c_str());
      return -1;
    }
    for (const auto& d : disks) {
      nbdkit_debug("export %s: %" PRIu64 " sectors on %s", d.name.c_str(), d.sectors,
                   d.mtd_name.c_str());
    }
    return 0;
  });
}

void nyx_cleanup() {
  guarded("cleanup", 0, [&]() -> int {
    PluginState& s = state();
    if (s.stack != nullptr) {
      if (Status done = s.stack->shutdown(); !done.ok()) {
        nbdkit_error("%s: shutdown: %s", s.image.c_str(), done.message().c_str());
      }
      delete s.stack;
      s.stack = nullptr;
    }
    s.started = false;
    return 0;
  });
}

// ---------------------------------------------------------------------------
// Exports.
// ---------------------------------------------------------------------------

int nyx_list_exports(int /*readonly*/, int /*is_tls*/, nbdkit_exports* exports) {
  return guarded("list_exports", -1, [&]() -> int {
    PluginState& s = state();
    if (s.stack == nullptr) return 0;
    for (const auto& d : s.stack->disks()) {
      const std::string description =
          d.name + ": " + frontend::human_size(d.sectors * kSectorSize) + " (" +
          std::to_string(d.sectors) + " sectors), NAND partition " + d.mtd_name;
      if (nbdkit_add_export(exports, d.name.c_str(), description.c_str()) == -1) return -1;
    }
    return 0;
  });
}

const char* nyx_default_export(int /*readonly*/, int /*is_tls*/) {
  return guarded("default_export", static_cast<const char*>(nullptr), [&]() -> const char* {
    PluginState& s = state();
    if (s.stack == nullptr) return "";
    const auto disks = s.stack->disks();
    if (disks.empty()) return "";
    return nbdkit_strdup_intern(disks.front().name.c_str());
  });
}

void* nyx_open(int readonly) {
  return guarded("open", static_cast<void*>(nullptr), [&]() -> void* {
    PluginState& s = state();
    if (s.stack == nullptr || !s.started) {
      nbdkit_error("the image is not being served");
      return nullptr;
    }
    std::string name = nbdkit_export_name() ? nbdkit_export_name() : "";
    if (name.empty()) {
      const auto disks = s.stack->disks();
      if (!disks.empty()) name = disks.front().name;
    }
    auto disk = s.stack->disk(name);
    if (disk == nullptr) {
      std::string known;
      for (const auto& d : s.stack->disks()) known += (known.empty() ? "" : ", ") + d.name;
      nbdkit_error("unknown export '%s' (the exports are: %s)", name.c_str(), known.c_str());
      nbdkit_set_error(ENOENT);
      return nullptr;
    }
    auto conn = std::make_unique<Connection>();
    conn->disk = std::move(disk);
    conn->readonly = readonly != 0 || s.readonly || conn->disk->readonly();
    if (int ret = conn->disk->open(); ret != 0) {
      nbdkit_error("%s: cannot open the disk: %s", name.c_str(), std::strerror(-ret));
      nbdkit_set_error(-ret);
      return nullptr;
    }
    conn->opened = true;
    return conn.release();
  });
}

void nyx_close(void* handle) {
  guarded("close", 0, [&]() -> int {
    std::unique_ptr<Connection> conn(static_cast<Connection*>(handle));
    if (conn && conn->opened) (void)conn->disk->release();
    return 0;
  });
}

const char* nyx_export_description(void* handle) {
  return guarded("export_description", static_cast<const char*>(nullptr), [&]() -> const char* {
    const auto* conn = static_cast<Connection*>(handle);
    const BlockDiskInfo info = conn->disk->info();
    const std::string text = info.name + ": " + frontend::human_size(info.sectors * kSectorSize) +
                             ", NAND partition " + info.mtd_name;
    return nbdkit_strdup_intern(text.c_str());
  });
}

int64_t nyx_get_size(void* handle) {
  return guarded("get_size", int64_t{-1}, [&]() -> int64_t {
    const auto* conn = static_cast<Connection*>(handle);
    return static_cast<int64_t>(conn->disk->capacity() * kSectorSize);
  });
}

int nyx_block_size(void* /*handle*/, uint32_t* minimum, uint32_t* preferred, uint32_t* maximum) {
  *minimum = kSectorSize;
  *preferred = kPreferredBlock;
  *maximum = kMaximumBlock;
  return 0;
}

int nyx_can_write(void* handle) { return static_cast<Connection*>(handle)->readonly ? 0 : 1; }
int nyx_can_flush(void*) { return 1; }
int nyx_can_fua(void*) { return NBDKIT_FUA_NATIVE; }
int nyx_can_trim(void* handle) { return static_cast<Connection*>(handle)->readonly ? 0 : 1; }
// Zeroes must read back as zeroes, which a trim does not promise (a trimmed
// page may come back after a remount): nbdkit writes them with pwrite.
int nyx_can_zero(void*) { return 0; }
int nyx_can_multi_conn(void*) { return 1; }
int nyx_is_rotational(void*) { return 0; }

// Checks a request against the disk: whole sectors, within the disk.
// Reports and returns the errno to fail with, or 0.
int check_range(const Connection& conn, const char* op, uint32_t count, uint64_t offset,
                int past_end_errno) {
  if (offset % kSectorSize != 0 || count % kSectorSize != 0) {
    nbdkit_error("%s: %s of %" PRIu32 " bytes at offset %" PRIu64
                 " is not in whole 512-byte sectors",
                 conn.disk->name().c_str(), op, count, offset);
    return EINVAL;
  }
  const uint64_t size = conn.disk->capacity() * kSectorSize;
  if (offset > size || count > size - offset) {
    nbdkit_error("%s: %s of %" PRIu32 " bytes at offset %" PRIu64
                 " goes past the end of the disk (%" PRIu64 " bytes)",
                 conn.disk->name().c_str(), op, count, offset, size);
    return past_end_errno;
  }
  return 0;
}

// An errno from the disk's negative result, with the error reported.
int disk_error(const Connection& conn, const char* op, int ret, uint32_t count, uint64_t offset) {
  const int err = ret < 0 ? -ret : EIO;
  nbdkit_error("%s: %s of %" PRIu32 " bytes at offset %" PRIu64 " failed: %s",
               conn.disk->name().c_str(), op, count, offset, std::strerror(err));
  return err;
}

int nyx_pread(void* handle, void* buf, uint32_t count, uint64_t offset, uint32_t /*flags*/) {
  return guarded("pread", -1, [&]() -> int {
    const auto& conn = *static_cast<Connection*>(handle);
    if (int err = check_range(conn, "read", count, offset, EIO); err != 0) {
      nbdkit_set_error(err);
      return -1;
    }
    if (count == 0) return 0;
    const int ret = conn.disk->read(offset / kSectorSize,
                                    std::span<uint8_t>(static_cast<uint8_t*>(buf), count));
    if (ret != 0) {
      nbdkit_set_error(disk_error(conn, "read", ret, count, offset));
      return -1;
    }
    return 0;
  });
}

int do_flush(const Connection& conn) {
  const int ret = conn.disk->flush();
  if (ret != 0) {
    const int err = ret < 0 ? -ret : EIO;
    nbdkit_error("%s: flush failed: %s", conn.disk->name().c_str(), std::strerror(err));
    nbdkit_set_error(err);
    return -1;
  }
  return 0;
}

// Refuses a change to a read-only export, with the error reported. Whether
// it refused.
bool refuse_if_readonly(const Connection& conn) {
  if (!conn.readonly) return false;
  nbdkit_error("%s: the export is read-only", conn.disk->name().c_str());
  nbdkit_set_error(EROFS);
  return true;
}

int nyx_pwrite(void* handle, const void* buf, uint32_t count, uint64_t offset, uint32_t flags) {
  return guarded("pwrite", -1, [&]() -> int {
    const auto& conn = *static_cast<Connection*>(handle);
    if (refuse_if_readonly(conn)) return -1;
    if (int err = check_range(conn, "write", count, offset, ENOSPC); err != 0) {
      nbdkit_set_error(err);
      return -1;
    }
    if (count > 0) {
      const int ret = conn.disk->write(
          offset / kSectorSize, std::span<const uint8_t>(static_cast<const uint8_t*>(buf), count));
      if (ret != 0) {
        nbdkit_set_error(disk_error(conn, "write", ret, count, offset));
        return -1;
      }
    }
    if ((flags & NBDKIT_FLAG_FUA) != 0) return do_flush(conn);
    return 0;
  });
}

// A trim is advice: the sectors it covers only in part are left alone, as
// the layer leaves the pages it covers only in part.
int nyx_trim(void* handle, uint32_t count, uint64_t offset, uint32_t flags) {
  return guarded("trim", -1, [&]() -> int {
    const auto& conn = *static_cast<Connection*>(handle);
    if (refuse_if_readonly(conn)) return -1;
    const uint64_t size = conn.disk->capacity() * kSectorSize;
    if (offset > size || count > size - offset) {
      nbdkit_error("%s: trim of %" PRIu32 " bytes at offset %" PRIu64
                   " goes past the end of the disk (%" PRIu64 " bytes)",
                   conn.disk->name().c_str(), count, offset, size);
      nbdkit_set_error(EINVAL);
      return -1;
    }
    const uint64_t first = (offset + kSectorSize - 1) / kSectorSize;
    const uint64_t end = (offset + count) / kSectorSize;
    if (end > first) {
      if (int ret = conn.disk->discard(first, end - first); ret != 0) {
        nbdkit_set_error(disk_error(conn, "trim", ret, count, offset));
        return -1;
      }
    }
    if ((flags & NBDKIT_FLAG_FUA) != 0) return do_flush(conn);
    return 0;
  });
}

int nyx_flush(void* handle, uint32_t /*flags*/) {
  return guarded("flush", -1, [&]() -> int { return do_flush(*static_cast<Connection*>(handle)); });
}

// The parameters' help, built at load from the layer's tables and the
// stack's defaults. Never freed: see PluginState.
const char* config_help() {
  const nandsim::Geometry g;
  const std::string policies = frontend::gc_policy_names(" or ");
  const std::string default_policy = frontend::gc_policy_names().front();
  auto* text = new std::string();
  std::string& t = *text;
  t += "image=PATH             raw NAND image: each page's main bytes then its OOB\n";
  t += "mtd=/dev/mtdN[=NAME]   a Linux MTD device (NAND partition) instead, served under NAME\n";
  t += "                       (default: its own name); repeat for several\n";
  t += "all-mtd=BOOL           also every NAND MTD device whose name begins with one of\n";
  t += "                       " + frontend::served_names() + "\n";
  t += "mtdparts=LIST          partitions, Linux syntax without the device\n";
  t += "                       (default " + std::string(frontend::kDefaultMtdparts) + ")\n";
  t += "page-size=BYTES        main bytes per page (default " + std::to_string(g.page_size) + ")\n";
  t += "oob-size=BYTES         OOB bytes per page (default " + std::to_string(g.oob_size) + ")\n";
  t += "pages-per-block=N      pages per erase block (default " +
       std::to_string(g.pages_per_block) + ")\n";
  t += "spare-offset=N         first OOB byte of the spare record (default " +
       std::to_string(g.spare_offset) + ")\n";
  t += "blocks=N               erase blocks in the chip (default: from the image's size)\n";
  t += "gc-policy=NAME         collection policy: " + policies + " (default " + default_policy +
       ")\n";
  t += "readonly=BOOL          map the image privately (devices: only read them) and refuse\n";
  t += "                       writes (default false)";
  return t.c_str();
}

nbdkit_plugin make_plugin() {
  nbdkit_plugin p{};
  p.name = "nyx";
  p.longname = "NAND flash translation layer disks";
  p.version = NYX_NFTL_VERSION;
  p.description = "Serves the disks of a NAND image through its flash translation layer";
  p.load = nyx_load;
  p.unload = nyx_unload;
  p.config = nyx_config;
  p.config_complete = nyx_config_complete;
  p.config_help = config_help();
  p.magic_config_key = "image";
  p.after_fork = nyx_after_fork;
  p.cleanup = nyx_cleanup;
  p.list_exports = nyx_list_exports;
  p.default_export = nyx_default_export;
  p.export_description = nyx_export_description;
  p.open = nyx_open;
  p.close = nyx_close;
  p.get_size = nyx_get_size;
  p.block_size = nyx_block_size;
  p.can_write = nyx_can_write;
  p.can_flush = nyx_can_flush;
  p.can_fua = nyx_can_fua;
  p.can_trim = nyx_can_trim;
  p.can_zero = nyx_can_zero;
  p.can_multi_conn = nyx_can_multi_conn;
  p.is_rotational = nyx_is_rotational;
  p.pread = nyx_pread;
  p.pwrite = nyx_pwrite;
  p.flush = nyx_flush;
  p.trim = nyx_trim;
  p.errno_is_preserved = 0;
  return p;
}

nbdkit_plugin plugin = make_plugin();

}  // namespace

NBDKIT_REGISTER_PLUGIN(plugin)
