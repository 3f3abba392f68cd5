#include "record/block_length.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace zel::record {
namespace {

// The flat-top lag window: 1 up to half the bandwidth, then down to 0 at it.
double flat_top(double t) {
  t = std::abs(t);
  return t <= 0.5 ? 1.0 : t <= 1.0 ? 2.0 * (1.0 - t) : 0.0;
}

}  // namespace

size_t circular_block_length(std::span<const double> x) {
  const size_t n = x.size();
  if (n < 4) return 1;
  double mean = 0;
  for (double v : x) mean += v;
  mean /= static_cast<double>(n);
  std::vector<double> d(n);
  for (size_t i = 0; i < n; ++i) d[i] = x[i] - mean;
  // Autocovariances R(k) = sum d[i] d[i+k] / n, computed as far as they are needed.
  std::vector<double> cov;
  auto covariance = [&](size_t k) {
    while (cov.size() <= k) {
      const size_t lag = cov.size();
      // Four sums side by side, so that the adds need not wait for each other.
      double s[4] = {0, 0, 0, 0};
      const size_t m = n - lag;
      size_t i = 0;
      for (; i + 4 <= m; i += 4) {
        for (size_t k = 0; k < 4; ++k) s[k] += d[i + k] * d[i + k + lag];
      }
      for (; i < m; ++i) s[0] += d[i] * d[i + lag];
      cov.push_back((s[0] + s[1] + s[2] + s[3]) / static_cast<double>(n));
    }
    return cov[k];
  };
  const double variance = covariance(0);
  if (!(variance > 0)) return 1;
  const double log_n = std::log10(static_cast<double>(n));
  const size_t runs = std::max<size_t>(5, static_cast<size_t>(std::ceil(std::sqrt(log_n))));
  const size_t max_lag = static_cast<size_t>(std::ceil(std::sqrt(static_cast<double>(n)))) + runs;
  const double small = 2.0 * std::sqrt(log_n / static_cast<double>(n));
  // The first lag after which `runs` autocorrelations in a row are small.
  size_t m = 0, quiet = 0;
  for (size_t k = 1; k <= max_lag && k < n && quiet < runs; ++k) {
    quiet = std::abs(covariance(k) / variance) < small ? quiet + 1 : 0;
    m = k - quiet;
  }
  const size_t bandwidth = std::min(2 * std::max<size_t>(m, 1), std::min(max_lag, n - 1));
  double g = 0, spectrum = variance;
  for (size_t k = 1; k <= bandwidth; ++k) {
    const double w = flat_top(static_cast<double>(k) / static_cast<double>(bandwidth));
    g += 2.0 * w * static_cast<double>(k) * covariance(k);
    spectrum += 2.0 * w * covariance(k);
  }
  const double dcb = 4.0 / 3.0 * spectrum * spectrum;
  const double upper = std::ceil(std::min(3.0 * std::sqrt(static_cast<double>(n)), n / 3.0));
  if (!(dcb > 0)) return 1;
  const double b = std::cbrt(2.0 * g * g / dcb) * std::cbrt(static_cast<double>(n));
  return static_cast<size_t>(std::clamp(std::ceil(b), 1.0, std::max(upper, 1.0)));
}

}  // namespace zel::record
