// Access to a value for as long as a mutex stays locked: what the global profiler's
// and the frame view's lock() hand out.
#pragma once

#include <mutex>

namespace profiler {

template <class T>
class Locked {
 public:
  Locked(std::mutex& mu, T* value) : lock_(mu), value_(value) {}

  T* operator->() const { return value_; }
  T& operator*() const { return *value_; }

 private:
  std::unique_lock<std::mutex> lock_;
  T* value_;
};

}  // namespace profiler
