#include "record/hitches.h"

#include <algorithm>
#include <cmath>

namespace zel::record {

Hitches find_hitches(std::span<const double> frame_ms, double factor, size_t window) {
  Hitches out;
  if (window == 0 || window >= frame_ms.size()) return out;  // no value has a full window
  // The last `window` finite values, in arrival order (a ring) and sorted: a window
  // of tens of values is cheaper to keep sorted by moving memory than in a tree.
  std::vector<double> ring(window), sorted;
  sorted.reserve(window);
  size_t next = 0;
  for (size_t i = 0; i < frame_ms.size(); ++i) {
    const double x = frame_ms[i];
    if (!std::isfinite(x)) continue;
    if (sorted.size() == window) {
      const size_t mid = window / 2;
      const double median = window % 2 ? sorted[mid] : (sorted[mid - 1] + sorted[mid]) / 2;
      if (x > factor * median) {
        out.at.push_back(static_cast<int64_t>(i));
        out.medians.push_back(median);
      }
      sorted.erase(std::lower_bound(sorted.begin(), sorted.end(), ring[next]));
    }
    sorted.insert(std::upper_bound(sorted.begin(), sorted.end(), x), x);
    ring[next] = x;
    next = (next + 1) % window;
  }
  return out;
}

}  // namespace zel::record
