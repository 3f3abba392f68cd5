// A minimal logging facade: events carry a level, a target and a message. The
// library installs no sink, so events go nowhere unless a host (or a test) sets one.
#pragma once

#include <string_view>

namespace zel::log {

enum class Level { Error, Warn, Info, Debug, Trace };

// Receives every event while installed. Called on the emitting thread; must not block.
using Sink = void (*)(Level level, std::string_view target, std::string_view message);

// Installs `sink` (nullptr removes it) and returns the previous one.
Sink set_sink(Sink sink);

void emit(Level level, std::string_view target, std::string_view message);

}  // namespace zel::log
