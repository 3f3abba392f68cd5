// A mutual-exclusion lock that is marked poisoned when a holder fails (leaves by an
// exception); every later lock() then fails fatally instead of trusting the state.
#pragma once

#include <exception>
#include <mutex>

#include "error.h"

namespace zel {

inline constexpr const char* kPoisonedLock =
    "called `Result::unwrap()` on an `Err` value: PoisonError { .. }";

template <class T>
class PoisonMutex {
 public:
  template <class... Args>
  explicit PoisonMutex(Args&&... args) : value_(std::forward<Args>(args)...) {}

  class Guard {
   public:
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    ~Guard() {
      if (std::uncaught_exceptions() > exceptions_at_entry_) owner_.poisoned_ = true;
      owner_.mu_.unlock();
    }
    T* operator->() const { return &owner_.value_; }
    T& operator*() const { return owner_.value_; }

   private:
    friend class PoisonMutex;
    explicit Guard(PoisonMutex& owner)
        : owner_(owner), exceptions_at_entry_(std::uncaught_exceptions()) {}
    PoisonMutex& owner_;
    int exceptions_at_entry_;
  };

  // Fatal when a previous holder failed.
  Guard lock() {
    mu_.lock();
    if (poisoned_) {
      mu_.unlock();
      panic(kPoisonedLock);
    }
    return Guard(*this);
  }

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
