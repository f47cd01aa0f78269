// The reboot notification chain.
#include "platform/kernel/reboot.h"

#include <cerrno>
#include <mutex>

namespace {

// Held by changes to the chain and by a whole run of it: runs never overlap
// (a restart happens once), and a block is never released under a run.
std::mutex g_chain_lock;
notifier_block* g_chain = nullptr;

}  // namespace

int register_reboot_notifier(notifier_block* nb) {
  std::lock_guard<std::mutex> lock(g_chain_lock);
  notifier_block** link = &g_chain;
  for (notifier_block* n = g_chain; n != nullptr; n = n->next) {
    if (n == nb) return -EEXIST;
  }
  while (*link != nullptr && (*link)->priority >= nb->priority) link = &(*link)->next;
  nb->next = *link;
  *link = nb;
  return 0;
}

int unregister_reboot_notifier(notifier_block* nb) {
  std::lock_guard<std::mutex> lock(g_chain_lock);
  for (notifier_block** link = &g_chain; *link != nullptr; link = &(*link)->next) {
    if (*link == nb) {
      *link = nb->next;
      nb->next = nullptr;
      return 0;
    }
  }
  return -ENOENT;
}

int run_reboot_notifiers(unsigned long action, void* data) {
  std::lock_guard<std::mutex> lock(g_chain_lock);
  int result = NOTIFY_DONE;
  for (notifier_block* n = g_chain; n != nullptr; n = n->next) {
    result = n->notifier_call(n, action, data);
    if (result & NOTIFY_STOP_MASK) break;
  }
  return result;
}

int kernel_restart_prepare(char* cmd) { return run_reboot_notifiers(SYS_RESTART, cmd); }
