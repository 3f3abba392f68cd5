// _Profiled(func, name): the callable that `@zel.profile` puts in place of a plain
// function. Each call runs func inside a scope named `name`. The Python side copies
// func's metadata onto it (functools.update_wrapper: __name__, __doc__, __wrapped__,
// ... land in its __dict__). It binds like a function: the type is a method
// descriptor, so `obj.method(x)` calls it with obj first without building a bound
// method, and `__get__` gives a bound method where one is asked for.
#include <cstddef>
#include <string>

#include "capture/named_scope.h"
#include "profiler/thread_profiler.h"
#include "python/ext/args.h"
#include "python/ext/boxed.h"
#include "python/ext/error_boundary.h"
#include "python/ext/types.h"
// After Python.h (through types.h): PyMemberDef's type codes, limited API before 3.12.
#include <structmember.h>

namespace zel::py {
namespace {

struct ProfiledObject {
  PyObject ob_base;
  PyObject* func;
  PyObject* name;  // the scope name, a str
  PyObject* dict;
  PyObject* weakrefs;
  profiler::ScopeId id;  // 0 until the name has been looked up
};

ProfiledObject* as_profiled(PyObject* self) {
  return reinterpret_cast<ProfiledObject*>(self);
}

PyObject* method_type = nullptr;  // types.MethodType, kept for the process

PyObject* profiled_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
  PyObject* in[2];
  if (!parse_args("_Profiled", args, kwargs, {"func", "name"}, in)) return nullptr;
  std::string text;
  if (!arg_str(in[1], "name", text)) return nullptr;
  if (!PyCallable_Check(in[0])) {
    PyErr_SetString(PyExc_TypeError, "argument 'func': not callable");
    return nullptr;
  }
  PyObject* self = alloc_instance(tp);
  if (!self) return nullptr;
  ProfiledObject* p = as_profiled(self);
  Py_INCREF(in[0]);
  Py_INCREF(in[1]);
  p->func = in[0];
  p->name = in[1];
  return self;
}

PyObject* profiled_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  ProfiledObject* p = as_profiled(self);
  if (!p->func) {  // cleared by the garbage collector while in a cycle
    PyErr_SetString(PyExc_RuntimeError, "profiled function was cleared");
    return nullptr;
  }
  scope::ScopeGuard guard;
  if (profiler::scopes_on()) {
    if (p->id == 0) {
      std::string text;
      if (!arg_str(p->name, "name", text)) return nullptr;
      if (!guarded<bool>(false, [&] { return (p->id = scope::scope_id(text), true); }))
        return nullptr;
    }
    if (!guarded<bool>(false, [&] { return (guard = scope::begin(p->id), true); })) return nullptr;
  }
  PyObject* result = PyObject_Call(p->func, args, kwargs);
  if (!guarded<bool>(false, [&] { return (guard.end(), true); })) {
    Py_XDECREF(result);  // the failure to end the scope is what the caller sees
    return nullptr;
  }
  return result;
}

// Binds to an instance as a function does; on the class (obj None) it is itself.
PyObject* profiled_get(PyObject* self, PyObject* obj, PyObject*) {
  if (!obj || obj == Py_None) {
    Py_INCREF(self);
    return self;
  }
  return PyObject_CallFunctionObjArgs(method_type, self, obj, nullptr);
}

PyObject* profiled_repr(PyObject* self) {
  return PyUnicode_FromFormat("<zel.profile of %R>", as_profiled(self)->func);
}

PyObject* get_dict(PyObject* self, void*) {
  ProfiledObject* p = as_profiled(self);
  if (!p->dict && !(p->dict = PyDict_New())) return nullptr;
  Py_INCREF(p->dict);
  return p->dict;
}

// Pickled by reference, as functions are: the name under which its module holds it.
PyObject* profiled_reduce(PyObject* self, PyObject*) {
  return PyObject_GetAttrString(self, "__qualname__");
}

int profiled_traverse(PyObject* self, visitproc visit, void* arg) {
  ProfiledObject* p = as_profiled(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(p->func);
  Py_VISIT(p->dict);
  return 0;
}

int profiled_clear(PyObject* self) {
  ProfiledObject* p = as_profiled(self);
  Py_CLEAR(p->func);
  Py_CLEAR(p->dict);
  return 0;
}

void profiled_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  ProfiledObject* p = as_profiled(self);
  if (p->weakrefs) PyObject_ClearWeakRefs(self);
  profiled_clear(self);
  Py_CLEAR(p->name);
  free_instance(self);
}

PyMemberDef profiled_members[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(ProfiledObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(ProfiledObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef profiled_getset[] = {
    {"__dict__", get_dict, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef profiled_methods[] = {
    {"__reduce__", profiled_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot profiled_slots[] = {
    {Py_tp_doc, const_cast<char*>("A function whose every call runs in a scope.")},
    {Py_tp_new, reinterpret_cast<void*>(profiled_new)},
    {Py_tp_call, reinterpret_cast<void*>(profiled_call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(profiled_get)},
    {Py_tp_repr, reinterpret_cast<void*>(profiled_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(profiled_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(profiled_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(profiled_dealloc)},
    {Py_tp_members, profiled_members},
    {Py_tp_getset, profiled_getset},
    {Py_tp_methods, profiled_methods},
    {0, nullptr},
};

PyType_Spec profiled_spec = {"_zel._Profiled", sizeof(ProfiledObject), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR,
                             profiled_slots};

}  // namespace

PyObject* make_profiled_type() {
  if (!method_type) {
    Ref types = Ref::steal(PyImport_ImportModule("types"));
    if (!types || !(method_type = PyObject_GetAttrString(types.get(), "MethodType")))
      return nullptr;
  }
  return PyType_FromSpec(&profiled_spec);
}

}  // namespace zel::py
