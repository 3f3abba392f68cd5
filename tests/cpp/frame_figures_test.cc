#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

#include "record/block_length.h"
#include "record/frame_time_bootstrap.h"
#include "record/hitches.h"

namespace zel::record {
namespace {

// The plain definition: the median of the last `window` finite values before i.
Hitches hitches_by_definition(const std::vector<double>& x, double factor, size_t window) {
  Hitches out;
  std::vector<double> before;
  for (size_t i = 0; i < x.size(); ++i) {
    if (!std::isfinite(x[i])) continue;
    if (window && before.size() >= window) {
      std::vector<double> w(before.end() - static_cast<ptrdiff_t>(window), before.end());
      std::sort(w.begin(), w.end());
      double median = window % 2 ? w[window / 2] : (w[window / 2 - 1] + w[window / 2]) / 2;
      if (x[i] > factor * median) {
        out.at.push_back(static_cast<int64_t>(i));
        out.medians.push_back(median);
      }
    }
    before.push_back(x[i]);
  }
  return out;
}

TEST(Hitches, MatchTheDefinitionOnRandomSeries) {
  std::mt19937_64 rng(3);
  std::lognormal_distribution<double> ms(2.8, 0.4);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (size_t window : {0, 1, 2, 7, 60}) {
    std::vector<double> x(3000);
    for (auto& v : x) v = ms(rng);
    for (size_t i = 5; i < x.size(); i += 97) x[i] = i % 2 ? nan : INFINITY;
    for (size_t i = 300; i < 340; ++i) x[i] = 60;  // a slow stretch the window catches up with
    Hitches want = hitches_by_definition(x, 2.0, window), got = find_hitches(x, 2.0, window);
    EXPECT_EQ(got.at, want.at) << window;
    EXPECT_EQ(got.medians, want.medians) << window;
    if (window == 60) {
      EXPECT_TRUE(std::binary_search(want.at.begin(), want.at.end(), 300));
      EXPECT_FALSE(std::binary_search(want.at.begin(), want.at.end(), 339));
    }
  }
}

// The figures of a whole series, computed directly.
std::vector<double> figures_of(std::vector<double> x, const std::vector<uint8_t>& hitch) {
  std::sort(x.begin(), x.end());
  auto pct = [&](double p) {
    double rank = (x.size() - 1) * p / 100, k = std::floor(rank);
    size_t i = static_cast<size_t>(k);
    return i + 1 >= x.size() ? x.back() : x[i] + (x[i + 1] - x[i]) * (rank - k);
  };
  auto low = [&](double f) {
    size_t n = std::max<size_t>(1, static_cast<size_t>(std::ceil(x.size() * f)));
    double sum = 0;
    for (size_t i = x.size() - n; i < x.size(); ++i) sum += x[i];
    return 1000.0 / (sum / n);
  };
  double mean = 0;
  for (double v : x) mean += v;
  return {mean / x.size(),
          pct(50),
          pct(90),
          pct(99),
          low(0.01),
          low(0.001),
          static_cast<double>(std::count(hitch.begin(), hitch.end(), 1))};
}

// A block as long as the series makes every replicate a rotation of it, whose figures
// are the series' own: exact below the bucketing size, within a hair above it.
TEST(FrameTimeBootstrap, WholeSeriesBlocksGiveTheSeriesFigures) {
  std::mt19937_64 rng(11);
  std::gamma_distribution<double> ms(2.0, 4.0);
  for (size_t n : {1, 2, 3, 101, 5000, 200000}) {
    std::vector<double> x(n);
    std::vector<uint8_t> hitch(n);
    for (size_t i = 0; i < n; ++i) {
      x[i] = 10 + ms(rng) + (i % 50 == 0 ? 40 : 0);
      hitch[i] = i % 50 == 0;
    }
    const std::vector<double> want = figures_of(x, hitch);
    const std::vector<double> rows =
        bootstrap_frame_figures(x, hitch, {.block = n, .replicates = 5, .seed = n});
    ASSERT_EQ(rows.size(), 5 * kFigureCount);
    const double tolerance = n > 16384 ? 1e-3 : 1e-9;
    for (size_t r = 0; r < 5; ++r) {
      for (size_t f = 0; f < kFigureCount; ++f) {
        EXPECT_NEAR(rows[r * kFigureCount + f], want[f], tolerance * std::abs(want[f]))
            << "n " << n << " figure " << f;
      }
    }
  }
}

TEST(FrameTimeBootstrap, IsReproducibleAndVaries) {
  std::vector<double> x(20000);
  std::mt19937_64 rng(5);
  std::exponential_distribution<double> ms(0.1);
  for (auto& v : x) v = 5 + ms(rng);
  std::vector<uint8_t> hitch(x.size());
  const BootstrapOptions o{.block = 27, .replicates = 64, .seed = 42};
  const std::vector<double> a = bootstrap_frame_figures(x, hitch, o);
  EXPECT_EQ(a, bootstrap_frame_figures(x, hitch, o));
  EXPECT_NE(a, bootstrap_frame_figures(x, hitch, {.block = 27, .replicates = 64, .seed = 43}));
  EXPECT_NE(a[kP99Ms], a[kFigureCount + kP99Ms]);  // replicates differ from each other
  EXPECT_TRUE(std::isnan(bootstrap_frame_figures({}, {}, o)[0]));
}

// For an AR(1) series x[i] = phi x[i-1] + e the best block is known in closed form:
// (6 phi^2 / (1 - phi^2)^2)^(1/3) n^(1/3).
TEST(CircularBlockLength, FollowsTheCorrelationOfTheSeries) {
  const size_t n = 100000;
  for (double phi : {0.0, 0.3, 0.6, 0.9}) {
    std::mt19937_64 rng(17);
    std::normal_distribution<double> noise;
    std::vector<double> x(n);
    double e = 0;
    for (auto& v : x) v = 16 + (e = phi * e + noise(rng));
    const double want = std::cbrt(6 * phi * phi / std::pow(1 - phi * phi, 2) * n);
    const double got = static_cast<double>(circular_block_length(x));
    if (phi == 0) {
      EXPECT_LE(got, 3);
    } else {
      EXPECT_NEAR(got, want, 0.25 * want) << phi;
    }
  }
  EXPECT_EQ(circular_block_length(std::vector<double>(500, 4.0)), 1u);
  EXPECT_EQ(circular_block_length(std::vector<double>{1, 9, 1}), 1u);
}

}  // namespace
}  // namespace zel::record
