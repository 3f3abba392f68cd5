// The module's five functions: enable, frame_mark, record_metric,
// record_metric_unit and flush.
#include <string>

#include "capture/entry_points.h"
#include "python/ext/args.h"
#include "python/ext/error_boundary.h"
#include "python/ext/identity_cache.h"
#include "python/ext/types.h"
#include "record/metrics_acc.h"

namespace zel::py {
namespace {

// Metric names are usually the same few str objects frame after frame.
IdentityCache<std::string> metric_names;

// The UTF-8 text of argument `name`, valid until the next call; NULL with a Python
// error set when it is not a str or cannot be encoded.
const std::string* metric_name(PyObject* name) {
  auto& e = metric_names.slot(name);
  if (e.key == name) return &e.value;
  std::string text;
  if (!arg_str(name, "name", text)) return nullptr;
  IdentityCache<std::string>::fill(e, name, std::move(text));
  return &e.value;
}

template <class F>
PyObject* call_none(F&& body) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    body();
    Py_RETURN_NONE;
  });
}

PyObject* enable(PyObject*, PyObject*) {
  return call_none(zel::enable);
}

PyObject* frame_mark(PyObject*, PyObject*) {
  return call_none(zel::frame_mark);
}

PyObject* flush(PyObject*, PyObject*) {
  return call_none(zel::flush_recording);
}

PyObject* record_metric(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject* a[2];
  if (!parse_args("record_metric", args, kwargs, {"name", "value"}, a)) return nullptr;
  double value;
  if (!metric_name(a[0]) || !arg_f64(a[1], "value", value)) return nullptr;
  // Looked up again: the value's own __float__ may have run Python code that reused
  // the cache entry.
  const std::string* name = metric_name(a[0]);
  if (!name) return nullptr;
  return call_none([&] { metrics_acc::record_metric(*name, value); });
}

PyObject* record_metric_unit(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject* a[2];
  if (!parse_args("record_metric_unit", args, kwargs, {"name", "unit"}, a)) return nullptr;
  std::string name, unit;
  if (!arg_str(a[0], "name", name) || !arg_str(a[1], "unit", unit)) return nullptr;
  return call_none([&] { metrics_acc::record_metric_unit(name, unit); });
}

// One entry per function, in the order the module adds them.
PyMethodDef functions[] = {
    {"enable", enable, METH_NOARGS,
     "enable()\n--\n\nTurn collection on; arms the recorder when `ZEL_RECORD` is set."},
    {"frame_mark", frame_mark, METH_NOARGS,
     "frame_mark()\n--\n\nMark a frame boundary (one captured record per call)."},
    {"record_metric", with_keywords(record_metric), METH_VARARGS | METH_KEYWORDS,
     "record_metric(name, value)\n--\n\n"
     "Record the latest value of a named scalar for the current frame."},
    {"record_metric_unit", with_keywords(record_metric_unit), METH_VARARGS | METH_KEYWORDS,
     "record_metric_unit(name, unit)\n--\n\n"
     "Register a metric's unit once, for the plotted row's label."},
    {"flush", flush, METH_NOARGS,
     "flush()\n--\n\nFlush captured frames to the `ZEL_RECORD` stream before exit."},
};

}  // namespace

std::span<PyMethodDef> module_functions() {
  return functions;
}

}  // namespace zel::py
