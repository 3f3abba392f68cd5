// A circular block bootstrap of a frame-time series: how much each frame-time figure
// would vary between runs of the same program. Neighbouring frames are correlated (a
// slow stretch lasts many frames), so a replicate is made of blocks of consecutive
// frames, not of single frames: `block` frames from a random start, wrapping around the
// end of the series, until it holds as many frames as the series.
//
//   std::vector<double> rows = bootstrap_frame_figures(times, hitch_flags, {.seed = 7});
//   double p99_of_replicate_3 = rows[3 * kFigureCount + kP99];
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace zel::record {

// The figures of one replicate, in this order.
enum Figure : size_t {
  kMeanMs,
  kP50Ms,
  kP90Ms,
  kP99Ms,
  kLow1PctFps,   // 1000 / the mean of the slowest 1% of frame times (at least one)
  kLow01PctFps,  // the same over the slowest 0.1%
  kHitchCount,
  kFigureCount,
};

struct BootstrapOptions {
  size_t block = 1;          // frames per block (at most the series' length)
  size_t replicates = 1000;  // how many resampled series
  uint64_t seed = 0;         // the same seed gives the same figures on every machine
};

// replicates x kFigureCount figures, row-major. `frame_ms` holds finite values only and
// `hitch` one flag per value. Percentiles interpolate between neighbouring ranks. For a
// series of more than 65,536 frames a replicate's percentiles and lows are read from
// 65,536 rank buckets (neighbouring values of the sorted series), which moves them by
// less than the gap between a few neighbouring ranks; its mean and hitch count stay
// exact. An empty series gives NaN figures.
std::vector<double> bootstrap_frame_figures(std::span<const double> frame_ms,
                                            std::span<const uint8_t> hitch,
                                            const BootstrapOptions& options);

}  // namespace zel::record
