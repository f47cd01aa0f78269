// An MTD device of the running Linux kernel (/dev/mtdN, a raw NAND
// partition) behind the platform's MTD interface, so that the translation
// layer runs on real flash exactly as on the simulated chip.
//
// - Geometry from MEMGETINFO (the type must be NAND), the name, size and
//   free OOB bytes from sysfs (/sys/class/mtd/mtdN).
// - Pages are read and written with their 16 spare bytes in automatic OOB
//   placement (MEMREAD / MEMWRITE with MTD_OPS_AUTO_OOB): the kernel puts
//   the record in the chip's free OOB bytes and keeps its ECC bytes to
//   itself. A read answers -EUCLEAN when the ECC corrected bit flips and
//   -EBADMSG when it could not, as the simulated chip does. Kernels without
//   MEMREAD are read with pread, MEMREADOOB and ECCGETSTATS deltas instead
//   (logged once).
// - Erase with MEMERASE64, bad blocks with MEMGETBADBLOCK / MEMSETBADBLOCK.
// - Every short or failed transfer is an error code; nothing is partial.
//
// Opening modes. A writer (ReadWrite) holds an exclusive lock on the device
// (flock, advisory: O_EXCL means nothing on a character device), so a
// second writer (another server, an import) is refused with a clear message
// while the first has it. A reader (Private) takes no lock and never writes
// the device: whatever the layer writes (an attach may format or replay)
// lands in a private overlay in memory, as a copy-on-write mapping of an
// image file does; so an export of a live partition only reads it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/mtd/mtd.h"
#include "platform/status.h"

namespace linuxmtd {

enum class Mode {
  ReadWrite,  // writes reach the flash; the device is locked against other writers
  Private,    // reads the flash; writes stay in memory; no lock
};

// A device as named on a command line: "/dev/mtdN", optionally "=NAME" to
// serve it under NAME whatever its own name.
struct DeviceRef {
  std::string path;
  std::string name;  // empty: the device's own name
};

// "PATH" or "PATH=NAME". Invalid argument for an empty path or name.
Result<DeviceRef> parse_device_ref(std::string_view text);

// Whether `text` names an MTD character device ("/dev/mtd" followed by a
// number, optionally "=NAME"), as opposed to an image file.
bool looks_like_device(std::string_view text);

// One MTD device as sysfs describes it.
struct DeviceEntry {
  int index = -1;
  std::string path;  // /dev/mtdN
  std::string name;
  std::string type;  // "nand", "mlc-nand", "nor", ...
  uint64_t size = 0;
};

// Every MTD device under `sysfs_root` (normally /sys/class/mtd), in index
// order; the read-only twins (mtdNro) are left out.
Result<std::vector<DeviceEntry>> list_devices(const std::string& sysfs_root = "/sys/class/mtd");

class LinuxMtdDevice {
 public:
  // Opens and describes the device. Not found, invalid argument (not a NAND
  // device, or too few free OOB bytes for the spare record), busy (another
  // writer holds it) or I/O error.
  static Result<std::unique_ptr<LinuxMtdDevice>> open(
      const DeviceRef& ref, Mode mode, const std::string& sysfs_root = "/sys/class/mtd");
  ~LinuxMtdDevice();
  LinuxMtdDevice(const LinuxMtdDevice&) = delete;
  LinuxMtdDevice& operator=(const LinuxMtdDevice&) = delete;

  // The device behind the platform's interface; lives as long as this object.
  mtd_info* mtd();
  // The name it is served under: the one given with its path, or its own.
  const std::string& name() const;

  struct Impl;

 private:
  explicit LinuxMtdDevice(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace linuxmtd
