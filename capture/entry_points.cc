#include "capture/entry_points.h"

#include "capture/fork_handlers.h"
#include "profiler/clock.h"
#include "profiler/global_profiler.h"
#include "profiler/thread_profiler.h"
#include "record/recorder.h"

namespace zel {

void enable() {
  install_fork_handlers();
  profiler::set_scopes_on(true);
  profiler::now_ns();  // the clock calibrates at its first use: pay that here, not in a frame
  record::arm();
}

void frame_mark() {
  profiler::ThreadProfiler::hand_over_before_mark();
  profiler::new_frame();
  if (record::Recorder* r = record::recorder()) r->mark_frame();
}

void flush_recording() {
  if (record::Recorder* r = record::recorder()) r->flush();
}

}  // namespace zel
