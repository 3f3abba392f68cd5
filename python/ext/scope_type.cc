// Scope: a context manager over a runtime-named scope. The name's id is looked up at
// the first entry that records and kept; a small cache keyed by the name object lets
// a fresh Scope of an already seen name skip encoding and look-up altogether.
//
// One object may be entered on several threads at once (a module-level Scope used by
// workers): each thread holds its own open scope in it, and an exit ends the exiting
// thread's. Entering it again on the same thread ends that thread's earlier scope.
#include <atomic>
#include <cstdint>
#include <new>
#include <string>
#include <vector>

#include "capture/named_scope.h"
#include "profiler/thread_profiler.h"
#include "python/ext/args.h"
#include "python/ext/boxed.h"
#include "python/ext/error_boundary.h"
#include "python/ext/identity_cache.h"
#include "python/ext/types.h"

namespace zel::py {
namespace {

// The scope one thread has open in a Scope object. `thread` is 0 when the holder is
// free; it stays set after an entry that recorded nothing (scopes off), so that the
// thread's exit still finds its own holder.
struct Holder {
  uint64_t thread = 0;
  scope::ScopeGuard guard;
};

struct ScopeObject {
  PyObject ob_base;
  PyObject* name;               // a str, validated as UTF-8 when the object was made
  profiler::ScopeId id;         // 0 until the name has been looked up
  Holder first;                 // the usual case: one thread inside at a time
  std::vector<Holder>* others;  // threads inside while `first` is taken; null until then
};

ScopeObject* as_scope(PyObject* self) {
  return reinterpret_cast<ScopeObject*>(self);
}

// A number for the calling thread, never given to another thread of the process
// (thread idents and profiler addresses are reused after a thread ends).
uint64_t this_thread() {
  static std::atomic<uint64_t> last{0};
  thread_local uint64_t id = 0;
  if (id == 0) id = last.fetch_add(1, std::memory_order_relaxed) + 1;
  return id;
}

// The holder of `thread`'s scope, or null.
Holder* find_holder(ScopeObject* s, uint64_t thread) {
  if (s->first.thread == thread) return &s->first;
  if (s->others) {
    for (Holder& h : *s->others)
      if (h.thread == thread) return &h;
  }
  return nullptr;
}

// The holder an entry on `thread` uses: its own, else a free one.
Holder& holder_for_entry(ScopeObject* s, uint64_t thread) {
  if (Holder* h = find_holder(s, thread)) return *h;
  if (s->first.thread == 0) return s->first;
  if (!s->others) s->others = new std::vector<Holder>();
  for (Holder& h : *s->others)
    if (h.thread == 0) return h;
  return s->others->emplace_back();
}

// The holder an exit on `thread` ends: its own; failing that, the only one taken, so
// that a scope entered on one thread can still be ended on another.
Holder* holder_for_exit(ScopeObject* s, uint64_t thread) {
  if (Holder* h = find_holder(s, thread)) return h;
  Holder* sole = s->first.thread ? &s->first : nullptr;
  if (s->others) {
    for (Holder& h : *s->others) {
      if (h.thread == 0) continue;
      if (sole) return nullptr;
      sole = &h;
    }
  }
  return sole;
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
  new (&s->first) Holder();
  s->others = nullptr;
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

// Opens the scope; a scope this thread still holds in the object is ended after the
// new one began.
PyObject* scope_enter(PyObject* self, PyObject*) {
  ScopeObject* s = as_scope(self);
  const bool on = profiler::scopes_on();
  if (on && !resolve_id(s)) return nullptr;
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    const uint64_t thread = this_thread();
    Holder& h = holder_for_entry(s, thread);
    scope::ScopeGuard older = std::move(h.guard);
    h.thread = thread;
    if (on) h.guard = scope::begin(s->id);
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
    if (Holder* h = holder_for_exit(as_scope(self), this_thread())) {
      h->thread = 0;
      h->guard.end();
    }
    Py_RETURN_FALSE;
  });
}

void scope_dealloc(PyObject* self) {
  ScopeObject* s = as_scope(self);
  auto end = [self](Holder& h) {
    try {
      h.guard.end();
    } catch (const std::exception& e) {
      PyObject *type, *value, *tb;
      PyErr_Fetch(&type, &value, &tb);  // an exception may be on its way through
      raise_panic(e.what());
      PyErr_WriteUnraisable(self);
      PyErr_Restore(type, value, tb);
    }
  };
  end(s->first);
  if (s->others) {
    for (Holder& h : *s->others) end(h);
    delete s->others;
  }
  s->first.~Holder();
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
