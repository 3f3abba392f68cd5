#include "record/metrics_acc.h"

#include <map>

#include "base/mutex.h"

namespace zel::metrics_acc {
namespace {

struct Accumulator {
  std::map<std::string, double, std::less<>> values;
  std::map<std::string, std::string, std::less<>> units;
};

// Created on first use and never destroyed: threads of the host may still report
// while the process exits.
Mutex<Accumulator>& accumulator() {
  static auto* acc = new Mutex<Accumulator>();
  return *acc;
}

}  // namespace

void record_metric(std::string_view name, double value) {
  auto acc = accumulator().lock();
  // A name reported again within a frame is found without copying it.
  auto it = acc->values.find(name);
  if (it != acc->values.end()) {
    it->second = value;
  } else {
    acc->values.emplace(std::string(name), value);
  }
}

void record_metric_unit(std::string_view name, std::string_view unit) {
  std::string owned_unit(unit);
  auto acc = accumulator().lock();
  auto it = acc->units.find(name);
  if (it != acc->units.end()) {
    it->second = std::move(owned_unit);
  } else {
    acc->units.emplace(std::string(name), std::move(owned_unit));
  }
}

void hold_for_fork() {
  accumulator().lock_for_fork();
}

void release_after_fork(bool in_child) {
  accumulator().unlock_after_fork();
  if (in_child) accumulator().lock()->values.clear();
}

std::vector<DrainedMetric> drain() {
  std::vector<DrainedMetric> out;
  auto acc = accumulator().lock();
  std::map<std::string, double, std::less<>> taken;
  taken.swap(acc->values);
  out.reserve(taken.size());
  while (!taken.empty()) {  // moves each name out of its node instead of copying it
    auto node = taken.extract(taken.begin());
    auto unit = acc->units.find(node.key());
    out.push_back({std::move(node.key()), unit == acc->units.end() ? std::string() : unit->second,
                   node.mapped()});
  }
  return out;
}

}  // namespace zel::metrics_acc
