// Frame: one captured frame, immutable, built only by Reader iteration.
#include <algorithm>
#include <memory>

#include "python/ext/boxed.h"
#include "python/ext/error_boundary.h"
#include "python/ext/types.h"

namespace zel::py {
namespace {

using record::read::ReadFrame;

// A Frame holds a ReadFrame whose user values are sorted by name, names unique.
using FrameValue = ReadFrame;

PyObject* frame_type = nullptr;

const FrameValue& value_of(PyObject* self) {
  return unbox<FrameValue>(self);
}

PyObject* frame_refuse_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined for Frame");
  return nullptr;
}

PyObject* get_system(PyObject* self, void*) {
  const auto& system = value_of(self).system;
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(system.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < system.size(); ++i) {
    PyObject* f = PyFloat_FromDouble(system[i]);
    if (!f) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), f);
  }
  return list.release();
}

PyObject* get_user(PyObject* self, void*) {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [name, value] : value_of(self).user) {
    Ref v = Ref::steal(PyFloat_FromDouble(value));
    Ref k = Ref::steal(
        PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "strict"));
    if (!v || !k || PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) return nullptr;
  }
  return dict.release();
}

PyObject* get_flame(PyObject* self, void*) {
  const auto& flame = value_of(self).flame;
  if (!flame) Py_RETURN_NONE;
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(flame->data()),
                                   static_cast<Py_ssize_t>(flame->size()));
}

PyGetSetDef frame_getset[] = {
    {"system", get_system, nullptr, nullptr, nullptr},
    {"user", get_user, nullptr, nullptr, nullptr},
    {"flame", get_flame, nullptr, "The frame's flame data as raw flame-frame bytes, or `None`.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot frame_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("One captured frame: `system` values aligned to [`Reader::columns`],\n"
                       "`user` named scalars, and an optional raw flame frame.")},
    {Py_tp_new, reinterpret_cast<void*>(frame_refuse_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_boxed<FrameValue>)},
    {Py_tp_getset, frame_getset},
    {0, nullptr},
};

PyType_Spec frame_spec = {"_zel.Frame", sizeof(Boxed<FrameValue>), 0, Py_TPFLAGS_DEFAULT,
                          frame_slots};

// Sorted by name; of equal names the one latest in the record survives.
std::vector<std::pair<std::string, double>> keyed(
    std::vector<std::pair<std::string, double>> user) {
  std::stable_sort(user.begin(), user.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  size_t kept = 0;
  for (size_t i = 0; i < user.size(); ++i) {
    if (i + 1 < user.size() && user[i + 1].first == user[i].first) continue;
    if (kept != i) user[kept] = std::move(user[i]);
    ++kept;
  }
  user.resize(kept);
  return user;
}

}  // namespace

PyObject* make_frame_type() {
  if (!frame_type) frame_type = PyType_FromSpec(&frame_spec);
  Py_XINCREF(frame_type);
  return frame_type;
}

PyObject* new_frame(ReadFrame&& frame) {
  auto value = std::make_unique<FrameValue>();
  value->system = std::move(frame.system);
  bool strictly_increasing = true;
  for (size_t i = 1; i < frame.user.size() && strictly_increasing; ++i) {
    strictly_increasing = frame.user[i - 1].first < frame.user[i].first;
  }
  value->user = strictly_increasing ? std::move(frame.user) : keyed(std::move(frame.user));
  value->flame = std::move(frame.flame);

  return box(reinterpret_cast<PyTypeObject*>(frame_type), std::move(value));
}

}  // namespace zel::py
