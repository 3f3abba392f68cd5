// Run-once initialisation that remembers a failure: while one thread runs the body,
// others wait; once it has succeeded, calls return at once; once it has failed
// (left by an exception), every later call fails fatally.
#pragma once

#include <condition_variable>
#include <exception>
#include <mutex>
#include <new>

#include "base/error.h"

namespace zel {

class RunOnce {
 public:
  template <class F>
  void call(F&& body) {
    {
      std::unique_lock lock(mu_);
      changed_.wait(lock, [&] { return state_ != State::Running; });
      if (state_ == State::Done) return;
      if (state_ == State::Poisoned) panic("Once instance has previously been poisoned");
      state_ = State::Running;
    }
    try {
      body();
    } catch (...) {
      finish(State::Poisoned);
      throw;
    }
    finish(State::Done);
  }

  // For fork handlers only: no state change is half done across fork(), and a forked
  // child starts over at not run, even if another thread was running the body.
  void lock_for_fork() { mu_.lock(); }
  void unlock_after_fork(bool in_child) {
    if (in_child) {
      state_ = State::NotRun;
      // Threads that waited in the parent do not exist here; a fresh condition
      // variable does not wait for them when it is notified.
      new (&changed_) std::condition_variable();
    }
    mu_.unlock();
  }

 private:
  enum class State { NotRun, Running, Done, Poisoned };

  void finish(State s) {
    std::lock_guard lock(mu_);
    state_ = s;
    changed_.notify_all();
  }

  std::mutex mu_;
  std::condition_variable changed_;
  State state_ = State::NotRun;
};

}  // namespace zel
