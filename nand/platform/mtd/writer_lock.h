// One writer per flash. Whatever writes a flash (an image file or a Linux
// MTD device) holds an exclusive advisory lock (flock) on its open file for
// as long as it has it open; a second writer is refused at once. Readers
// take no lock: they keep working beside a writer, seeing its writes as
// they land, and never write the flash themselves.
//
// The lock belongs to the open file: it goes with the descriptor's last
// close, so a process that dies (kill -9 included) never leaves its flash
// locked.
#pragma once

#include <string>

#include "platform/status.h"

namespace nandsim {

// Takes the writer's lock on `fd`, the open flash `what` (a path, for the
// message). Busy, "<what> is in use by another process ...", when another
// open file holds it.
Status lock_writer(int fd, const std::string& what);

// Whether a writer could take `path` now: opens it for writing, tries the
// lock and lets it go. Ok when the path does not exist (nothing to take);
// ReadOnly when it cannot be opened for writing. Front ends use
// it to refuse before they announce anything; the writer itself still takes
// the lock when it opens the flash.
Status probe_writer(const std::string& path);

}  // namespace nandsim
