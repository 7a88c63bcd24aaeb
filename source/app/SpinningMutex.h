// A mutex for critical sections of a few dozen instructions that two busy
// threads take once per message each: a thread that finds it held spins
// briefly before sleeping (glibc's adaptive kind), since the holder releases
// it sooner than a futex sleep and wake-up would take. Lockable like
// std::mutex, and seen by the thread sanitizer as a pthread mutex.
#pragma once

#include <pthread.h>

namespace quorvex {

class SpinningMutex {
public:
  SpinningMutex() {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ADAPTIVE_NP);
    pthread_mutex_init(&mutex_, &attributes);
    pthread_mutexattr_destroy(&attributes);
  }
  ~SpinningMutex() { pthread_mutex_destroy(&mutex_); }
  SpinningMutex(const SpinningMutex&) = delete;
  SpinningMutex& operator=(const SpinningMutex&) = delete;

  void lock() { pthread_mutex_lock(&mutex_); }
  bool try_lock() { return pthread_mutex_trylock(&mutex_) == 0; }
  void unlock() { pthread_mutex_unlock(&mutex_); }

private:
  pthread_mutex_t mutex_; // the adaptive pthread mutex
};

} // namespace quorvex
