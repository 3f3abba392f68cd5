#include "capture/fork_handlers.h"

#include <pthread.h>

#include "capture/named_scope.h"
#include "gpu/gpu_collector.h"
#include "profiler/global_profiler.h"
#include "profiler/thread_profiler.h"
#include "record/metrics_acc.h"
#include "record/recorder.h"

namespace zel {
namespace {

// Taken in the order in which the code nests them (a name's registration opens this
// thread's profiler, which takes the mailbox lock), released in reverse.
void before_fork() {
  record::hold_for_fork();
  metrics_acc::hold_for_fork();
  scope::hold_for_fork();
  profiler::hold_mail_for_fork();
  profiler::hold_for_fork();
}

void after_fork(bool in_child) {
  profiler::release_after_fork(in_child);
  profiler::release_mail_after_fork(in_child);
  scope::release_after_fork();
  metrics_acc::release_after_fork(in_child);
  record::release_after_fork(in_child);
  if (in_child) {
    profiler::set_scopes_on(false);
    gpu::forget_collector_in_child();
  }
}

}  // namespace

void install_fork_handlers() {
  static const bool installed = [] {
    return pthread_atfork(
               before_fork, [] { after_fork(false); }, [] { after_fork(true); }) == 0;
  }();
  (void)installed;
}

}  // namespace zel
