// Reader: iterates a .zel capture, finished or still growing, yielding Frames.
#include "python/ext/args.h"
#include "python/ext/boxed.h"
#include "python/ext/error_boundary.h"
#include "python/ext/types.h"

namespace zel::py {
namespace {

using record::format::Column;
using record::read::Reader;

Reader& reader_of(PyObject* self) {
  return unbox<Reader>(self);
}

PyObject* reader_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
  PyObject* path_obj;
  std::string path;
  if (!parse_args("Reader", args, kwargs, {"path"}, &path_obj)) return nullptr;
  if (!arg_str(path_obj, "path", path)) return nullptr;
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    auto opened = Reader::open(path);
    if (!opened) {
      raise_os_error(opened.error(), path + ": ");
      return nullptr;
    }
    return box(tp, std::make_unique<Reader>(opened.take()));
  });
}

PyObject* reader_next(PyObject* self) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    auto next = reader_of(self).next_frame();
    if (!next) {
      raise_os_error(next.error());
      return nullptr;
    }
    if (!next.value()) return nullptr;  // nothing now: ends this iteration only
    return new_frame(std::move(*next.value()));
  });
}

PyObject* column_list(const std::vector<Column>& columns) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(columns.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < columns.size(); ++i) {
    const auto& c = columns[i];
    PyObject* t = Py_BuildValue("(s#s#)", c.name.data(), static_cast<Py_ssize_t>(c.name.size()),
                                c.unit.data(), static_cast<Py_ssize_t>(c.unit.size()));
    if (!t) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), t);
  }
  return list.release();
}

PyObject* get_columns(PyObject* self, void*) {
  return column_list(reader_of(self).columns());
}

PyObject* get_user_columns(PyObject* self, void*) {
  return column_list(reader_of(self).user_columns());
}

PyObject* get_flame_enabled(PyObject* self, void*) {
  return PyBool_FromLong(reader_of(self).flame_enabled());
}

PyGetSetDef reader_getset[] = {
    {"columns", get_columns, nullptr,
     "System-metric columns as `(name, unit)`, aligned to\n[`Frame::system`].", nullptr},
    {"user_columns", get_user_columns, nullptr,
     "User-metric columns declared so far, as `(name, unit)`.", nullptr},
    {"flame_enabled", get_flame_enabled, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot reader_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("Reader(path)\n--\n\n"
                       "Streaming reader over a `.zel` capture: iterate it for [`Frame`]s.\n"
                       "Stops at EOF or a partial trailing record, so it reads a finished or\n"
                       "still-growing file.")},
    {Py_tp_new, reinterpret_cast<void*>(reader_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_boxed<Reader>)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(reader_next)},
    {Py_tp_getset, reader_getset},
    {0, nullptr},
};

PyType_Spec reader_spec = {"_zel.Reader", sizeof(Boxed<Reader>), 0, Py_TPFLAGS_DEFAULT,
                           reader_slots};

}  // namespace

PyObject* make_reader_type() {
  return PyType_FromSpec(&reader_spec);
}

}  // namespace zel::py
