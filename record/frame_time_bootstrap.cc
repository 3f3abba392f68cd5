#include "record/frame_time_bootstrap.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <system_error>
#include <thread>

namespace zel::record {
namespace {

constexpr size_t kMaxBuckets = size_t{1} << 14;
constexpr size_t kAhead = 8;  // blocks whose memory is asked for ahead of time

// splitmix64: a small generator whose output is fixed by its seed on every platform,
// unlike the standard library's distributions.
struct Random {
  uint64_t state;
  uint64_t next() {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  size_t below(size_t n) {  // uniform enough in [0, n) for n far below 2^64
    return static_cast<size_t>((static_cast<unsigned __int128>(next()) * n) >> 64);
  }
};

// The series sorted once, and for each frame the rank bucket it falls in.
struct Prepared {
  size_t n = 0;
  int shift = 0;                    // bucket = rank >> shift
  std::vector<double> sorted;       // ascending
  std::vector<uint16_t> bucket;     // per frame, in series order
  std::vector<double> bucket_mean;  // the mean of the sorted values in each bucket
  struct Sums {
    double value;      // of frame_ms[0..i)
    uint64_t hitches;  // of hitch[0..i)
  };
  std::vector<Sums> prefix;  // n + 1 of them

  size_t buckets() const { return n ? ((n - 1) >> shift) + 1 : 0; }
  size_t first_rank(size_t b) const { return b << shift; }
  size_t width(size_t b) const { return std::min(n, (b + 1) << shift) - (b << shift); }
};

Prepared prepare(std::span<const double> x, std::span<const uint8_t> hitch) {
  Prepared p;
  p.n = x.size();
  while ((p.n >> p.shift) >= kMaxBuckets) ++p.shift;
  std::vector<uint32_t> order(p.n);
  std::iota(order.begin(), order.end(), 0u);
  std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return x[a] < x[b]; });
  p.sorted.resize(p.n);
  p.bucket.resize(p.n);
  for (size_t r = 0; r < p.n; ++r) {
    p.sorted[r] = x[order[r]];
    p.bucket[order[r]] = static_cast<uint16_t>(r >> p.shift);
  }
  p.bucket_mean.assign(p.buckets(), 0.0);
  for (size_t r = 0; r < p.n; ++r) p.bucket_mean[r >> p.shift] += p.sorted[r];
  for (size_t b = 0; b < p.buckets(); ++b) p.bucket_mean[b] /= static_cast<double>(p.width(b));
  p.prefix.assign(p.n + 1, {0.0, 0});
  for (size_t i = 0; i < p.n; ++i) {
    p.prefix[i + 1] = {p.prefix[i].value + x[i],
                       p.prefix[i].hitches + (i < hitch.size() && hitch[i] ? 1 : 0)};
  }
  return p;
}

// One replicate's rank-bucket counts and value sums, and what it reads from them.
class Replicate {
 public:
  explicit Replicate(const Prepared& p) : p_(p) {
    count_.resize(p.buckets());
    lanes_.resize(4 * p.buckets());
  }

  void run(const BootstrapOptions& o, uint64_t index, double* figures) {
    std::fill(lanes_.begin(), lanes_.end(), 0u);
    Random rng{o.seed ^ (0xD1B54A32D192ED03ull * (index + 1))};
    const size_t n = p_.n, block = std::clamp<size_t>(o.block, 1, n);
    starts_.resize((n + block - 1) / block);
    for (size_t& s : starts_) s = rng.below(n);
    double total = 0;
    uint64_t hitches = 0;
    for (size_t j = 0; j < starts_.size(); ++j) {
      // Blocks start at random: ask for the memory of one a few blocks ahead while
      // this one is counted, so that its cache misses overlap.
      if (j + kAhead < starts_.size()) {
        const size_t ahead = starts_[j + kAhead];
        __builtin_prefetch(&p_.bucket[ahead]);
        __builtin_prefetch(&p_.prefix[ahead]);
        __builtin_prefetch(&p_.prefix[std::min(n, ahead + block)]);
      }
      const size_t start = starts_[j], len = std::min(block, n - j * block);
      // [start, start + len) wrapped around the end as at most two runs
      const size_t first = std::min(len, n - start);
      add_run(start, start + first, total, hitches);
      add_run(0, len - first, total, hitches);
    }
    for (size_t b = 0; b < count_.size(); ++b) {
      count_[b] = lanes_[4 * b] + lanes_[4 * b + 1] + lanes_[4 * b + 2] + lanes_[4 * b + 3];
    }
    figures[kMeanMs] = total / static_cast<double>(n);
    figures[kP50Ms] = percentile(50);
    figures[kP90Ms] = percentile(90);
    figures[kP99Ms] = percentile(99);
    figures[kLow1PctFps] = low_fps(0.01);
    figures[kLow01PctFps] = low_fps(0.001);
    figures[kHitchCount] = static_cast<double>(hitches);
  }

 private:
  void add_run(size_t lo, size_t hi, double& total, uint64_t& hitches) {
    if (lo >= hi) return;
    total += p_.prefix[hi].value - p_.prefix[lo].value;
    hitches += p_.prefix[hi].hitches - p_.prefix[lo].hitches;
    // Four counters per bucket, taken in turn: neighbouring frames often fall in the
    // same bucket, and one counter would make each increment wait for the last.
    const uint16_t* bucket = p_.bucket.data();
    uint32_t* lanes = lanes_.data();
    for (size_t i = lo; i < hi; ++i) ++lanes[(size_t{bucket[i]} << 2) | (i & 3)];
  }

  // The replicate's value at sorted position k: its bucket found by counting, and
  // inside the bucket the rank at the same relative place.
  double at(size_t k) const {
    size_t seen = 0, b = 0;
    while (seen + count_[b] <= k) seen += count_[b++];
    const size_t inside = (k - seen) * p_.width(b) / count_[b];
    return p_.sorted[p_.first_rank(b) + inside];
  }

  double percentile(double pct) const {
    const double rank = static_cast<double>(p_.n - 1) * pct / 100.0;
    const size_t k = static_cast<size_t>(std::floor(rank));
    const double lo = at(k);
    if (k + 1 >= p_.n) return lo;
    return lo + (at(k + 1) - lo) * (rank - static_cast<double>(k));
  }

  // 1000 / the mean of the slowest `fraction` of the replicate (at least one frame);
  // the bucket that holds the cut gives its share of its sum.
  double low_fps(double fraction) const {
    const size_t want =
        std::max<size_t>(1, static_cast<size_t>(std::ceil(static_cast<double>(p_.n) * fraction)));
    size_t taken = 0;
    double sum = 0;
    for (size_t b = count_.size(); b-- > 0 && taken < want;) {
      if (!count_[b]) continue;
      const size_t use = std::min<size_t>(count_[b], want - taken);
      sum += p_.bucket_mean[b] * static_cast<double>(use);
      taken += use;
    }
    const double mean = sum / static_cast<double>(want);
    return mean > 0 ? 1000.0 / mean : std::numeric_limits<double>::infinity();
  }

  const Prepared& p_;
  std::vector<size_t> starts_;   // where this replicate's blocks start
  std::vector<uint32_t> lanes_;  // four counters per bucket
  std::vector<uint32_t> count_;  // their sums
};

}  // namespace

std::vector<double> bootstrap_frame_figures(std::span<const double> frame_ms,
                                            std::span<const uint8_t> hitch,
                                            const BootstrapOptions& options) {
  std::vector<double> out(options.replicates * kFigureCount,
                          std::numeric_limits<double>::quiet_NaN());
  if (frame_ms.empty() || options.replicates == 0) return out;
  const Prepared p = prepare(frame_ms, hitch);
  // Each replicate's generator depends only on the seed and its index, so the figures
  // do not depend on how the replicates are shared among threads.
  const size_t threads = std::clamp<size_t>(std::thread::hardware_concurrency(), 1, 4);
  const size_t per = (options.replicates + threads - 1) / threads;
  // Everything a thread uses is allocated here, so that no worker can fail.
  std::vector<Replicate> workers(threads, Replicate(p));
  auto work = [&](size_t t) {
    const size_t to = std::min(options.replicates, (t + 1) * per);
    for (size_t i = t * per; i < to; ++i) workers[t].run(options, i, &out[i * kFigureCount]);
  };
  std::vector<std::thread> pool;
  size_t t = 1;
  try {
    for (; t < threads; ++t) pool.emplace_back(work, t);
  } catch (const std::system_error&) {
    // no thread to spare: the shares of those that did not start are done here
  }
  for (; t < threads; ++t) work(t);
  work(0);
  for (auto& t : pool) t.join();
  return out;
}

}  // namespace zel::record
