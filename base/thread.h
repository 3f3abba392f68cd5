// Threads of the system's own: named, detached, and ended alone by a fatal failure.
#pragma once

#include <exception>
#include <string>
#include <thread>
#include <utility>

#include "base/error.h"

namespace zel {

namespace detail {
void name_this_thread(const std::string& name);
void report_panic(const std::string& name, const char* message);
}  // namespace detail

// Starts a detached thread named `name` (the first 15 bytes show in /proc) running
// `body`. A Panic, or any other exception, escaping `body` ends this thread only:
// "thread '<name>' panicked: <message>" goes to standard error and the process goes on.
// What `body` captures lives until that line is out, so a queue it owns closes after.
template <class F>
void spawn_detached(std::string name, F body) {
  std::thread([name = std::move(name), body = std::move(body)]() mutable {
    detail::name_this_thread(name);
    try {
      body();
    } catch (const std::exception& e) {
      detail::report_panic(name, e.what());
    }
  }).detach();
}

}  // namespace zel
