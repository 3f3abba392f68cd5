// zel._native: the helpers behind the package's analysis tools (the bulk loader and
// the flame-frame decoder), built from the same core as _zel. Malformed input is a
// ValueError here (NotACaptureError when it is not a .zel stream at all), not a
// PanicException: it is data a tool was handed, not a fault of the running program.
#include <cstring>

#include "profiler/flame_format.h"
#include "python/ext/args.h"
#include "python/ext/error_boundary.h"
#include "python/ext/py.h"
#include "record/path_pattern.h"
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

PyMethodDef methods[] = {
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
