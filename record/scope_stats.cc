#include "record/scope_stats.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <string_view>
#include <unordered_map>

#include "base/error.h"
#include "profiler/flame_format.h"

namespace zel::record {
namespace {

using profiler::DecodedFlame;
using profiler::DecodedScope;
using profiler::ScopeId;

constexpr int64_t kMinNs = std::numeric_limits<int64_t>::min();
constexpr int64_t kMaxNs = std::numeric_limits<int64_t>::max();
constexpr uint32_t kNone = std::numeric_limits<uint32_t>::max();

// Differences and sums of times wrap around instead of overflowing: a made-up frame may
// hold any 64-bit times.
int64_t minus(int64_t a, int64_t b) {
  return static_cast<int64_t>(static_cast<uint64_t>(a) - static_cast<uint64_t>(b));
}
void add_to(int64_t& sum, int64_t v) {
  sum = static_cast<int64_t>(static_cast<uint64_t>(sum) + static_cast<uint64_t>(v));
}

// A scope instance as clipped within one frame.
struct Slice {
  uint32_t thread;  // thread index
  uint32_t name;    // name index
  uint32_t depth;   // 0 for an outermost scope
  int32_t parent;   // index of the enclosing slice, -1 for an outermost one
  const DecodedScope* scope;
  int64_t start, stop;  // clipped
  int64_t inner = 0;    // clipped durations of the child slices
  uint32_t key = 0;     // what the consumer files it under

  int64_t duration() const { return minus(stop, start); }
  int64_t self() const { return std::max<int64_t>(minus(duration(), inner), 0); }
};

// Decodes flame frames one at a time into slices, with thread and scope names interned
// across frames. Scratch space is kept between frames, so that clipping a frame
// allocates nothing once the first ones have been seen (decoding it still does).
class Clipper {
 public:
  std::vector<profiler::ThreadInfo> threads;
  std::vector<std::string> names;
  std::vector<Slice> slices;  // of the last frame, depth first

  // f(thread, scope) for each scope of the last frame that no slice stands for: those
  // left out with what holds them, and siblings taken as one with another.
  template <class F>
  void for_each_unclipped(F&& f) const {
    for (size_t n = 0; n < nodes_.size(); ++n) {
      if (!clipped_[n]) f(node_thread_[n], *nodes_[n]);
    }
  }

  // Clips the frame in `bytes` into `slices`; false when it does not decode.
  bool clip(std::span<const uint8_t> bytes) {
    slices.clear();
    try {
      frame_ = profiler::decode_flame(bytes);
    } catch (const zel::Panic&) {
      return false;
    }
    ++stamp_;
    for (const auto& d : frame_.scopes) {
      if (!d.scope_id) continue;
      IdSlot& slot = slot_of(*d.scope_id);
      const std::string_view name = d.display_name();
      if (slot.name == kNone || slot.text != name) {
        slot.text.assign(name);
        slot.name = intern(name);
      }
      slot.stamp = stamp_;  // the last description of an id in the frame names it
    }
    index_nodes();
    for (size_t k = 0; k < frame_threads_.size(); ++k) walk_thread(k);
    return true;
  }

 private:
  struct IdSlot {
    uint64_t stamp = 0;  // the frame whose scope list named it last
    uint32_t name = kNone;
    std::string text;
  };
  // Siblings taken as one scope: `rep` as recorded, with the children of `sources`.
  struct Group {
    int32_t rep;
    int32_t src;  // first of `nsrc` entries in sources_; -1: the only source is rep
    int32_t nsrc;
  };
  struct Level {
    size_t begin, end, at;  // its groups in groups_
    int64_t lo, hi;
    int32_t parent;
    uint32_t depth;
  };

  uint32_t intern(std::string_view name) {
    auto [it, added] = name_index_.try_emplace(std::string(name), static_cast<uint32_t>(0));
    if (added) {
      it->second = static_cast<uint32_t>(names.size());
      names.emplace_back(name);
    }
    return it->second;
  }

  IdSlot& slot_of(ScopeId id) {
    if (id < kDenseIds) {
      if (id >= dense_.size()) dense_.resize(std::max<size_t>(id + 1, dense_.size() * 2));
      return dense_[id];
    }
    return sparse_[id];
  }

  uint32_t name_of(ScopeId id) {
    IdSlot& slot = slot_of(id);
    if (slot.stamp == stamp_) return slot.name;
    return intern("#" + std::to_string(id));  // an id the frame does not describe
  }

  uint32_t thread_of(const profiler::ThreadInfo& info) {
    auto [it, added] = thread_index_.try_emplace(info, static_cast<uint32_t>(threads.size()));
    if (added) threads.push_back(info);
    return it->second;
  }

  // Numbers the frame's scopes 0..n-1 over all its threads, links each to its first
  // child and next sibling, and joins the outermost scopes of the threads that share a
  // name and start (a frame holds each thread once; a made-up one may not) into one
  // chain per thread.
  void index_nodes() {
    nodes_.clear();
    frame_threads_.clear();
    size_t total = 0;
    for (const auto& t : frame_.threads) total += t.scopes.size();
    nodes_.reserve(total);
    node_thread_.resize(total);
    clipped_.assign(total, 0);
    first_child_.assign(total, -1);
    next_.assign(total, -1);
    last_child_.assign(total, -1);
    for (const auto& t : frame_.threads) {
      const uint32_t thread = thread_of(t.info);
      auto at = std::find_if(frame_threads_.begin(), frame_threads_.end(),
                             [&](const FrameThread& f) { return f.thread == thread; });
      if (at == frame_threads_.end()) at = frame_threads_.insert(at, {thread, -1, -1});
      const int32_t base = static_cast<int32_t>(nodes_.size());
      for (const DecodedScope& s : t.scopes) {
        const int32_t n = static_cast<int32_t>(nodes_.size());
        node_thread_[n] = thread;
        nodes_.push_back(&s);
        int32_t& head = s.parent < 0 ? at->first_root : first_child_[base + s.parent];
        int32_t& tail = s.parent < 0 ? at->last_root : last_child_[base + s.parent];
        (tail < 0 ? head : next_[tail]) = n;
        tail = n;
      }
    }
  }

  // Appends the groups of the scopes in the sibling chains starting at `heads` to
  // groups_, in the order they began; returns where they start.
  template <class Heads>
  size_t add_level(const Heads& heads) {
    const size_t begin = groups_.size();
    bool rising = true;
    int64_t prev = kMinNs;
    for (int32_t head : heads) {
      for (int32_t c = head; c >= 0; c = next_[c]) {
        const int64_t start = nodes_[c]->start_ns;
        rising = rising && (groups_.size() == begin || start > prev);
        prev = start;
        groups_.push_back({c, -1, 1});
      }
    }
    if (!rising) merge_level(begin);
    return begin;
  }

  // The siblings in groups_[begin..] as one group per (id, start), the first one's
  // place kept, then in the order they began (a stable sort).
  void merge_level(size_t begin) {
    const size_t n = groups_.size() - begin;
    group_of_.clear();
    std::vector<int32_t> of(n);
    std::vector<Group> merged;
    for (size_t i = 0; i < n; ++i) {
      const int32_t c = groups_[begin + i].rep;
      const DecodedScope& s = *nodes_[c];
      auto [it, added] = group_of_.try_emplace({s.id, s.start_ns}, merged.size());
      if (added) {
        merged.push_back({c, -1, 0});
      } else {
        const DecodedScope& rep = *nodes_[merged[it->second].rep];
        if ((rep.open && !s.open) || (rep.open == s.open && rep.stop_ns < s.stop_ns)) {
          merged[it->second].rep = c;  // closed over open, then the later end
        }
      }
      of[i] = static_cast<int32_t>(it->second);
      ++merged[it->second].nsrc;
    }
    for (Group& g : merged) {
      g.src = static_cast<int32_t>(sources_.size());
      sources_.resize(sources_.size() + g.nsrc);
      g.nsrc = 0;
    }
    for (size_t i = 0; i < n; ++i) {
      Group& g = merged[of[i]];
      sources_[g.src + g.nsrc++] = groups_[begin + i].rep;
    }
    std::stable_sort(merged.begin(), merged.end(), [&](const Group& a, const Group& b) {
      return nodes_[a.rep]->start_ns < nodes_[b.rep]->start_ns;
    });
    groups_.resize(begin);
    groups_.insert(groups_.end(), merged.begin(), merged.end());
  }

  void walk_thread(size_t k) {
    const FrameThread& ft = frame_threads_[k];
    const int64_t frame_start = frame_.meta.range_ns.first;
    const int64_t frame_stop = frame_.meta.range_ns.second;
    groups_.clear();
    const int32_t roots[1] = {ft.first_root};
    const size_t begin = add_level(roots);
    levels_.clear();
    if (groups_.size() > begin) {
      levels_.push_back({begin, groups_.size(), begin, kMinNs, kMaxNs, -1, 0});
    }
    while (!levels_.empty()) {
      Level& level = levels_.back();
      if (level.at == level.end) {
        groups_.resize(level.begin);
        levels_.pop_back();
        continue;
      }
      const Group g = groups_[level.at++];
      const DecodedScope& s = *nodes_[g.rep];
      const int64_t start = std::max({s.start_ns, frame_start, level.lo});
      int64_t stop = std::min({s.stop_ns, frame_stop, level.hi});
      if (stop <= start) {
        if (s.stop_ns > s.start_ns) continue;  // all of it lies outside
        stop = start;
      }
      level.lo = stop;
      const int32_t parent = level.parent;
      const uint32_t depth = level.depth;
      if (parent >= 0) add_to(slices[parent].inner, minus(stop, start));
      slices.push_back({ft.thread, name_of(s.id), depth, parent, &s, start, stop});
      clipped_[g.rep] = 1;
      const int32_t me = static_cast<int32_t>(slices.size() - 1);
      size_t child_begin;
      if (g.src < 0) {
        const int32_t heads[1] = {first_child_[g.rep]};
        child_begin = add_level(heads);
      } else {
        child_heads_.clear();
        for (int32_t i = 0; i < g.nsrc; ++i)
          child_heads_.push_back(first_child_[sources_[g.src + i]]);
        child_begin = add_level(child_heads_);
      }
      if (groups_.size() > child_begin) {
        levels_.push_back({child_begin, groups_.size(), child_begin, start, stop, me, depth + 1});
      }
    }
    sources_.clear();
  }

  struct FrameThread {
    uint32_t thread;
    int32_t first_root, last_root;
  };
  struct IdStart {
    ScopeId id;
    int64_t start;
    bool operator==(const IdStart&) const = default;
  };
  struct IdStartHash {
    size_t operator()(const IdStart& k) const { return std::hash<int64_t>()(k.start) * 31 + k.id; }
  };

  static constexpr ScopeId kDenseIds = 1u << 16;
  DecodedFlame frame_;
  uint64_t stamp_ = 0;
  std::vector<IdSlot> dense_;
  std::unordered_map<ScopeId, IdSlot> sparse_;
  std::unordered_map<std::string, uint32_t> name_index_;
  std::map<profiler::ThreadInfo, uint32_t> thread_index_;
  std::vector<FrameThread> frame_threads_;
  std::vector<const DecodedScope*> nodes_;
  std::vector<uint32_t> node_thread_;
  std::vector<uint8_t> clipped_;  // whether a slice stands for the node
  std::vector<int32_t> first_child_, next_, last_child_, sources_, child_heads_;
  std::vector<Group> groups_;
  std::vector<Level> levels_;
  std::unordered_map<IdStart, size_t, IdStartHash> group_of_;
};

// The calls seen open so far, to tell a long call seen again in a later frame from a
// new one: (thread, scope id, start) -> what the caller filed it under.
class OpenCalls {
 public:
  struct Filed {
    uint32_t key;
    uint64_t at;
  };

  // The open call that the instance `s` of thread `thread` continues, or null.
  Filed* find(uint32_t thread, const DecodedScope& s) {
    if (open_.empty() || s.start_ns > latest_start_) return nullptr;
    auto it = open_.find({thread, s.id, s.start_ns});
    return it == open_.end() ? nullptr : &it->second;
  }
  void add(uint32_t thread, const DecodedScope& s, Filed filed) {
    open_.emplace(Key{thread, s.id, s.start_ns}, filed);
    latest_start_ = std::max(latest_start_, s.start_ns);
  }
  void close(uint32_t thread, const DecodedScope& s) { open_.erase({thread, s.id, s.start_ns}); }
  bool empty() const { return open_.empty(); }

  template <class F>
  void for_each(F&& f) const {
    for (const auto& [k, filed] : open_) f(filed);
  }

 private:
  struct Key {
    uint32_t thread;
    ScopeId id;
    int64_t start;
    bool operator==(const Key&) const = default;
  };
  struct Hash {
    size_t operator()(const Key& k) const {
      return std::hash<int64_t>()(k.start) ^
             (uint64_t{k.thread} << 32 | k.id) * 0x9E3779B97F4A7C15u;
    }
  };
  std::unordered_map<Key, Filed, Hash> open_;
  int64_t latest_start_ = kMinNs;
};

// Percentile p of the values `zeros` zeros and `v` hold together, interpolating
// linearly between ranks; reorders v. NaN for no value.
double percentile(std::vector<int64_t>& v, size_t zeros, double p) {
  const size_t n = zeros + v.size();
  if (n == 0) return std::nan("");
  const double rank = static_cast<double>(n - 1) * p / 100.0;
  const size_t k = static_cast<size_t>(std::floor(rank));
  // the value of rank j, with v partitioned around it
  auto at = [&](size_t j) -> int64_t {
    if (j < zeros) return 0;
    auto it = v.begin() + static_cast<ptrdiff_t>(j - zeros);
    std::nth_element(v.begin(), it, v.end());
    return *it;
  };
  const int64_t lo = at(k);
  if (k + 1 >= n) return static_cast<double>(lo);
  int64_t hi;
  if (k + 1 < zeros) {
    hi = 0;
  } else if (k < zeros) {
    hi = *std::min_element(v.begin(), v.end());
  } else {  // v is partitioned at k: the next rank is the least value after it
    hi = *std::min_element(v.begin() + static_cast<ptrdiff_t>(k + 1 - zeros), v.end());
  }
  const double low = static_cast<double>(lo);
  return low + (static_cast<double>(hi) - low) * (rank - static_cast<double>(k));
}

struct Acc {
  uint64_t frames = 0, open_calls = 0;
  int64_t total = 0, self = 0;
  uint64_t last_frame = 0;  // the last frame (counted from 1) that held it
  int64_t frame_self = 0;   // in that frame
  uint32_t active = 0;      // instances open on the path being walked
  std::vector<int64_t> durations;
  std::vector<int64_t> frame_selfs;  // in the frames holding it
};

}  // namespace

ScopeStats scope_stats(std::span<const std::span<const uint8_t>> flames, bool by_thread) {
  ScopeStats out;
  Clipper clipper;
  OpenCalls open;
  std::vector<Acc> accs;
  std::vector<std::pair<uint32_t, uint32_t>> key_info;  // (thread, name) of each key
  std::vector<std::vector<uint32_t>> key_of;            // [thread or 0][name] -> key
  std::vector<uint32_t> path, touched;
  uint64_t decoded = 0;
  // Whether the instance continues a call seen open before: its duration is then what
  // the latest instance knows (a closed one over an open one).
  auto continue_call = [&](uint32_t thread, const DecodedScope& d) {
    OpenCalls::Filed* seen = open.find(thread, d);
    if (!seen) return false;
    int64_t& known = accs[seen->key].durations[seen->at];
    if (!d.open) {
      known = minus(d.stop_ns, d.start_ns);
      open.close(thread, d);
    } else {
      known = std::max(known, minus(d.stop_ns, d.start_ns));
    }
    return true;
  };
  for (size_t pos = 0; pos < flames.size(); ++pos) {
    if (!clipper.clip(flames[pos])) {
      out.undecodable.push_back(pos);
      continue;
    }
    const uint64_t frame = ++decoded;
    touched.clear();
    path.clear();
    for (Slice& s : clipper.slices) {
      const uint32_t t = by_thread ? s.thread : 0;
      if (t >= key_of.size()) key_of.resize(t + 1);
      auto& keys = key_of[t];
      if (s.name >= keys.size()) keys.resize(clipper.names.size(), kNone);
      uint32_t& key = keys[s.name];
      if (key == kNone) {
        key = static_cast<uint32_t>(accs.size());
        accs.emplace_back();
        key_info.emplace_back(t, s.name);
      }
      s.key = key;
      while (path.size() > s.depth) {
        --accs[path.back()].active;
        path.pop_back();
      }
      Acc& a = accs[key];
      if (a.active++ == 0) add_to(a.total, s.duration());  // not inside a call of its own key
      path.push_back(key);
      if (a.last_frame != frame) {
        a.last_frame = frame;
        a.frame_self = 0;
        touched.push_back(key);
      }
      const DecodedScope& d = *s.scope;
      if (!continue_call(s.thread, d)) {
        if (d.open) open.add(s.thread, d, {key, a.durations.size()});
        a.durations.push_back(minus(d.stop_ns, d.start_ns));
      }
      add_to(a.self, s.self());  // the frame is clipped whole: inner is final
      add_to(a.frame_self, s.self());
    }
    for (uint32_t key : path) --accs[key].active;
    if (!open.empty()) clipper.for_each_unclipped(continue_call);
    for (uint32_t key : touched) {
      accs[key].frame_selfs.push_back(accs[key].frame_self);
      ++accs[key].frames;
    }
  }
  open.for_each([&](const OpenCalls::Filed& f) { ++accs[f.key].open_calls; });
  out.rows.reserve(accs.size());
  for (size_t k = 0; k < accs.size(); ++k) {
    Acc& a = accs[k];
    ScopeRow r;
    r.thread = by_thread ? int64_t{key_info[k].first} : -1;
    r.name = clipper.names[key_info[k].second];
    r.calls = a.durations.size();
    r.open_calls = a.open_calls;
    r.frames = a.frames;
    r.total_ns = a.total;
    r.self_ns = a.self;
    __int128 sum = 0;
    for (int64_t d : a.durations) sum += d;
    r.call_mean_ns = a.durations.empty()
                         ? std::nan("")
                         : static_cast<double>(sum) / static_cast<double>(a.durations.size());
    // A key can hold no call of its own: a call seen again under another name (a frame
    // that names its scope id otherwise) stays with the key it was first seen under.
    if (!a.durations.empty()) r.call_max_ns = *std::ranges::max_element(a.durations);
    r.call_p50_ns = percentile(a.durations, 0, 50);
    r.call_p99_ns = percentile(a.durations, 0, 99);
    r.self_frame_mean_ns = static_cast<double>(a.self) / static_cast<double>(decoded);
    r.self_frame_p99_ns = percentile(a.frame_selfs, decoded - a.frame_selfs.size(), 99);
    std::vector<int64_t>().swap(a.durations);
    std::vector<int64_t>().swap(a.frame_selfs);
    out.rows.push_back(std::move(r));
  }
  out.threads = std::move(clipper.threads);
  return out;
}

ScopePaths scope_paths(std::span<const std::span<const uint8_t>> flames) {
  ScopePaths out;
  Clipper clipper;
  OpenCalls open;
  // (parent node, or kNone - thread for an outermost scope; name) -> node
  std::unordered_map<uint64_t, uint32_t> child;
  auto continue_call = [&](uint32_t thread, const DecodedScope& d) {
    if (!open.find(thread, d)) return false;
    if (!d.open) open.close(thread, d);
    return true;
  };
  for (size_t pos = 0; pos < flames.size(); ++pos) {
    if (!clipper.clip(flames[pos])) {
      out.undecodable.push_back(pos);
      continue;
    }
    for (Slice& s : clipper.slices) {
      const uint32_t up =
          s.parent >= 0 ? clipper.slices[s.parent].key : kNone - s.thread;  // parents come first
      auto [it, added] =
          child.try_emplace(uint64_t{up} << 32 | s.name, static_cast<uint32_t>(out.nodes.size()));
      if (added) {
        out.nodes.push_back({s.thread, s.parent >= 0 ? int64_t{up} : -1, clipper.names[s.name]});
      }
      s.key = it->second;
      PathNode& node = out.nodes[s.key];
      add_to(node.total_ns, s.duration());
      add_to(node.self_ns, s.self());
      const DecodedScope& d = *s.scope;
      if (!continue_call(s.thread, d)) {
        ++node.calls;
        if (d.open) open.add(s.thread, d, {s.key, 0});
      }
    }
    if (!open.empty()) clipper.for_each_unclipped(continue_call);
  }
  out.threads = std::move(clipper.threads);
  return out;
}

}  // namespace zel::record
