#include "thread.h"

#include <pthread.h>

#include <cstdio>

namespace zel {
namespace {
thread_local bool system_thread = false;
}

namespace detail {

void enter_system_thread(const std::string& name) {
  system_thread = true;
  pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}

void report_panic(const std::string& name, const char* message) {
  std::string line = "thread '" + name + "' panicked: " + message + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

}  // namespace detail

bool is_system_thread() {
  return system_thread;
}

}  // namespace zel
