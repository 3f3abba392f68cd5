#include "profiler/thread_profiler.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "base/error.h"
#include "base/utf8.h"
#include "profiler/flame_format.h"
#include "profiler/global_profiler.h"

namespace profiler {

std::atomic<bool> SCOPES_ON{false};

void set_scopes_on(bool on) {
  SCOPES_ON.store(on, std::memory_order_relaxed);
}

namespace {

std::atomic<uint32_t> SCOPE_ID_TRACKER{1};
std::atomic<uint64_t> next_token{1};

// The thread's profiler lives from first use until the thread ends. The slot is plain
// and trivially destroyed, so it stays readable during thread teardown, and one
// thread-local look-up reaches both fields.
enum class State : uint8_t { Empty, Ready, Borrowed, Gone };
}  // namespace

struct ThreadSlot {
  State state = State::Empty;
  ThreadProfiler* profiler = nullptr;
  const std::string* name = nullptr;  // set for the system's own threads
};

namespace {
thread_local ThreadSlot this_thread_slot;

// The profilers of live threads by token, for ends posted from other threads. Its
// lock also guards every profiler's mail.
struct Mailboxes {
  std::mutex mu;
  std::unordered_map<uint64_t, ThreadProfiler*> live;
};
Mailboxes& mailboxes() {
  static Mailboxes* m = new Mailboxes;  // never destroyed: threads end during exit
  return *m;
}

// Destroyed with the thread: ends its profiler, discarding a segment still open.
struct Owner {
  ~Owner() {
    ThreadSlot& s = this_thread_slot;
    s.state = State::Gone;
    if (s.profiler) {
      std::lock_guard lock(mailboxes().mu);
      mailboxes().live.erase(s.profiler->token());
    }
    delete s.profiler;
    s.profiler = nullptr;
    delete s.name;
    s.name = nullptr;
  }
};
thread_local Owner owner;

const std::string kNoName;

}  // namespace

const std::string& this_thread_name() {
  const ThreadSlot& s = this_thread_slot;
  return s.name ? *s.name : kNoName;
}

void set_this_thread_name(std::string name) {
  (void)&owner;  // frees the name with the thread
  ThreadSlot& s = this_thread_slot;
  delete s.name;
  s.name = new std::string(std::move(name));
  if (s.profiler) s.profiler->thread_name_ = *s.name;
}

void hold_mail_for_fork() {
  mailboxes().mu.lock();
}

void release_mail_after_fork(bool in_child) {
  if (in_child) {
    const ThreadProfiler* self = this_thread_slot.profiler;
    std::erase_if(mailboxes().live, [&](const auto& entry) { return entry.second != self; });
  }
  mailboxes().mu.unlock();
}

ScopeId fetch_add_scope_id() {
  ScopeId id = SCOPE_ID_TRACKER.fetch_add(1, std::memory_order_relaxed);
  if (id == 0) zel::panic("safe because integer is retrieved from fetch-add atomic operation");
  return id;
}

void internal_profile_reporter(ThreadInfo info, std::span<const ScopeDetails> details,
                               const StreamInfoRef& stream) {
  GlobalProfiler::lock()->report(std::move(info), details, stream);
}

ThreadProfiler::ThreadProfiler()
    : thread_name_(this_thread_name()),
      token_(next_token.fetch_add(1, std::memory_order_relaxed)) {}

ThreadProfiler::Access::Access() {
  ThreadSlot& s = this_thread_slot;
  if (s.state != State::Ready) {
    if (s.state == State::Empty) {
      (void)&owner;  // registers the destructor that ends the profiler with the thread
      s.profiler = new ThreadProfiler();
      s.state = State::Ready;
      std::lock_guard lock(mailboxes().mu);
      mailboxes().live.emplace(s.profiler->token(), s.profiler);
    } else if (s.state == State::Borrowed) {
      zel::panic("this thread's scope profiler is already in use");
    } else {
      zel::panic("this thread's scope profiler is no longer available: the thread is ending");
    }
  }
  s.state = State::Borrowed;
  slot = &s;
  profiler = s.profiler;
}

ThreadProfiler::Access::~Access() {
  slot->state = State::Ready;
}

bool ThreadProfiler::post_end(uint64_t token, size_t handle, NanoSecond stop) {
  std::lock_guard lock(mailboxes().mu);
  auto it = mailboxes().live.find(token);
  if (it == mailboxes().live.end()) return false;
  it->second->mail_.emplace_back(handle, stop);
  it->second->attention_.fetch_or(kMail, std::memory_order_relaxed);
  return true;
}

void ThreadProfiler::hand_over_before_mark() {
  ThreadSlot& s = this_thread_slot;
  if (s.state != State::Ready || s.profiler->depth_ == 0) return;
  s.profiler->hand_over_open_segment(s.profiler->now_ns_());
}

void ThreadProfiler::notify_frame_marked() {
  const ThreadProfiler* self = this_thread_slot.profiler;  // it handed over already
  std::lock_guard lock(mailboxes().mu);
  for (auto& [token, p] : mailboxes().live) {
    if (p != self) p->attention_.fetch_or(kFrameMarked, std::memory_order_relaxed);
  }
}

void ThreadProfiler::attend() {
  std::vector<std::pair<size_t, NanoSecond>> ends;
  uint8_t why;
  {
    std::lock_guard lock(mailboxes().mu);
    ends.swap(mail_);
    why = attention_.exchange(0, std::memory_order_relaxed);
  }
  // The segment so far belongs to the frame just marked, ends posted before the mark
  // included.
  for (const auto& [handle, stop] : ends) {
    // Only scopes still open here; anything else was closed or reported already.
    const size_t h = handle;  // a structured binding cannot be captured before C++20
    auto open =
        std::find_if(open_.begin(), open_.end(), [h](const OpenScope& o) { return o.handle == h; });
    if (open != open_.end()) finish_end(h, stop);
  }
  if ((why & kFrameMarked) && depth_ > 0) hand_over_open_segment(now_ns_());
}

// Whether the open segment has grown past what anybody will take: the limit of a
// profiler frame, or far less when no frame sink is registered.
static bool segment_too_large(size_t bytes) {
  return bytes > kMaxSegmentBytes && (bytes > kMaxFrameScopeBytes || !frames_have_sinks());
}

size_t ThreadProfiler::begin_scope(ScopeId id, std::string_view data) {
  if (attention_.load(std::memory_order_relaxed)) {
    attend();
  } else if (segment_too_large(stream_info_.stream.size() - reopened_bytes_)) [[unlikely]] {
    hand_over_open_segment(now_ns_());
  }
  ++depth_;
  data = zel::utf8::cut(data, scope_record::kMaxDataLen);
  auto& s = stream_info_.stream;
  const size_t at = s.size();
  s.resize(at + scope_record::begin_len(data.size()));
  scope_record::put_begin(s.data() + at, id, data);
  const size_t handle = handle_base_ + at + scope_record::size_at(data.size());
  open_.push_back({handle, at});

  // The clock is read last, after every byte is in place.
  const NanoSecond start = now_ns_();
  scope_record::set_start(s.data() + at, start);
  stream_info_.range_ns.first = std::min(stream_info_.range_ns.first, start);
  if (!start_time_ns_) start_time_ns_ = start;
  return handle;
}

void ThreadProfiler::end_scope(size_t handle) {
  const NanoSecond stop = now_ns_();  // first, before any work
  if (attention_.load(std::memory_order_relaxed)) {
    attend();
  } else if (segment_too_large(stream_info_.stream.size() - reopened_bytes_)) [[unlikely]] {
    hand_over_open_segment(stop);
  }
  finish_end(handle, stop);
}

void ThreadProfiler::finish_end(size_t handle, NanoSecond stop) {
  stream_info_.depth = std::max(stream_info_.depth, depth_);
  ++stream_info_.num_scopes;
  stream_info_.range_ns.second = std::max(stream_info_.range_ns.second, stop);
  if (depth_ > 0) {
    --depth_;
  } else {
    std::fputs("profiler ERROR: Mismatched scope begin/end calls\n", stderr);
  }

  auto& s = stream_info_.stream;
  auto open = std::find_if(open_.rbegin(), open_.rend(),
                           [&](const OpenScope& o) { return o.handle == handle; });
  if (open != open_.rend()) {
    const size_t size_at =
        open->begin_at + scope_record::size_at(s[open->begin_at + scope_record::kDataLenAt]);
    open_.erase(std::next(open).base());
    zel::store_fixed(s.data() + size_at, uint64_t{s.size() - (size_at + 8)});
  }
  scope_record::put_end(s, stop);

  if (depth_ == 0) report();
}

void ThreadProfiler::hand_over_open_segment(NanoSecond now) {
  // The scopes open now go with their size fields all ones, and the segment's time
  // range runs to now. The next segment begins now, with the same scopes opened again
  // under the same handles.
  zel::Bytes reopened;
  for (const OpenScope& o : open_) {
    const uint8_t* begin = stream_info_.stream.data() + o.begin_at;
    reopened.insert(reopened.end(), begin,
                    begin + scope_record::begin_len(begin[scope_record::kDataLenAt]));
  }
  stream_info_.depth = std::max(stream_info_.depth, depth_);
  stream_info_.range_ns.second = std::max(stream_info_.range_ns.second, now);
  for (const OpenScope& o : open_) stream_info_.open_at.push_back(o.begin_at);
  std::vector<OpenScope> open = std::move(open_);
  handle_base_ += stream_info_.stream.size();  // the open scopes' handles stay unique
  report();                                    // clears the segment

  size_t at = 0;
  for (OpenScope& o : open) {
    o.begin_at = at;
    at += scope_record::begin_len(reopened[at + scope_record::kDataLenAt]);
  }
  stream_info_.stream = std::move(reopened);
  stream_info_.range_ns.first = now;
  stream_info_.reopened = open.size();
  reopened_bytes_ = at;
  open_ = std::move(open);
}

void ThreadProfiler::report() {
  // The segment is handed over whatever the reporter does.
  struct Reset {
    ThreadProfiler& p;
    ~Reset() {
      p.scope_details_.clear();
      p.stream_info_.clear();
      p.reopened_bytes_ = 0;
      p.open_.clear();
    }
  } reset{*this};
  reporter_(ThreadInfo{start_time_ns_, thread_name_}, scope_details_, stream_info_.view());
}

}  // namespace profiler
