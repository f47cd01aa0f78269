// The spin lock and the local interrupt switch of the platform.
//
// spinlock_t is a short-hold lock; a zero-filled spinlock_t is a valid
// unlocked lock, so records holding one can be allocated zero-filled. There
// are no interrupts in user space: local_irq_save/local_irq_restore only keep
// a per-thread "interrupts off" flag, which irqs_disabled() reports, so a
// caller can check that a walk really ran with interrupts off.
#pragma once

#include <pthread.h>

struct spinlock_t {
  pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;
};

// Per-thread interrupt flag behind the macros below.
bool arch_irqs_disabled();
// Turns interrupts off and returns the previous state (nonzero: they were off).
unsigned long arch_local_irq_save();
void arch_local_irq_restore(unsigned long flags);

inline bool irqs_disabled() { return arch_irqs_disabled(); }

#define local_irq_save(flags)        \
  do {                               \
    (flags) = arch_local_irq_save(); \
  } while (0)
#define local_irq_restore(flags) arch_local_irq_restore(flags)

void spin_lock_init(spinlock_t* lock);
void spin_lock(spinlock_t* lock);
void spin_unlock(spinlock_t* lock);

#define spin_lock_irqsave(lock, flags) \
  do {                                 \
    (flags) = arch_local_irq_save();   \
    spin_lock(lock);                   \
  } while (0)
#define spin_unlock_irqrestore(lock, flags) \
  do {                                      \
    spin_unlock(lock);                      \
    arch_local_irq_restore(flags);          \
  } while (0)
