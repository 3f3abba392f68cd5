#include "base/log.h"

#include <atomic>

namespace zel::log {
namespace {
std::atomic<Sink> installed{nullptr};
}

Sink set_sink(Sink sink) {
  return installed.exchange(sink);
}

void emit(Level level, std::string_view target, std::string_view message) {
  if (Sink sink = installed.load(std::memory_order_acquire)) sink(level, target, message);
}

}  // namespace zel::log
