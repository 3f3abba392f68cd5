#include "base/thread.h"

#include <pthread.h>

#include <cstdio>

namespace zel {
namespace detail {

void name_this_thread(const std::string& name) {
  pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}

void report_panic(const std::string& name, const char* message) {
  std::string line = "thread '" + name + "' panicked: " + message + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

}  // namespace detail

}  // namespace zel
