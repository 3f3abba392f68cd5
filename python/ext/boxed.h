// Instances of the module's classes: a Python object header followed by one owned
// pointer to the C++ value behind it.
#pragma once

#include <memory>

#include "python/ext/py.h"

namespace zel::py {

template <class T>
struct Boxed {
  PyObject ob_base;  // what PyObject_HEAD declares
  T* value;
};

template <class T>
T& unbox(PyObject* self) {
  return *reinterpret_cast<Boxed<T>*>(self)->value;
}

// A new, zero-filled instance of heap type `tp`; NULL with an error set on failure.
inline PyObject* alloc_instance(PyTypeObject* tp) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(tp, Py_tp_alloc));
  return alloc(tp, 0);
}

// Frees an instance the way its type asks and drops its reference to the type.
inline void free_instance(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  auto free = reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free));
  free(self);
  Py_DECREF(tp);
}

// A new instance of heap type `tp` owning `value`; NULL with an error set on failure.
template <class T>
PyObject* box(PyTypeObject* tp, std::unique_ptr<T> value) {
  PyObject* self = alloc_instance(tp);
  if (self) reinterpret_cast<Boxed<T>*>(self)->value = value.release();
  return self;
}

// The deallocator of a boxed type: destroys the value, then frees the instance.
template <class T>
void dealloc_boxed(PyObject* self) {
  delete reinterpret_cast<Boxed<T>*>(self)->value;
  free_instance(self);
}

}  // namespace zel::py
