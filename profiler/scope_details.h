// Scope identifiers and descriptions: ScopeDetails says what a ScopeId stands for,
// ScopeCollection files every description a frame consumer has seen.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace profiler {

// Never 0; handed out once per process by fetch_add_scope_id().
using ScopeId = uint32_t;

// What a scope is. Serialised in this field order.
struct ScopeDetails {
  std::optional<ScopeId> scope_id;
  std::optional<std::string> scope_name;  // explicit name, when the scope has one
  std::string function_name;              // runtime-named scopes keep their name here
  std::string file_path;                  // may be empty
  uint32_t line_nr = 0;                   // 0 when unknown

  // scope_name when present, else function_name.
  std::string_view display_name() const {
    return scope_name ? std::string_view(*scope_name) : std::string_view(function_name);
  }

  bool operator==(const ScopeDetails&) const = default;
};

using SharedScopeDetails = std::shared_ptr<const ScopeDetails>;

// The description of every known identifier (the first one inserted for an id stays)
// and, per display name, the identifier inserted last under it. Iteration order of
// both maps is unspecified.
class ScopeCollection {
 public:
  // Files `details`, which must carry a scope_id (a fatal error otherwise), and
  // returns the description now stored for that id.
  SharedScopeDetails insert(SharedScopeDetails details);

  const std::unordered_map<ScopeId, SharedScopeDetails>& scope_id_to_details() const {
    return by_id_;
  }
  const std::unordered_map<std::string, ScopeId>& name_to_scope_id() const { return by_name_; }

 private:
  std::unordered_map<ScopeId, SharedScopeDetails> by_id_;
  std::unordered_map<std::string, ScopeId> by_name_;
};

}  // namespace profiler
