// Recording across fork(). The locks a forked child may take (arming's, the metric
// accumulator's, the scope-name registry's, the profiler's and its mailboxes') are held
// across the fork, so none is inherited locked by a thread the child does not have.
// The child then records nothing and accumulates no scopes: it forgets the parent's
// recorder and frame view without touching them, and the GPU collector thread it lacks.
// Its first enable() arms anew from the environment it has then. The parent goes on as
// before.
#pragma once

namespace zel {

// Registers the handlers with pthread_atfork, once per process; later calls do nothing.
void install_fork_handlers();

}  // namespace zel
