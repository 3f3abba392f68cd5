#include "record/path_pattern.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <utility>

namespace zel::record {
namespace {

std::string without_slashes(std::string s) {
  std::replace(s.begin(), s.end(), '/', '_');
  return s;
}

}  // namespace

PathFacts this_process_facts() {
  PathFacts facts;
  facts.pid = std::to_string(::getpid());
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) == 0) facts.host = without_slashes(host);
  facts.rank = "0";
  for (const char* name : kRankVariables) {
    if (const char* value = std::getenv(name)) {
      facts.rank = without_slashes(value);
      break;
    }
  }
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  char stamp[32] = {};
  if (::localtime_r(&now, &local)) std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
  facts.time = stamp;
  return facts;
}

std::string expand_path(std::string_view pattern, const PathFacts& facts) {
  const std::pair<std::string_view, const std::string*> placeholders[] = {{"{pid}", &facts.pid},
                                                                          {"{host}", &facts.host},
                                                                          {"{rank}", &facts.rank},
                                                                          {"{time}", &facts.time}};
  std::string out;
  out.reserve(pattern.size());
  while (!pattern.empty()) {
    bool replaced = false;
    if (pattern[0] == '{') {
      for (auto [name, value] : placeholders) {
        if (pattern.starts_with(name)) {
          out += *value;
          pattern.remove_prefix(name.size());
          replaced = true;
          break;
        }
      }
    }
    if (!replaced) {
      out += pattern[0];
      pattern.remove_prefix(1);
    }
  }
  return out;
}

}  // namespace zel::record
