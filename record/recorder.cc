#include "record/recorder.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <system_error>

#include "base/error.h"
#include "base/log.h"
#include "base/run_once.h"
#include "base/utf8.h"
#include "gpu/gpu_collector.h"
#include "record/metrics_acc.h"
#include "record/path_pattern.h"
#include "record/system_columns.h"

namespace zel::record {
namespace {

RunOnce ARMED;
std::atomic<Recorder*> RECORDER{nullptr};

void send_or_panic(Sender<writer::Msg>& tx, writer::Msg msg) {
  if (writer::send(tx, std::move(msg))) panic(kSendError);  // the writer thread has ended
}

const char* env_raw(const char* name) {
  return std::getenv(name);
}

}  // namespace

uint64_t parse_u64(std::string_view name, std::string_view raw) {
  std::string_view digits = raw;
  if (!digits.empty() && digits[0] == '+') digits.remove_prefix(1);
  bool ok = !digits.empty();
  uint64_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') {
      ok = false;
      break;
    }
    const uint64_t d = static_cast<uint64_t>(c - '0');
    if (value > (UINT64_MAX - d) / 10) {
      ok = false;
      break;
    }
    value = value * 10 + d;
  }
  if (!ok) {
    panic(std::string(name) + " must be a positive integer, got " + utf8::debug_quote(raw));
  }
  return value;
}

std::optional<uint64_t> env_u64(const char* name) {
  const char* raw = env_raw(name);
  if (!raw) return std::nullopt;
  return parse_u64(name, raw);
}

Recorder::Recorder(const RecordingOptions& options, Sender<writer::Msg> tx,
                   std::unique_ptr<profiler::GlobalFrameView> view)
    : max_frames(options.max_frames),
      stop_after(options.stop_after),
      tx(std::move(tx)),
      view(std::move(view)),
      flame_every(options.flame_every) {}

std::unique_ptr<Recorder> Recorder::create(RecordingOptions options) {
  if (options.flame_every < 1) panic("assertion failed: flame_every >= 1");
  // Claimed here, before any thread starts, so that the caller knows whether it records.
  writer::OpenedFile file = FileWriter::create(options.path);
  if (!file && file.error().code() == EWOULDBLOCK) {
    const std::string line =
        "zel: " + utf8::debug_quote(options.path) +
        " is being recorded by another process, so this process records nothing; give "
        "each process a file of its own, for example ZEL_RECORD='capture-{pid}.zel'\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    return nullptr;
  }
  gpu::ensure_collector();
  format::Header header{system::header_columns(), format::kVersion, options.flame_enabled};
  // Unregisters its sink again if the writer thread cannot be started.
  auto view = options.flame_enabled ? std::make_unique<profiler::GlobalFrameView>() : nullptr;
  try {
    Sender<writer::Msg> tx = writer::start(options.path, std::move(file), std::move(header));
    return std::unique_ptr<Recorder>(new Recorder(options, std::move(tx), std::move(view)));
  } catch (const std::system_error& e) {
    panic("called `Result::unwrap()` on an `Err` value: " +
          IoError::from_errno(e.code().value()).debug());
  }
}

std::optional<uint16_t> Recorder::column_id(FrameState& state, Sender<writer::Msg>& tx,
                                            std::string name, std::string unit) {
  auto it = state.user_ids.find(name);
  if (it != state.user_ids.end()) return it->second;
  if (state.user_ids.size() >= kMaxUserColumns) {
    static std::once_flag warned;
    std::call_once(warned, [] {
      log::emit(log::Level::Warn, "zel::record",
                "every user column id is taken; values of new metric names are dropped");
    });
    return std::nullopt;
  }
  const auto id = static_cast<uint16_t>(kFirstUserId + state.user_ids.size());
  send_or_panic(tx, writer::DeclMsg{id, {name, std::move(unit)}});
  state.user_ids.emplace(std::move(name), id);
  return id;
}

void Recorder::mark_frame() {
  std::vector<metrics_acc::DrainedMetric> metrics = metrics_acc::drain();

  auto state = frame_state.lock();
  if (stop_after && state->frames_seen >= *stop_after) return;
  const system::SystemSample sample = system::build_sample(state->last_mark);
  const auto values = system::column_values(sample);
  format::Record record{{values.begin(), values.end()}, {}, std::nullopt};

  if (view && state->frames_seen % flame_every == 0 &&
      (!max_frames || state->flames_written < *max_frames)) {
    auto v = view->lock();
    if (profiler::SharedFrame newest = v->newest()) {
      Bytes flame;
      newest->write_into(&v->scope_collection(), flame);
      record.flame = std::move(flame);
      ++state->flames_written;
    }
  }
  ++state->frames_seen;

  auto sender = tx.lock();
  record.user.reserve(metrics.size());
  for (metrics_acc::DrainedMetric& m : metrics) {
    if (auto id = column_id(*state, *sender, std::move(m.name), std::move(m.unit))) {
      record.user.emplace_back(*id, m.value);
    }
  }
  send_or_panic(*sender, std::move(record));
}

void Recorder::flush() {
  auto [ack_tx, ack_rx] = make_rendezvous();
  {
    auto sender = tx.lock();
    send_or_panic(*sender, writer::FlushMsg{std::move(ack_tx)});
  }
  if (!ack_rx.recv()) panic(kRecvError);
}

void arm() {
  ARMED.call([] {
    const char* path = env_raw("ZEL_RECORD");
    if (!path) return;
    if (std::string_view(path).starts_with("tcp://")) {
      panic("ZEL_RECORD tcp:// transport not yet implemented");
    }
    RecordingOptions options{.path = expand_path(path, this_process_facts())};
    const char* flame = env_raw("ZEL_RECORD_FLAME");
    options.flame_enabled = flame && std::string_view(flame) == "1";
    options.flame_every = env_u64("ZEL_RECORD_EVERY").value_or(1);
    options.max_frames = env_u64("ZEL_RECORD_MAX_FRAMES");
    options.stop_after = env_u64("ZEL_RECORD_STOP_AFTER");
    // Never destroyed: host threads may mark frames while the process exits.
    RECORDER.store(Recorder::create(std::move(options)).release(), std::memory_order_release);
  });
}

Recorder* recorder() {
  return RECORDER.load(std::memory_order_acquire);
}

void hold_for_fork() {
  ARMED.lock_for_fork();
}

void release_after_fork(bool in_child) {
  if (in_child) RECORDER.store(nullptr, std::memory_order_release);  // left, never freed
  ARMED.unlock_after_fork(in_child);
}

}  // namespace zel::record
