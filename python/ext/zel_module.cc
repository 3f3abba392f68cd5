// The _zel extension module: created once per process, refused in sub-interpreters.
#include <cstdint>

#include "capture/fork_handlers.h"
#include "python/ext/error_boundary.h"
#include "python/ext/types.h"

namespace zel::py {
namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_zel",
    nullptr,  // no docstring
    0,        // m_size 0: a re-import calls PyInit again and gets the same module
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* the_module = nullptr;
int64_t first_interpreter = -1;

// Adds `value` (stolen) as attribute `name` and appends the name to __all__.
bool add_public(PyObject* module, PyObject* all, const char* name, PyObject* value) {
  if (!value) return false;
  Ref v = Ref::steal(value);
  Ref n = Ref::steal(PyUnicode_FromString(name));
  if (!n || PyList_Append(all, n.get()) < 0) return false;
  return PyObject_SetAttrString(module, name, v.get()) == 0;
}

PyObject* create_module() {
  // Before any thread of ours exists: a fork from now on leaves the child usable.
  install_fork_handlers();
  Ref module = Ref::steal(PyModule_Create(&module_def));
  if (!module) return nullptr;
  Ref all = Ref::steal(PyList_New(0));
  if (!all || PyObject_SetAttrString(module.get(), "__all__", all.get()) < 0) return nullptr;
  Ref name = Ref::steal(PyModule_GetNameObject(module.get()));
  if (!name) return nullptr;
  for (PyMethodDef& def : module_functions()) {
    PyObject* f = PyCFunction_NewEx(&def, nullptr, name.get());
    if (!add_public(module.get(), all.get(), def.ml_name, f)) return nullptr;
  }
  if (!add_public(module.get(), all.get(), "Scope", make_scope_type())) return nullptr;
  if (!add_public(module.get(), all.get(), "Reader", make_reader_type())) return nullptr;
  if (!add_public(module.get(), all.get(), "Frame", make_frame_type())) return nullptr;
  // The class fatal failures arrive as, so that callers can catch it by type; not
  // part of __all__, so `from _zel import *` does not bring it in.
  PyObject* panic = panic_exception_type();
  if (!panic || PyObject_SetAttrString(module.get(), "PanicException", panic) < 0) return nullptr;
  // The wrapper behind `@zel.profile`, for the package only: not in __all__ either.
  Ref profiled = Ref::steal(make_profiled_type());
  if (!profiled || PyObject_SetAttrString(module.get(), "_Profiled", profiled.get()) < 0)
    return nullptr;
  return module.release();
}

}  // namespace
}  // namespace zel::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__zel() {
  using namespace zel::py;
  int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id < 0) return nullptr;
  if (first_interpreter < 0) first_interpreter = id;
  if (id != first_interpreter) {
    PyErr_SetString(PyExc_ImportError,
                    "_zel does not support sub-interpreters: it can only be imported in the "
                    "interpreter that imported it first");
    return nullptr;
  }
  if (!the_module) the_module = create_module();
  Py_XINCREF(the_module);
  return the_module;
}
