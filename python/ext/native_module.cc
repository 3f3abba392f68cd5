// zel._native: the helpers behind the package's analysis tools (the bulk loader and
// the flame-frame decoder), built from the same core as _zel. Malformed input is a
// ValueError here (NotACaptureError when it is not a .zel stream at all), not a
// PanicException: it is data a tool was handed, not a fault of the running program.
#include <cstring>

#include "profiler/flame_format.h"
#include "python/ext/args.h"
#include "python/ext/error_boundary.h"
#include "python/ext/py.h"
#include "record/block_length.h"
#include "record/frame_time_bootstrap.h"
#include "record/hitches.h"
#include "record/path_pattern.h"
#include "record/scope_stats.h"
#include "record/table_loader.h"

namespace zel::py {
namespace {

// Runs body() without the interpreter lock, which other threads may use meanwhile;
// body must not touch Python objects. A C++ failure is rethrown once the lock is back.
template <class F>
auto without_gil(F&& body) {
  PyThreadState* saved = PyEval_SaveThread();
  try {
    auto r = body();
    PyEval_RestoreThread(saved);
    return r;
  } catch (...) {
    PyEval_RestoreThread(saved);
    throw;
  }
}

PyObject* text(const std::string& s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
}

PyObject* new_bytes(const void* p, size_t n) {
  return PyBytes_FromStringAndSize(static_cast<const char*>(p), static_cast<Py_ssize_t>(n));
}

// The bytes of a vector of numbers, and the vector's memory given back, so that a big
// capture is never held twice over.
template <class T>
PyObject* bytes_of(std::vector<T>& v) {
  PyObject* b = new_bytes(v.data(), v.size() * sizeof(T));
  std::vector<T>().swap(v);
  return b;
}

// (columns [(name, unit)], system count, frame count, [float64 bytes per system column],
// [(int64 frame bytes, float64 value bytes) per user column], [(frame, flame bytes)],
// flame enabled, repeated flame frames, damage (offset, frames, message) or None)
PyObject* table_to_python(record::read::Table& t) {
  Ref columns = Ref::steal(PyList_New(static_cast<Py_ssize_t>(t.columns.size())));
  if (!columns) return nullptr;
  for (size_t i = 0; i < t.columns.size(); ++i) {
    Ref name = Ref::steal(text(t.columns[i].name));
    Ref unit = Ref::steal(text(t.columns[i].unit));
    if (!name || !unit) return nullptr;
    PyObject* pair = PyTuple_Pack(2, name.get(), unit.get());
    if (!pair) return nullptr;
    PyList_SetItem(columns.get(), static_cast<Py_ssize_t>(i), pair);
  }
  Ref system = Ref::steal(PyList_New(static_cast<Py_ssize_t>(t.system.size())));
  if (!system) return nullptr;
  for (size_t i = 0; i < t.system.size(); ++i) {
    PyObject* b = bytes_of(t.system[i]);
    if (!b) return nullptr;
    PyList_SetItem(system.get(), static_cast<Py_ssize_t>(i), b);
  }
  Ref user = Ref::steal(PyList_New(static_cast<Py_ssize_t>(t.user.size())));
  if (!user) return nullptr;
  for (size_t k = 0; k < t.user.size(); ++k) {
    PyObject* item = Py_BuildValue("(NN)", bytes_of(t.user[k].frames), bytes_of(t.user[k].values));
    if (!item) return nullptr;
    PyList_SetItem(user.get(), static_cast<Py_ssize_t>(k), item);
  }
  Ref flames = Ref::steal(PyList_New(static_cast<Py_ssize_t>(t.flames.size())));
  if (!flames) return nullptr;
  for (size_t i = 0; i < t.flames.size(); ++i) {
    auto& [frame, bytes] = t.flames[i];
    PyObject* item = Py_BuildValue("(KN)", static_cast<unsigned long long>(frame), bytes_of(bytes));
    if (!item) return nullptr;
    PyList_SetItem(flames.get(), static_cast<Py_ssize_t>(i), item);
  }
  Ref damage = Ref::borrow(Py_None);
  if (t.damage) {
    damage = Ref::steal(Py_BuildValue("(KKN)", static_cast<unsigned long long>(t.damage->offset),
                                      static_cast<unsigned long long>(t.damage->frames),
                                      text(t.damage->message)));
    if (!damage) return nullptr;
  }
  return Py_BuildValue("(OnnOOOOKO)", columns.get(), static_cast<Py_ssize_t>(t.system_count),
                       static_cast<Py_ssize_t>(t.frame_count), system.get(), user.get(),
                       flames.get(), t.flame_enabled ? Py_True : Py_False,
                       static_cast<unsigned long long>(t.repeated_flames), damage.get());
}

PyObject* load(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject* path_obj;
  std::string path;
  if (!parse_args("load", args, kwargs, {"path"}, &path_obj)) return nullptr;
  if (!arg_str(path_obj, "path", path)) return nullptr;
  return guarded<PyObject*>(
      nullptr,
      [&]() -> PyObject* {
        auto table = without_gil([&] { return record::read::load_table(path); });
        if (!table) {
          const IoError& e = table.error();
          if (e.is_eof()) {
            PyErr_SetString(PyExc_ValueError, "not a capture: the file ends inside the header");
          } else {
            Ref msg = Ref::steal(text(e.to_string()));
            PyErr_SetObject(
                PyExc_OSError,
                Ref::steal(Py_BuildValue("(iOO)", e.code(), msg.get(), path_obj)).get());
          }
          return nullptr;
        }
        return table_to_python(table.value());
      },
      PanicAs::ValueError);
}

// One scope as (id, start, stop, parent index, data, open).
PyObject* scope_to_python(const profiler::DecodedScope& s) {
  return Py_BuildValue("(kLLLNO)", static_cast<unsigned long>(s.id),
                       static_cast<long long>(s.start_ns), static_cast<long long>(s.stop_ns),
                       static_cast<long long>(s.parent), text(s.data), s.open ? Py_True : Py_False);
}

// (frame index, start, stop, [(thread name, start or None, [scope])], {id: name})
PyObject* flame_to_python(const profiler::DecodedFlame& f) {
  Ref threads = Ref::steal(PyList_New(0));
  if (!threads) return nullptr;
  for (const auto& t : f.threads) {
    Ref scopes = Ref::steal(PyList_New(static_cast<Py_ssize_t>(t.scopes.size())));
    if (!scopes) return nullptr;
    for (size_t i = 0; i < t.scopes.size(); ++i) {
      PyObject* s = scope_to_python(t.scopes[i]);
      if (!s) return nullptr;
      PyList_SetItem(scopes.get(), static_cast<Py_ssize_t>(i), s);
    }
    Ref start = t.info.start_time_ns ? Ref::steal(PyLong_FromLongLong(*t.info.start_time_ns))
                                     : Ref::borrow(Py_None);
    Ref item = Ref::steal(Py_BuildValue("(NOO)", text(t.info.name), start.get(), scopes.get()));
    if (!start || !item || PyList_Append(threads.get(), item.get()) < 0) return nullptr;
  }
  Ref names = Ref::steal(PyDict_New());
  if (!names) return nullptr;
  for (const auto& d : f.scopes) {
    if (!d.scope_id) continue;
    Ref id = Ref::steal(PyLong_FromUnsignedLong(*d.scope_id));
    Ref name = Ref::steal(text(std::string(d.display_name())));
    if (!id || !name || PyDict_SetItem(names.get(), id.get(), name.get()) < 0) return nullptr;
  }
  return Py_BuildValue("(KLLOO)", static_cast<unsigned long long>(f.meta.frame_index),
                       static_cast<long long>(f.meta.range_ns.first),
                       static_cast<long long>(f.meta.range_ns.second), threads.get(), names.get());
}

// Runs body(bytes) over the bytes of a bytes-like object (other than bytes, a copy:
// the buffer protocol is not part of the 3.9 stable ABI).
template <class F>
PyObject* with_buffer(PyObject* obj, F&& body) {
  Ref held = PyBytes_Check(obj) ? Ref::borrow(obj) : Ref::steal(PyBytes_FromObject(obj));
  char* p;
  Py_ssize_t n;
  if (!held || PyBytes_AsStringAndSize(held.get(), &p, &n) < 0) return nullptr;
  return body(
      std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(p), static_cast<size_t>(n)));
}

PyObject* decode_flame(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject* data;
  if (!parse_args("decode_flame", args, kwargs, {"flame"}, &data)) return nullptr;
  return with_buffer(data, [](std::span<const uint8_t> bytes) {
    return guarded<PyObject*>(
        nullptr, [&] { return flame_to_python(profiler::decode_flame(bytes)); },
        PanicAs::ValueError);
  });
}

// The flame frames of an iterable of bytes-likes, as spans over bytes objects that
// `held` keeps alive while the lock is given up (a bytes-like other than bytes is
// copied).
bool flame_list(PyObject* flames, std::vector<Ref>& held,
                std::vector<std::span<const uint8_t>>& spans) {
  Ref it = Ref::steal(PyObject_GetIter(flames));
  if (!it) return false;
  while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
    Ref b =
        PyBytes_Check(item.get()) ? std::move(item) : Ref::steal(PyBytes_FromObject(item.get()));
    char* p;
    Py_ssize_t n;
    if (!b || PyBytes_AsStringAndSize(b.get(), &p, &n) < 0) return false;
    spans.emplace_back(reinterpret_cast<const uint8_t*>(p), static_cast<size_t>(n));
    held.push_back(std::move(b));
  }
  return !PyErr_Occurred();
}

// [(thread name, start or None)]
PyObject* threads_to_python(const std::vector<profiler::ThreadInfo>& threads) {
  Ref out = Ref::steal(PyList_New(static_cast<Py_ssize_t>(threads.size())));
  if (!out) return nullptr;
  for (size_t i = 0; i < threads.size(); ++i) {
    const auto& start = threads[i].start_time_ns;
    Ref s = start ? Ref::steal(PyLong_FromLongLong(*start)) : Ref::borrow(Py_None);
    PyObject* item = s ? Py_BuildValue("(NO)", text(threads[i].name), s.get()) : nullptr;
    if (!item) return nullptr;
    PyList_SetItem(out.get(), static_cast<Py_ssize_t>(i), item);
  }
  return out.release();
}

PyObject* positions_to_python(const std::vector<size_t>& positions) {
  Ref out = Ref::steal(PyList_New(static_cast<Py_ssize_t>(positions.size())));
  if (!out) return nullptr;
  for (size_t i = 0; i < positions.size(); ++i) {
    PyObject* n = PyLong_FromSize_t(positions[i]);
    if (!n) return nullptr;
    PyList_SetItem(out.get(), static_cast<Py_ssize_t>(i), n);
  }
  return out.release();
}

// (threads, [(thread or -1, name, calls, open calls, frames, total, self, call mean, p50,
// p99, max, self per frame mean, p99)], undecodable positions)
PyObject* scope_stats(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject* a[2];
  if (!parse_args("scope_stats", args, kwargs, {"flames", "by_thread"}, a)) return nullptr;
  const int by_thread = PyObject_IsTrue(a[1]);
  std::vector<Ref> held;
  std::vector<std::span<const uint8_t>> flames;
  if (by_thread < 0 || !flame_list(a[0], held, flames)) return nullptr;
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    record::ScopeStats s = without_gil([&] { return record::scope_stats(flames, by_thread); });
    Ref rows = Ref::steal(PyList_New(static_cast<Py_ssize_t>(s.rows.size())));
    if (!rows) return nullptr;
    for (size_t i = 0; i < s.rows.size(); ++i) {
      const record::ScopeRow& r = s.rows[i];
      PyObject* row = Py_BuildValue(
          "(LNKKKLLdddLdd)", static_cast<long long>(r.thread), text(r.name),
          static_cast<unsigned long long>(r.calls), static_cast<unsigned long long>(r.open_calls),
          static_cast<unsigned long long>(r.frames), static_cast<long long>(r.total_ns),
          static_cast<long long>(r.self_ns), r.call_mean_ns, r.call_p50_ns, r.call_p99_ns,
          static_cast<long long>(r.call_max_ns), r.self_frame_mean_ns, r.self_frame_p99_ns);
      if (!row) return nullptr;
      PyList_SetItem(rows.get(), static_cast<Py_ssize_t>(i), row);
    }
    return Py_BuildValue("(NON)", threads_to_python(s.threads), rows.get(),
                         positions_to_python(s.undecodable));
  });
}

// (threads, [(thread, parent node or -1, name, calls, total, self)], undecodable positions)
PyObject* scope_paths(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject* data;
  if (!parse_args("scope_paths", args, kwargs, {"flames"}, &data)) return nullptr;
  std::vector<Ref> held;
  std::vector<std::span<const uint8_t>> flames;
  if (!flame_list(data, held, flames)) return nullptr;
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    record::ScopePaths p = without_gil([&] { return record::scope_paths(flames); });
    Ref nodes = Ref::steal(PyList_New(static_cast<Py_ssize_t>(p.nodes.size())));
    if (!nodes) return nullptr;
    for (size_t i = 0; i < p.nodes.size(); ++i) {
      const record::PathNode& n = p.nodes[i];
      PyObject* node = Py_BuildValue(
          "(ILNKLL)", static_cast<unsigned>(n.thread), static_cast<long long>(n.parent),
          text(n.name), static_cast<unsigned long long>(n.calls),
          static_cast<long long>(n.total_ns), static_cast<long long>(n.self_ns));
      if (!node) return nullptr;
      PyList_SetItem(nodes.get(), static_cast<Py_ssize_t>(i), node);
    }
    return Py_BuildValue("(NON)", threads_to_python(p.threads), nodes.get(),
                         positions_to_python(p.undecodable));
  });
}

// The path a process would record to for a ZEL_RECORD pattern, as arming expands it.
PyObject* expand_record_path(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject* pattern;
  if (!parse_args("expand_record_path", args, kwargs, {"pattern"}, &pattern)) return nullptr;
  Ref raw = Ref::steal(PyUnicode_EncodeFSDefault(pattern));  // bytes as the OS holds them
  if (!raw) return nullptr;
  return guarded<PyObject*>(nullptr, [&] {
    const std::string path =
        record::expand_path(std::string_view(PyBytes_AsString(raw.get()), PyBytes_Size(raw.get())),
                            record::this_process_facts());
    return PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size()));
  });
}

// A non-negative whole-number argument.
bool arg_size(PyObject* obj, const char* arg, size_t& out) {
  out = PyLong_AsSize_t(obj);
  if (out == static_cast<size_t>(-1) && PyErr_Occurred()) {
    PyErr_Format(PyExc_ValueError, "argument '%s' must be a whole number >= 0", arg);
    return false;
  }
  return true;
}

// The float64 values held in a bytes-like object, copied out.
template <class T>
bool arg_array(PyObject* obj, std::vector<T>& out) {
  return with_buffer(obj, [&](std::span<const uint8_t> bytes) -> PyObject* {
           out.resize(bytes.size() / sizeof(T));
           if (!out.empty()) std::memcpy(out.data(), bytes.data(), out.size() * sizeof(T));
           return Py_None;
         }) != nullptr;
}

// (int64 bytes of positions, float64 bytes of the medians they were measured against)
PyObject* find_hitches(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject* a[3];
  if (!parse_args("find_hitches", args, kwargs, {"frame_ms", "factor", "window"}, a)) {
    return nullptr;
  }
  PyObject *series = a[0], *factor_obj = a[1], *window_obj = a[2];
  std::vector<double> ms;
  double factor;
  size_t window;
  if (!arg_array(series, ms) || !arg_f64(factor_obj, "factor", factor) ||
      !arg_size(window_obj, "window", window)) {
    return nullptr;
  }
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    record::Hitches h = without_gil([&] { return record::find_hitches(ms, factor, window); });
    return Py_BuildValue("(NN)", bytes_of(h.at), bytes_of(h.medians));
  });
}

// float64 bytes: replicates x figures, row-major (see record/frame_time_bootstrap.h)
PyObject* bootstrap_frame_times(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject* a[5];
  if (!parse_args("bootstrap_frame_times", args, kwargs,
                  {"frame_ms", "hitch_flags", "block", "replicates", "seed"}, a)) {
    return nullptr;
  }
  PyObject *series = a[0], *flags = a[1], *block_obj = a[2], *count_obj = a[3], *seed_obj = a[4];
  std::vector<double> ms;
  std::vector<uint8_t> hitch;
  record::BootstrapOptions o;
  if (!arg_array(series, ms) || !arg_array(flags, hitch) ||
      !arg_size(block_obj, "block", o.block) || !arg_size(count_obj, "replicates", o.replicates)) {
    return nullptr;
  }
  o.seed = PyLong_AsUnsignedLongLongMask(seed_obj);
  if (PyErr_Occurred()) return nullptr;
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    std::vector<double> rows =
        without_gil([&] { return record::bootstrap_frame_figures(ms, hitch, o); });
    return bytes_of(rows);
  });
}

// The circular block bootstrap's block length for a float64 series.
PyObject* block_length(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject* series;
  if (!parse_args("block_length", args, kwargs, {"frame_ms"}, &series)) return nullptr;
  std::vector<double> ms;
  if (!arg_array(series, ms)) return nullptr;
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    const size_t block = without_gil([&] { return record::circular_block_length(ms); });
    return PyLong_FromSize_t(block);
  });
}

PyMethodDef methods[] = {
    {"block_length", with_keywords(block_length), METH_VARARGS | METH_KEYWORDS,
     "block_length(frame_ms)\n--\n\nThe block length, in values, for a circular block "
     "bootstrap of a float64 series, from its autocorrelation."},
    {"find_hitches", with_keywords(find_hitches), METH_VARARGS | METH_KEYWORDS,
     "find_hitches(frame_ms, factor, window)\n--\n\nThe frames whose time exceeds factor x "
     "the median of the window finite frame times before them, as (int64 position bytes, "
     "float64 median bytes)."},
    {"bootstrap_frame_times", with_keywords(bootstrap_frame_times), METH_VARARGS | METH_KEYWORDS,
     "bootstrap_frame_times(frame_ms, hitch_flags, block, replicates, seed)\n--\n\nFrame-time "
     "figures of a circular block bootstrap: float64 bytes, replicates x (mean_ms, p50_ms, "
     "p90_ms, p99_ms, low_1pct_fps, low_01pct_fps, hitches)."},
    {"expand_record_path", with_keywords(expand_record_path), METH_VARARGS | METH_KEYWORDS,
     "expand_record_path(pattern)\n--\n\nThe path a ZEL_RECORD pattern names in this process: "
     "{pid}, {host}, {rank} and {time} replaced."},
    {"load", with_keywords(load), METH_VARARGS | METH_KEYWORDS,
     "load(path)\n--\n\nA whole capture as (columns, system count, frame count, [system "
     "column bytes], [(user frame bytes, user value bytes)], [(frame, flame)], flame enabled, "
     "repeated flame frames, damage or None)."},
    {"decode_flame", with_keywords(decode_flame), METH_VARARGS | METH_KEYWORDS,
     "decode_flame(flame)\n--\n\nA flame frame as (index, start, stop, [(thread, start, "
     "[(id, start, stop, parent, data, open)])], {id: name})."},
    {"scope_stats", with_keywords(scope_stats), METH_VARARGS | METH_KEYWORDS,
     "scope_stats(flames, by_thread)\n--\n\nFigures per scope name (per thread and name with "
     "by_thread) over flame frames: (threads, [(thread or -1, name, calls, open calls, frames, "
     "total ns, self ns, call mean, p50, p99, max ns, self ns per frame mean, p99)], "
     "undecodable positions)."},
    {"scope_paths", with_keywords(scope_paths), METH_VARARGS | METH_KEYWORDS,
     "scope_paths(flames)\n--\n\nThe call tree of flame frames merged by path: (threads, "
     "[(thread, parent node or -1, name, calls, total ns, self ns)], undecodable positions)."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "zel._native", nullptr, 0, methods, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace zel::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__native() {
  using namespace zel::py;
  Ref module = Ref::steal(PyModule_Create(&module_def));
  PyObject* not_a_capture = not_a_capture_type();
  if (!module || !not_a_capture) return nullptr;
  Py_INCREF(not_a_capture);
  if (PyModule_AddObject(module.get(), "NotACaptureError", not_a_capture) < 0) {
    Py_DECREF(not_a_capture);
    return nullptr;
  }
  return module.release();
}
