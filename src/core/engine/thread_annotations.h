// Clang thread-safety attributes, empty elsewhere. With clang and
// -Wthread-safety they let the compiler check that each guarded field is
// touched only with its lock held.
#pragma once

#include <mutex>

#if defined(__clang__)
#define QUOR_TSA(x) __attribute__((x))
#else
#define QUOR_TSA(x)
#endif

#define QUOR_CAPABILITY(x) QUOR_TSA(capability(x))
#define QUOR_SCOPED_CAPABILITY QUOR_TSA(scoped_lockable)
#define QUOR_GUARDED_BY(x) QUOR_TSA(guarded_by(x))
#define QUOR_PT_GUARDED_BY(x) QUOR_TSA(pt_guarded_by(x))
#define QUOR_REQUIRES(...) QUOR_TSA(requires_capability(__VA_ARGS__))
#define QUOR_EXCLUDES(...) QUOR_TSA(locks_excluded(__VA_ARGS__))
#define QUOR_ACQUIRE(...) QUOR_TSA(acquire_capability(__VA_ARGS__))
#define QUOR_RELEASE(...) QUOR_TSA(release_capability(__VA_ARGS__))
#define QUOR_NO_THREAD_SAFETY_ANALYSIS QUOR_TSA(no_thread_safety_analysis)

namespace quor {

// std::mutex with the capability attribute, so that fields can name it.
// It is BasicLockable, so std::condition_variable_any waits on it directly.
class QUOR_CAPABILITY("mutex") Mutex {
 public:
  void lock() QUOR_ACQUIRE() { mu_.lock(); }
  void unlock() QUOR_RELEASE() { mu_.unlock(); }

 private:
  std::mutex mu_;
};

// Holds a Mutex for a scope; can be released and taken again inside it.
class QUOR_SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mu) QUOR_ACQUIRE(mu) : mu_(mu) { mu_.lock(); }
  ~MutexLock() QUOR_RELEASE() {
    if (held_) mu_.unlock();
  }
  void unlock() QUOR_RELEASE() {
    held_ = false;
    mu_.unlock();
  }
  void lock() QUOR_ACQUIRE() {
    mu_.lock();
    held_ = true;
  }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mu_;
  bool held_ = true;
};

}  // namespace quor
