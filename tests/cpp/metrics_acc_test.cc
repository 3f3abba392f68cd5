#include "record/metrics_acc.h"

#include <gtest/gtest.h>

#include <map>
#include <thread>
#include <tuple>

namespace zel::metrics_acc {
namespace {

std::vector<std::tuple<std::string, std::string, double>> drained() {
  std::vector<std::tuple<std::string, std::string, double>> out;
  for (DrainedMetric& m : drain()) out.emplace_back(m.name, m.unit, m.value);
  return out;
}

TEST(MetricsAcc, DrainsTheLastValuesInByteOrderWithTheirCurrentUnits) {
  drain();
  record_metric("b", 1.0);
  record_metric("a", 1.0);
  record_metric("a", 2.0);  // replaces
  record_metric("C", 3.0);
  record_metric("", 4.0);
  record_metric_unit("a", "ms");
  record_metric_unit("a", "s");       // the last registration wins
  record_metric_unit("unused", "x");  // adds no value
  using M = std::tuple<std::string, std::string, double>;
  EXPECT_EQ(drained(),
            (std::vector<M>{{"", "", 4.0}, {"C", "", 3.0}, {"a", "s", 2.0}, {"b", "", 1.0}}));

  // Nothing is repeated into the next frame; units are kept and may change.
  EXPECT_TRUE(drained().empty());
  record_metric_unit("b", "calls");
  record_metric("b", 5.0);
  record_metric("a", 6.0);
  EXPECT_EQ(drained(), (std::vector<M>{{"a", "s", 6.0}, {"b", "calls", 5.0}}));
}

TEST(MetricsAcc, ConcurrentReportsLandWholeInOneDrainOrTheNext) {
  drain();
  constexpr int kThreads = 4, kPerThread = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      const std::string name = "t" + std::to_string(t);
      for (int i = 1; i <= kPerThread; ++i) record_metric(name, i);
    });
  }
  std::map<std::string, double> last;
  size_t drains = 0;
  auto take = [&] {
    for (DrainedMetric& m : drain()) {
      EXPECT_GT(m.value, last[m.name]) << m.name;  // values only ever grow per thread
      last[m.name] = m.value;
    }
    ++drains;
  };
  while (drains < 200) take();
  for (auto& th : threads) th.join();
  take();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(last["t" + std::to_string(t)], kPerThread);
}

}  // namespace
}  // namespace zel::metrics_acc
