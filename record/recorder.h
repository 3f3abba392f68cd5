// record/, above gpu/: the .zel stream, its writer and readers, the recorder.
//
// The recorder: what arming creates when ZEL_RECORD names a file, and what every
// later frame mark and flush work on. Arming reads the ZEL_RECORD* variables
// once per process; the recorder then lives until the process ends.
//
//   record::arm();                                  // under enable(), once
//   if (Recorder* r = record::recorder()) r->mark_frame();
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/mutex.h"
#include "profiler/frame_view.h"
#include "record/stream_writer.h"

namespace zel::record {

// The frame mark's own state, behind the frame-state lock.
struct FrameState {
  uint64_t frames_seen = 0;                               // frame marks handled since arming
  uint64_t flames_written = 0;                            // frames that have carried flame bytes
  std::map<std::string, uint16_t, std::less<>> user_ids;  // every declared user column
  std::optional<std::chrono::steady_clock::time_point> last_mark;
};

// User column ids run from 8 (after the system columns) to 65535.
inline constexpr uint32_t kFirstUserId = 8;
inline constexpr size_t kMaxUserColumns = 65536 - kFirstUserId;

// What a recording is asked to do: the environment variables, read once.
struct RecordingOptions {
  std::string path{};                    // ZEL_RECORD
  bool flame_enabled = false;            // ZEL_RECORD_FLAME=1
  uint64_t flame_every = 1;              // ZEL_RECORD_EVERY, at least 1
  std::optional<uint64_t> max_frames{};  // ZEL_RECORD_MAX_FRAMES: frames with flame data
  std::optional<uint64_t> stop_after{};  // ZEL_RECORD_STOP_AFTER: frames recorded at all
};

class Recorder {
 public:
  // Claims the file at `options.path` for this process (FileWriter::create), then
  // starts the GPU collector and the writer thread "zel-record", which writes the
  // header; creates the frame view when flame capture is on. A path that cannot be
  // created ends the writer thread with its diagnostic, and the next send fails. When
  // another process holds the file, says so in one line on standard error and returns
  // null: this process records nothing.
  static std::unique_ptr<Recorder> create(RecordingOptions options);

  // Captures one frame record: drains the user metrics, samples the system columns,
  // takes the view's newest frame as flame bytes when one is due, declares new
  // columns and queues the record. Never waits for the writer thread. Once
  // `stop_after` records are queued, only drains the metrics: the capture ends there,
  // and flushing still works.
  void mark_frame();

  // Returns once the writer thread has written and flushed everything sent before.
  void flush();

  // The id of a user column, declaring it on first use. Nothing when every id is
  // taken: the name gets no column and its values are dropped.
  static std::optional<uint16_t> column_id(FrameState& state, Sender<writer::Msg>& tx,
                                           std::string name, std::string unit);

  const std::optional<uint64_t> max_frames;
  const std::optional<uint64_t> stop_after;
  Mutex<Sender<writer::Msg>> tx;  // the sender lock; taken after frame_state
  Mutex<FrameState> frame_state;
  const std::unique_ptr<profiler::GlobalFrameView> view;  // present with flame capture
  const uint64_t flame_every;

 private:
  Recorder(const RecordingOptions& options, Sender<writer::Msg> tx,
           std::unique_ptr<profiler::GlobalFrameView> view);
};

// Arms recording once per process from the environment (ZEL_RECORD, ZEL_RECORD_FLAME,
// ZEL_RECORD_EVERY, ZEL_RECORD_MAX_FRAMES, ZEL_RECORD_STOP_AFTER); later calls return
// at once, or fail fatally if the first one failed. The placeholders of ZEL_RECORD are
// expanded (record/path_pattern.h). A forked child arms anew (record::after_fork_in_child).
void arm();

// The process's recorder, or null while recording is not armed. One atomic load.
Recorder* recorder();

// Fork handlers: arming's lock is held across fork(). A forked child forgets the
// parent's recorder without touching it (its locks may be held by threads the child
// does not have, and its writer thread is not there): the child records nothing until
// it calls enable() again, which arms anew from the environment it has then.
void hold_for_fork();
void release_after_fork(bool in_child);

// The value of environment variable `name` as an unsigned decimal, nothing when it is
// unset; fatal when malformed.
std::optional<uint64_t> env_u64(const char* name);

// `raw` as an unsigned 64-bit decimal: an optional "+", then digits only. Fatal
// otherwise, with "<name> must be a positive integer, got <quoted raw>".
uint64_t parse_u64(std::string_view name, std::string_view raw);

}  // namespace zel::record
