// The spin lock and the per-thread interrupt flag.
#include "platform/kernel/spinlock.h"

namespace {
thread_local bool t_irqs_off = false;
}

bool arch_irqs_disabled() { return t_irqs_off; }

unsigned long arch_local_irq_save() {
  unsigned long previous = t_irqs_off ? 1 : 0;
  t_irqs_off = true;
  return previous;
}

void arch_local_irq_restore(unsigned long flags) { t_irqs_off = flags != 0; }

void spin_lock_init(spinlock_t* lock) { pthread_mutex_init(&lock->m, nullptr); }

void spin_lock(spinlock_t* lock) { pthread_mutex_lock(&lock->m); }

void spin_unlock(spinlock_t* lock) { pthread_mutex_unlock(&lock->m); }
