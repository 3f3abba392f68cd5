// Scopes named at run time, as Python code names them: a name gets a ScopeId (and its
// description is registered) the first time the process sees it, and scope() opens a
// scope under that id on the calling thread until the returned guard ends.
//
//   {
//     zel::scope::ScopeGuard g = zel::scope::scope("physics");
//     step();
//   }  // ends the scope
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "profiler/scope_details.h"

namespace zel::scope {

// Holds the scope a scope() call opened, if any. Scopes end innermost first on the
// thread that opened them. A guard ended on another thread is closed by the thread
// that opened it, at its next scope begin or end, with the time of that call; the
// ending thread's own stream is left alone.
class ScopeGuard {
 public:
  ScopeGuard() = default;
  ScopeGuard(ScopeGuard&& other) noexcept : offset_(other.offset_), owner_(other.owner_) {
    other.owner_ = 0;
  }
  ScopeGuard& operator=(ScopeGuard&& other) noexcept;
  ScopeGuard(const ScopeGuard&) = delete;
  ScopeGuard& operator=(const ScopeGuard&) = delete;
  // Ends the scope; a failure to do so (the thread is being torn down) is dropped.
  ~ScopeGuard();

  bool active() const { return owner_ != 0; }
  // Ends the scope now and leaves the guard empty; nothing for an empty guard. Fatal
  // when this thread's profiler is no longer available.
  void end();

 private:
  friend ScopeGuard begin(profiler::ScopeId id);

  size_t offset_ = 0;
  uint64_t owner_ = 0;  // token of the profiler the scope was opened on; 0 when empty
};

// Opens a scope named `name`; an empty guard while scopes are off.
ScopeGuard scope(std::string_view name);

// The id of a runtime name, registering it on this thread at its first use in the
// process. Ids never change, so callers may keep the result.
profiler::ScopeId scope_id(std::string_view name);

// Opens a scope under an id that scope_id() returned; an empty guard while scopes
// are off.
ScopeGuard begin(profiler::ScopeId id);

// Fork handlers: the name registry's lock is held across fork().
void hold_for_fork();
void release_after_fork();

}  // namespace zel::scope
