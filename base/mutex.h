// A value behind a mutex, reachable only through the guard that lock() hands out.
// A poisoning mutex is marked poisoned when a holder fails (leaves by an exception);
// every later lock() then fails fatally instead of trusting the state. The scope
// profiler's locks do not poison: they stay usable after a failure.
//
//   Mutex<std::vector<int>> m;
//   m.lock()->push_back(1);            // the guard lives until the end of the statement
#pragma once

#include <exception>
#include <mutex>
#include <utility>

#include "base/error.h"

namespace zel {

inline constexpr const char* kPoisonedLock =
    "called `Result::unwrap()` on an `Err` value: PoisonError { .. }";

enum class Poisoning { On, Off };

// Access to a Mutex's value for as long as it lives.
template <class T, Poisoning kPoisoning>
class MutexGuard {
 public:
  MutexGuard(const MutexGuard&) = delete;
  MutexGuard& operator=(const MutexGuard&) = delete;
  MutexGuard(MutexGuard&& other) noexcept
      : mu_(std::exchange(other.mu_, nullptr)),
        poisoned_(other.poisoned_),
        value_(other.value_),
        exceptions_at_entry_(other.exceptions_at_entry_) {}
  ~MutexGuard() {
    if (!mu_) return;
    if (kPoisoning == Poisoning::On && std::uncaught_exceptions() > exceptions_at_entry_) {
      *poisoned_ = true;
    }
    mu_->unlock();
  }
  T* operator->() const { return value_; }
  T& operator*() const { return *value_; }

 private:
  template <class, Poisoning>
  friend class Mutex;
  // REQUIRES: mu is locked by the caller; the guard unlocks it.
  MutexGuard(std::mutex& mu, bool& poisoned, T& value)
      : mu_(&mu),
        poisoned_(&poisoned),
        value_(&value),
        exceptions_at_entry_(kPoisoning == Poisoning::On ? std::uncaught_exceptions() : 0) {}
  std::mutex* mu_;
  bool* poisoned_;
  T* value_;
  int exceptions_at_entry_;
};

template <class T, Poisoning kPoisoning = Poisoning::On>
class Mutex {
 public:
  using Guard = MutexGuard<T, kPoisoning>;

  template <class... Args>
  explicit Mutex(Args&&... args) : value_(std::forward<Args>(args)...) {}

  // Fatal when a previous holder of a poisoning mutex failed.
  Guard lock() {
    mu_.lock();
    if (kPoisoning == Poisoning::On && poisoned_) {
      mu_.unlock();
      panic(kPoisonedLock);
    }
    return Guard(mu_, poisoned_, value_);
  }

  // For fork handlers only: holds the mutex across fork(), whatever its poison flag,
  // so that a child never inherits it locked by a thread it does not have.
  void lock_for_fork() { mu_.lock(); }
  void unlock_after_fork() { mu_.unlock(); }

  bool is_poisoned() {
    std::lock_guard lock(mu_);
    return poisoned_;
  }

 private:
  std::mutex mu_;
  bool poisoned_ = false;
  T value_;
};

}  // namespace zel
