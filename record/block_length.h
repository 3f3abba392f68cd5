// How long the blocks of a block bootstrap should be for a given series: long enough
// to keep its correlated stretches whole, short enough to leave many distinct blocks.
//
//   size_t block = circular_block_length(frame_ms);
#pragma once

#include <cstddef>
#include <span>

namespace zel::record {

// The block length that makes a circular block bootstrap of the series' mean most
// accurate, estimated from the series' own autocorrelation: the automatic selection
// of Politis and White (2004) with the correction of Patton, Politis and White (2009).
// It lags until K consecutive autocorrelations are indistinguishable from zero (K =
// max(5, sqrt(log10 n))), smooths the autocovariances up to twice that lag with a
// flat-top window, and gives (2 G^2 / D)^(1/3) n^(1/3) rounded up, between 1 and
// min(3 sqrt(n), n / 3). An uncorrelated series gets 1; a constant one gets 1.
size_t circular_block_length(std::span<const double> x);

}  // namespace zel::record
