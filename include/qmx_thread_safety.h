// Shared by every layer: the lock annotations of clang's thread-safety analysis, and the mutex
// and locks that carry them. A member that a lock guards names it (QMX_GUARDED_BY), a function
// that needs a lock held says so (QMX_REQUIRES), and the clang builds (-Wthread-safety, warnings
// as errors) refuse code that reads or writes a guarded member without its lock. Other
// compilers see plain std::mutex locking.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define QMX_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QMX_THREAD_ANNOTATION(x)
#endif

#define QMX_CAPABILITY(name) QMX_THREAD_ANNOTATION(capability(name))
#define QMX_SCOPED_CAPABILITY QMX_THREAD_ANNOTATION(scoped_lockable)
#define QMX_GUARDED_BY(lock) QMX_THREAD_ANNOTATION(guarded_by(lock))
#define QMX_PT_GUARDED_BY(lock) QMX_THREAD_ANNOTATION(pt_guarded_by(lock))
#define QMX_ACQUIRED_BEFORE(...) QMX_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define QMX_REQUIRES(...) QMX_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define QMX_ACQUIRE(...) QMX_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define QMX_RELEASE(...) QMX_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define QMX_EXCLUDES(...) QMX_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define QMX_NO_THREAD_SAFETY_ANALYSIS QMX_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace qmx {

// A std::mutex the analysis knows as a lock.
class QMX_CAPABILITY("mutex") mutex {
public:
  mutex() = default;
  mutex(const mutex&) = delete;
  mutex& operator=(const mutex&) = delete;

  void lock() QMX_ACQUIRE() { native_.lock(); }
  void unlock() QMX_RELEASE() { native_.unlock(); }

private:
  friend class unique_lock;
  std::mutex native_;
};

// Holds a mutex for its scope.
class QMX_SCOPED_CAPABILITY lock_guard {
public:
  explicit lock_guard(mutex& m) QMX_ACQUIRE(m) : mutex_(m) { mutex_.lock(); }
  ~lock_guard() QMX_RELEASE() { mutex_.unlock(); }
  lock_guard(const lock_guard&) = delete;
  lock_guard& operator=(const lock_guard&) = delete;

private:
  mutex& mutex_;
};

// Holds a mutex for its scope, may let it go early and take it again, and waits on condition
// variables with it (the mutex is let go while waiting and held again when a wait returns).
// Write predicated waits as loops in the function that holds the lock, so that the analysis sees
// the guarded reads under it: `while (!ready) lock.wait(signal);`.
class QMX_SCOPED_CAPABILITY unique_lock {
public:
  explicit unique_lock(mutex& m) QMX_ACQUIRE(m) : native_(m.native_) {}
  ~unique_lock() QMX_RELEASE() = default;
  unique_lock(const unique_lock&) = delete;
  unique_lock& operator=(const unique_lock&) = delete;

  void lock() QMX_ACQUIRE() { native_.lock(); }
  void unlock() QMX_RELEASE() { native_.unlock(); }

  void wait(std::condition_variable& signal) { signal.wait(native_); }
  // False when `deadline` passed first.
  template <class Clock, class Duration>
  bool wait_until(std::condition_variable& signal,
                  const std::chrono::time_point<Clock, Duration>& deadline) {
    return signal.wait_until(native_, deadline) == std::cv_status::no_timeout;
  }

private:
  std::unique_lock<std::mutex> native_;
};

} // namespace qmx
