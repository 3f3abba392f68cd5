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

bool ThreadProfiler::post_end(uint64_t token, size_t offset, NanoSecond stop) {
  std::lock_guard lock(mailboxes().mu);
  auto it = mailboxes().live.find(token);
  if (it == mailboxes().live.end()) return false;
  it->second->mail_.emplace_back(offset, stop);
  it->second->has_mail_.store(true, std::memory_order_relaxed);
  return true;
}

void ThreadProfiler::read_mail() {
  std::vector<std::pair<size_t, NanoSecond>> ends;
  {
    std::lock_guard lock(mailboxes().mu);
    ends.swap(mail_);
    has_mail_.store(false, std::memory_order_relaxed);
  }
  for (auto [offset, stop] : ends) {
    // Only scopes still open here; anything else was closed or reported already.
    if (std::find(open_offsets_.begin(), open_offsets_.end(), offset) != open_offsets_.end()) {
      finish_end(offset, stop);
    }
  }
}

size_t ThreadProfiler::begin_scope(ScopeId id, std::string_view data) {
  if (has_mail_.load(std::memory_order_relaxed)) read_mail();
  ++depth_;
  data = zel::utf8::cut(data, scope_record::kMaxDataLen);
  auto& s = stream_info_.stream;
  const size_t at = s.size();
  s.resize(at + scope_record::begin_len(data.size()));
  scope_record::put_begin(s.data() + at, id, data);
  const size_t offset = at + scope_record::size_at(data.size());
  open_offsets_.push_back(offset);

  // The clock is read last, after every byte is in place.
  const NanoSecond start = now_ns_();
  scope_record::set_start(s.data() + at, start);
  stream_info_.range_ns.first = std::min(stream_info_.range_ns.first, start);
  if (!start_time_ns_) start_time_ns_ = start;
  return offset;
}

void ThreadProfiler::end_scope(size_t offset) {
  const NanoSecond stop = now_ns_();  // first, before any work
  if (has_mail_.load(std::memory_order_relaxed)) read_mail();
  finish_end(offset, stop);
}

void ThreadProfiler::finish_end(size_t offset, NanoSecond stop) {
  stream_info_.depth = std::max(stream_info_.depth, depth_);
  ++stream_info_.num_scopes;
  stream_info_.range_ns.second = std::max(stream_info_.range_ns.second, stop);
  if (depth_ > 0) {
    --depth_;
  } else {
    std::fputs("profiler ERROR: Mismatched scope begin/end calls\n", stderr);
  }

  auto& s = stream_info_.stream;
  auto open = std::find(open_offsets_.rbegin(), open_offsets_.rend(), offset);
  if (open != open_offsets_.rend()) {
    open_offsets_.erase(std::next(open).base());
    const uint64_t size = s.size() - (offset + 8);
    zel::store_fixed(s.data() + offset, size);
  }
  scope_record::put_end(s, stop);

  if (depth_ == 0) report();
}

void ThreadProfiler::report() {
  // The segment is handed over whatever the reporter does.
  struct Reset {
    ThreadProfiler& p;
    ~Reset() {
      p.scope_details_.clear();
      p.stream_info_.clear();
      p.open_offsets_.clear();
    }
  } reset{*this};
  reporter_(ThreadInfo{start_time_ns_, thread_name_}, scope_details_, stream_info_.view());
}

}  // namespace profiler
