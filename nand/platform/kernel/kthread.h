// Kernel threads and the scheduler's sleep: a thread is created stopped,
// runs its function once woken, sleeps in schedule_timeout until its time is
// up or something wakes it, and is ended with kthread_stop, which asks it to
// stop, wakes it and waits for its result.
//
// Sleeping follows the kernel's pattern: set_current_state(TASK_INTERRUPTIBLE)
// then schedule_timeout(ticks). A wake_up_process between the two is not lost:
// the sleep then returns at once. Ticks are jiffies (ktime.h), so a test clock
// governs every sleep.
#pragma once

#include <climits>

#include "platform/kernel/err.h"
#include "platform/kernel/ktime.h"

struct task_struct;

constexpr int TASK_COMM_LEN = 16;
constexpr long TASK_RUNNING = 0;
constexpr long TASK_INTERRUPTIBLE = 1;
constexpr long TASK_UNINTERRUPTIBLE = 2;
constexpr long MAX_SCHEDULE_TIMEOUT = LONG_MAX;
constexpr int NUMA_NO_NODE = -1;

// Creates a thread that will run threadfn(data) once woken; its name is
// formatted from `namefmt` and cut to 15 characters. `node` is accepted and
// ignored. Returns the task, or ERR_PTR(-ENOMEM) (the record cannot be
// allocated; kalloc_fail_nth counts this allocation) or ERR_PTR(-EAGAIN) (no
// thread). Every task must be ended with kthread_stop, which releases it.
task_struct* kthread_create_on_node(int (*threadfn)(void* data), void* data, int node,
                                    const char* namefmt, ...) __attribute__((format(printf, 4, 5)));

// Wakes a task: starts it the first time, ends its sleep later on. 1 when
// the task was not running, else 0.
int wake_up_process(task_struct* task);

// For the calling kernel thread: whether kthread_stop has been called on it
// (false in any other thread).
bool kthread_should_stop();

// Asks the task to stop, wakes it and waits until its function has returned;
// returns that result, or -EINTR when the task was never woken (its function
// then never runs). Releases the task. A task cannot stop itself (-EDEADLK).
int kthread_stop(task_struct* task);

// The calling thread's task (threads not made here get one on first use).
task_struct* get_current();
void set_current_state(long state);
// Sleeps until `timeout` ticks have passed or the task is woken, unless it is
// running already (woken since set_current_state), then returns at once.
// Returns the ticks left (0 when the time ran out); the task runs again after.
long schedule_timeout(long timeout);
inline void schedule() { schedule_timeout(MAX_SCHEDULE_TIMEOUT); }

// Copies the task's name (TASK_COMM_LEN bytes with the terminating zero) into buf.
char* get_task_comm(char* buf, task_struct* task);

// For tests: how many sleeps the task has begun, and a wait until it has
// begun at least `min_sleeps` sleeps and is asleep now. Returns false when the
// task's function has ended instead (or after a long safety guard). Meant for
// a test clock without auto-advance.
unsigned long kthread_sleep_count(task_struct* task);
bool kthread_wait_asleep(task_struct* task, unsigned long min_sleeps);
// For tests: waits until the task's function has returned (false after the
// safety guard).
bool kthread_wait_exit(task_struct* task);
