// capture/, above record/: what the Python functions call.
//
// The capture entry points behind the Python functions: switch collection on and arm
// the recorder, mark a frame, flush the stream.
//
//   zel::enable();                       // ZEL_RECORD=capture.zel in the environment
//   for (;;) { draw(); zel::frame_mark(); }
//   zel::flush_recording();              // before exit
#pragma once

namespace zel {

// Switches scope recording on, then arms recording from the environment the first
// time it is called. Fatal on bad configuration, and on every call after that.
void enable();

// Closes the profiler's frame and, when recording is armed, queues one frame record.
void frame_mark();

// Returns once every frame marked before the call is in the file; at once when
// recording is not armed.
void flush_recording();

}  // namespace zel
