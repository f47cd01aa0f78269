// Reboot notification: handlers that run before the system restarts, halts
// or powers off, highest priority first (equal priorities in the order they
// were registered).
//
// There is no kernel to reboot: the front end calls run_reboot_notifiers (or
// kernel_restart_prepare) itself on an orderly shutdown, before it removes
// its devices. Nothing is run from atexit: at that point threads and devices
// may already be half gone.
#pragma once

// Actions passed to the handlers.
constexpr unsigned long SYS_DOWN = 0x0001;
constexpr unsigned long SYS_RESTART = SYS_DOWN;
constexpr unsigned long SYS_HALT = 0x0002;
constexpr unsigned long SYS_POWER_OFF = 0x0003;

// Handler results. A result with NOTIFY_STOP_MASK set ends the chain.
constexpr int NOTIFY_DONE = 0x0000;
constexpr int NOTIFY_OK = 0x0001;
constexpr int NOTIFY_STOP_MASK = 0x8000;
constexpr int NOTIFY_BAD = NOTIFY_STOP_MASK | 0x0002;

struct notifier_block {
  int (*notifier_call)(notifier_block* nb, unsigned long action, void* data);
  notifier_block* next;  // the chain's link, kept by the chain
  int priority;
};

// 0, or -EEXIST when the block is registered already. The block must stay
// valid until it is unregistered.
int register_reboot_notifier(notifier_block* nb);
// 0, or -ENOENT when the block is not registered. Waits for a run of the
// chain in progress to end, so the block can be released afterwards. Not to
// be called from a handler.
int unregister_reboot_notifier(notifier_block* nb);

// Calls every handler in order with `action` and `data` until one returns a
// result with NOTIFY_STOP_MASK; returns the last handler's result
// (NOTIFY_DONE for an empty chain). Runs never overlap: a second caller waits
// for the first run to end. A handler must not change the chain.
int run_reboot_notifiers(unsigned long action, void* data = nullptr);
// The restart path's notification: run_reboot_notifiers(SYS_RESTART, cmd).
int kernel_restart_prepare(char* cmd);
