#include "capture/named_scope.h"

#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "base/mutex.h"
#include "profiler/global_profiler.h"
#include "profiler/thread_profiler.h"

namespace zel::scope {

namespace {

using profiler::ScopeId;
using profiler::ThreadProfiler;

// Hashes std::string and std::string_view alike, so look-ups need no copy of the name.
struct NameHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

using Registry = Mutex<std::unordered_map<std::string, ScopeId, NameHash, std::equal_to<>>>;

Registry& scope_ids() {
  static Registry* registry = new Registry();  // never destroyed
  return *registry;
}

}  // namespace

ScopeGuard& ScopeGuard::operator=(ScopeGuard&& other) noexcept {
  if (this != &other) {
    ScopeGuard old(std::move(*this));
    offset_ = other.offset_;
    owner_ = other.owner_;
    other.owner_ = 0;
  }
  return *this;
}

ScopeGuard::~ScopeGuard() {
  try {
    end();
  } catch (...) {
  }
}

void ScopeGuard::end() {
  if (owner_ == 0) return;
  const uint64_t owner = owner_;
  owner_ = 0;
  ThreadProfiler::call([&](ThreadProfiler& p) {
    if (p.token() == owner) {
      p.end_scope(offset_);
    } else {
      // Opened on another thread: that thread closes it, this one's stream is left
      // alone. Nothing remains to close if that thread has ended.
      (void)ThreadProfiler::post_end(owner, offset_, profiler::now_ns());
    }
  });
}

ScopeId scope_id(std::string_view name) {
  auto ids = scope_ids().lock();
  auto it = ids->find(name);
  if (it != ids->end()) return it->second;
  std::string key(name);
  const ScopeId id = profiler::fetch_add_scope_id();
  // Described to the profiler at once: another thread may use the id in a frame
  // before this one hands over any scope.
  profiler::GlobalProfiler::lock()->describe(profiler::ScopeDetails{id, std::nullopt, key, "", 0});
  ids->emplace(std::move(key), id);
  return id;
}

void hold_for_fork() {
  scope_ids().lock_for_fork();
}

void release_after_fork() {
  scope_ids().unlock_after_fork();
}

ScopeGuard begin(ScopeId id) {
  ScopeGuard guard;
  if (!profiler::scopes_on()) return guard;
  ThreadProfiler::call([&](ThreadProfiler& p) {
    guard.offset_ = p.begin_scope(id, {});
    guard.owner_ = p.token();
  });
  return guard;
}

ScopeGuard scope(std::string_view name) {
  if (!profiler::scopes_on()) return ScopeGuard();
  return begin(scope_id(name));
}

}  // namespace zel::scope
