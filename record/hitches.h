// Hitches: frames much slower than the frames just before them. A frame is a hitch
// when its frame time exceeds `factor` times the median of the `window` frame times
// before it, so a steady slow stretch stops counting once the window has caught up,
// and one long frame in a fast run always counts.
//
//   Hitches h = find_hitches(frame_ms, 2.0, 60);
//   for (size_t k = 0; k < h.at.size(); ++k) report(h.at[k], frame_ms[h.at[k]] / h.medians[k]);
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace zel::record {

struct Hitches {
  std::vector<int64_t> at;      // positions in the series, ascending
  std::vector<double> medians;  // the median each was measured against
};

// Judges only values that have `window` finite values before them (the first ones of a
// series have no baseline yet); NaN and infinities are never hitches and do not enter
// a window. The median of an even window is the mean of its two middle values. A window
// of 0 finds nothing.
Hitches find_hitches(std::span<const double> frame_ms, double factor, size_t window);

}  // namespace zel::record
