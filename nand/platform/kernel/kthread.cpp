// Kernel threads over std::thread, and the sleep of schedule_timeout.
#include "platform/kernel/kthread.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <system_error>
#include <thread>

#include "platform/kernel/kernel.h"

struct task_struct {
  char comm[TASK_COMM_LEN] = {};
  int (*threadfn)(void*) = nullptr;
  void* data = nullptr;
  std::atomic<bool> should_stop{false};

  std::mutex mu;
  std::condition_variable cv;         // state, start, sleeps and exit changes
  long state = TASK_UNINTERRUPTIBLE;  // guarded by mu, as all below
  bool started = false;
  bool exited = false;
  bool asleep = false;
  unsigned long sleeps = 0;
  int result = 0;

  std::thread thread;  // empty for threads not made here
};

namespace {

// Every live task, so that a move of the test clock reaches every sleeper.
// Lock order: g_tasks_mutex before any task's mu.
std::mutex g_tasks_mutex;
std::set<task_struct*> g_tasks;

thread_local task_struct* t_current = nullptr;

void wake_all_sleepers() {
  std::lock_guard<std::mutex> guard(g_tasks_mutex);
  for (task_struct* task : g_tasks) {
    std::lock_guard<std::mutex> task_guard(task->mu);
    task->cv.notify_all();
  }
}

void register_task(task_struct* task) {
  static std::once_flag listener_installed;
  std::call_once(listener_installed, [] { ktime_set_clock_listener(&wake_all_sleepers); });
  std::lock_guard<std::mutex> guard(g_tasks_mutex);
  g_tasks.insert(task);
}

void unregister_task(task_struct* task) {
  std::lock_guard<std::mutex> guard(g_tasks_mutex);
  g_tasks.erase(task);
}

// The task of a thread that was not made by kthread_create_on_node.
struct AdoptedTask {
  task_struct* task = nullptr;
  ~AdoptedTask() {
    if (task != nullptr) {
      unregister_task(task);
      delete task;
    }
  }
};
thread_local AdoptedTask t_adopted;

void thread_body(task_struct* task) {
  t_current = task;
  pthread_setname_np(pthread_self(), task->comm);
  {
    std::unique_lock<std::mutex> lock(task->mu);
    task->cv.wait(lock, [task] { return task->started || task->should_stop.load(); });
  }
  // A task stopped before it was ever woken does not run its function.
  const int result = task->should_stop.load() ? -EINTR : task->threadfn(task->data);
  std::lock_guard<std::mutex> lock(task->mu);
  task->result = result;
  task->exited = true;
  task->state = TASK_RUNNING;
  task->cv.notify_all();
}

}  // namespace

task_struct* kthread_create_on_node(int (*threadfn)(void* data), void* data, int /*node*/,
                                    const char* namefmt, ...) {
  if (kalloc_should_fail()) return static_cast<task_struct*>(ERR_PTR(-ENOMEM));
  auto task = std::unique_ptr<task_struct>(new (std::nothrow) task_struct);
  if (!task) return static_cast<task_struct*>(ERR_PTR(-ENOMEM));
  task->threadfn = threadfn;
  task->data = data;
  va_list args;
  va_start(args, namefmt);
  std::vsnprintf(task->comm, sizeof task->comm, namefmt, args);
  va_end(args);

  register_task(task.get());
  try {
    task->thread = std::thread(thread_body, task.get());
  } catch (const std::system_error&) {
    unregister_task(task.get());
    return static_cast<task_struct*>(ERR_PTR(-EAGAIN));
  }
  return task.release();
}

int wake_up_process(task_struct* task) {
  std::lock_guard<std::mutex> lock(task->mu);
  const bool was_waiting = !task->started || task->state != TASK_RUNNING;
  task->started = true;
  task->state = TASK_RUNNING;
  task->cv.notify_all();
  return was_waiting ? 1 : 0;
}

bool kthread_should_stop() { return t_current != nullptr && t_current->should_stop.load(); }

int kthread_stop(task_struct* task) {
  if (task == nullptr || IS_ERR(task) || !task->thread.joinable()) return -EINVAL;
  if (task == t_current) return -EDEADLK;
  {
    std::lock_guard<std::mutex> lock(task->mu);
    task->should_stop.store(true);
    task->state = TASK_RUNNING;
    task->cv.notify_all();
  }
  task->thread.join();
  unregister_task(task);
  const int result = task->result;  // written before exit, seen through join
  delete task;
  return result;
}

task_struct* get_current() {
  if (t_current != nullptr) return t_current;
  if (t_adopted.task == nullptr) {
    auto* task = new task_struct;
    std::snprintf(task->comm, sizeof task->comm, "user");
    task->started = true;
    task->state = TASK_RUNNING;
    register_task(task);
    t_adopted.task = task;
  }
  return t_adopted.task;
}

void set_current_state(long state) {
  task_struct* task = get_current();
  std::lock_guard<std::mutex> lock(task->mu);
  task->state = state;
}

long schedule_timeout(long timeout) {
  task_struct* task = get_current();
  std::unique_lock<std::mutex> lock(task->mu);
  if (timeout < 0) {
    printk("schedule_timeout: wrong timeout value %lx\n", static_cast<unsigned long>(timeout));
    task->state = TASK_RUNNING;
    return 0;
  }
  if (task->state == TASK_RUNNING) return timeout;

  const bool forever = timeout == MAX_SCHEDULE_TIMEOUT;
  const uint64_t deadline = get_jiffies_64() + static_cast<uint64_t>(timeout);
  auto done = [&] {
    return task->state == TASK_RUNNING || (!forever && get_jiffies_64() >= deadline);
  };

  task->asleep = true;
  ++task->sleeps;
  task->cv.notify_all();
  if (ktime_test_clock_active()) {
    if (!forever && ktime_test_clock_auto_advance() && !done()) {
      // Time flies: the clock jumps to the deadline. The move wakes every
      // sleeper, so it is made without holding this task's lock.
      task->asleep = false;
      task->state = TASK_RUNNING;
      lock.unlock();
      ktime_test_clock_advance_to(static_cast<int64_t>(deadline) * NSEC_PER_JIFFY);
      return 0;
    }
    task->cv.wait(lock, done);  // clock moves and wake-ups notify
  } else {
    while (!done()) {
      if (forever) {
        task->cv.wait(lock);
      } else {
        const uint64_t now = get_jiffies_64();
        const uint64_t left = deadline > now ? deadline - now : 0;
        task->cv.wait_for(lock,
                          std::chrono::nanoseconds(static_cast<int64_t>(left) * NSEC_PER_JIFFY));
      }
    }
  }
  task->asleep = false;
  task->state = TASK_RUNNING;
  if (forever) return MAX_SCHEDULE_TIMEOUT;
  const uint64_t now = get_jiffies_64();
  return now >= deadline ? 0 : static_cast<long>(deadline - now);
}

char* get_task_comm(char* buf, task_struct* task) {
  std::memcpy(buf, task->comm, TASK_COMM_LEN);
  buf[TASK_COMM_LEN - 1] = '\0';
  return buf;
}

unsigned long kthread_sleep_count(task_struct* task) {
  std::lock_guard<std::mutex> lock(task->mu);
  return task->sleeps;
}

bool kthread_wait_asleep(task_struct* task, unsigned long min_sleeps) {
  std::unique_lock<std::mutex> lock(task->mu);
  // A guard against a test hanging for ever on a broken sleep; never reached
  // by a sound one.
  task->cv.wait_for(lock, std::chrono::seconds(30),
                    [&] { return (task->asleep && task->sleeps >= min_sleeps) || task->exited; });
  return task->asleep && task->sleeps >= min_sleeps;
}

bool kthread_wait_exit(task_struct* task) {
  std::unique_lock<std::mutex> lock(task->mu);
  return task->cv.wait_for(lock, std::chrono::seconds(30), [&] { return task->exited; });
}
