// Scope: a context manager over a runtime-named scope. The name's id is looked up at
// the first entry that records and kept; a small cache keyed by the name object lets
// a fresh Scope of an already seen name skip encoding and look-up altogether.
#include <new>
#include <string>

#include "capture/named_scope.h"
#include "profiler/thread_profiler.h"
#include "python/ext/args.h"
#include "python/ext/boxed.h"
#include "python/ext/error_boundary.h"
#include "python/ext/identity_cache.h"
#include "python/ext/types.h"

namespace zel::py {
namespace {

struct ScopeObject {
  PyObject ob_base;
  PyObject* name;           // a str, validated as UTF-8 when the object was made
  profiler::ScopeId id;     // 0 until the name has been looked up
  scope::ScopeGuard guard;  // the open scope, if any
};

ScopeObject* as_scope(PyObject* self) {
  return reinterpret_cast<ScopeObject*>(self);
}

// Recently used names and their ids; id 0: the text is valid, the name not yet
// registered.
IdentityCache<profiler::ScopeId> name_cache;

PyObject* scope_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
  PyObject* name;
  if (!parse_args("Scope", args, kwargs, {"name"}, &name)) return nullptr;
  profiler::ScopeId id = 0;
  auto& e = name_cache.slot(name);
  if (e.key == name) {
    id = e.value;
  } else {
    std::string text;  // refuses what is not a str or not encodable
    if (!arg_str(name, "name", text)) return nullptr;
    name_cache.fill(e, name, 0);
  }
  PyObject* self = alloc_instance(tp);
  if (!self) return nullptr;
  ScopeObject* s = as_scope(self);
  Py_INCREF(name);
  s->name = name;
  s->id = id;
  new (&s->guard) scope::ScopeGuard();
  return self;
}

// Looks the object's name up (registering it on this thread the first time) unless
// its id is known already. False with a Python error set on failure.
bool resolve_id(ScopeObject* s) {
  if (s->id != 0) return true;
  auto& e = name_cache.slot(s->name);
  if (e.key == s->name && e.value != 0) {
    s->id = e.value;
    return true;
  }
  std::string text;
  if (!arg_str(s->name, "name", text)) return false;
  return guarded<bool>(false, [&] {
    s->id = scope::scope_id(text);
    name_cache.fill(name_cache.slot(s->name), s->name, s->id);
    return true;
  });
}

// Opens the scope; a scope this object still holds is ended after the new one began.
PyObject* scope_enter(PyObject* self, PyObject*) {
  ScopeObject* s = as_scope(self);
  const bool on = profiler::scopes_on();
  if (on && !resolve_id(s)) return nullptr;
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    scope::ScopeGuard older = std::move(s->guard);
    if (on) s->guard = scope::begin(s->id);
    older.end();
    Py_INCREF(self);
    return self;
  });
}

PyObject* scope_exit(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (kwargs || PyTuple_Size(args) != 3) {
    PyObject* ignored[3];
    if (!parse_args("__exit__", args, kwargs, {"_exc_type", "_exc_value", "_traceback"}, ignored))
      return nullptr;
  }
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    as_scope(self)->guard.end();
    Py_RETURN_FALSE;
  });
}

void scope_dealloc(PyObject* self) {
  ScopeObject* s = as_scope(self);
  try {
    s->guard.end();
  } catch (const std::exception& e) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);  // an exception may be on its way through
    raise_panic(e.what());
    PyErr_WriteUnraisable(self);
    PyErr_Restore(type, value, tb);
  }
  s->guard.~ScopeGuard();
  Py_XDECREF(s->name);
  free_instance(self);
}

PyMethodDef scope_methods[] = {
    {"__enter__", scope_enter, METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(scope_exit)),
     METH_VARARGS | METH_KEYWORDS, "__exit__($self, _exc_type, _exc_value, _traceback)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot scope_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("Scope(name)\n--\n\n"
                       "Context manager over a runtime-named scope: `with Scope(name): ...`.\n"
                       "The `@zel.profile` decorator (Python side) wraps each call in one.")},
    {Py_tp_new, reinterpret_cast<void*>(scope_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(scope_dealloc)},
    {Py_tp_methods, scope_methods},
    {0, nullptr},
};

PyType_Spec scope_spec = {"_zel.Scope", sizeof(ScopeObject), 0, Py_TPFLAGS_DEFAULT, scope_slots};

}  // namespace

PyObject* make_scope_type() {
  return PyType_FromSpec(&scope_spec);
}

}  // namespace zel::py
