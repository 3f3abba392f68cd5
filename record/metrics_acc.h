// The user metrics of the current frame: the latest value of every name reported
// since the last drain, and the unit registered for each name, kept for the whole
// process. The frame mark drains the values once per recorded frame.
//
//   metrics_acc::record_metric_unit("loss", "nats");
//   metrics_acc::record_metric("loss", 0.25);
//   for (DrainedMetric& m : metrics_acc::drain()) ...   // in byte order of name
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zel::metrics_acc {

struct DrainedMetric {
  std::string name;
  std::string unit;  // empty when none was registered
  double value;
};

// Replaces any value the name already has in this frame.
void record_metric(std::string_view name, double value);

// The last registration of a name wins; it does not add a value to any frame.
void record_metric_unit(std::string_view name, std::string_view unit);

// Takes this frame's values out, in ascending byte order of name, each with the unit
// registered for it now. A fatal failure once a holder of the lock has failed.
std::vector<DrainedMetric> drain();

// Fork handlers: the accumulator's lock is held across fork(); a forked child starts
// with no values (the units stay registered).
void hold_for_fork();
void release_after_fork(bool in_child);

}  // namespace zel::metrics_acc
