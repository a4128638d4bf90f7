#pragma once

// A mutex, its scoped lock and a condition variable that clang's -Wthread-safety can check.
// The annotation macros are empty for other compilers.

#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define VELMORA_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define VELMORA_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) VELMORA_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY VELMORA_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) VELMORA_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) VELMORA_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_AFTER(...) VELMORA_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define ACQUIRED_BEFORE(...) VELMORA_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define REQUIRES(...) VELMORA_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) VELMORA_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) VELMORA_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) VELMORA_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS VELMORA_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace velmora {

class CAPABILITY("mutex") Mutex {
 public:
  void lock() ACQUIRE() { m_mutex.lock(); }
  void unlock() RELEASE() { m_mutex.unlock(); }

 private:
  friend class ConditionVariable;
  std::mutex m_mutex;
};

class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : m_mutex(mutex) { m_mutex.lock(); }
  ~MutexLock() RELEASE() { m_mutex.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& m_mutex;
};

// Waits on a Mutex that the caller holds. There is no predicate form: a wait is written as a loop
// over the guarded condition (`while (queue.empty()) wake.wait(mutex);`), so the analysis sees
// the mutex held wherever the condition is read.
class ConditionVariable {
 public:
  void notify_one() { m_cv.notify_one(); }
  void notify_all() { m_cv.notify_all(); }

  // Releases mutex while waiting and holds it again on return; may return spuriously.
  void wait(Mutex& mutex) REQUIRES(mutex) {
    std::unique_lock<std::mutex> lock(mutex.m_mutex, std::adopt_lock);
    m_cv.wait(lock);
    lock.release();
  }
  // The same, returning after timeout at the latest.
  template <typename Rep, typename Period>
  void wait_for(Mutex& mutex, std::chrono::duration<Rep, Period> timeout) REQUIRES(mutex) {
    std::unique_lock<std::mutex> lock(mutex.m_mutex, std::adopt_lock);
    m_cv.wait_for(lock, timeout);
    lock.release();
  }

 private:
  std::condition_variable m_cv;
};

}  // namespace velmora
