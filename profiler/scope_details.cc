#include "profiler/scope_details.h"

#include "base/error.h"

namespace profiler {

SharedScopeDetails ScopeCollection::insert(SharedScopeDetails details) {
  if (!details->scope_id) zel::panic("`ScopeDetails` missing `ScopeId`");
  ScopeId id = *details->scope_id;
  by_name_.insert_or_assign(std::string(details->display_name()), id);
  auto [it, inserted] = by_id_.try_emplace(id, std::move(details));
  return it->second;
}

}  // namespace profiler
