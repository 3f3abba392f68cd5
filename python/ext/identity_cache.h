// A small direct-mapped cache keyed by the identity of a Python object: what was
// derived from a str (its UTF-8 text, a scope id) is found again without encoding it
// anew. Each entry holds a reference to its key, so the object at that address stays
// the same str; the interpreter lock, held by every call, guards the table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "python/ext/py.h"

namespace zel::py {

template <class V, size_t N = 64>
class IdentityCache {
 public:
  struct Entry {
    PyObject* key = nullptr;
    V value{};
  };

  // The one entry `key` can live in; it holds `key` only if entry.key == key.
  Entry& slot(PyObject* key) { return entries_[(reinterpret_cast<uintptr_t>(key) >> 4) % N]; }

  // Makes `entry` (the slot of `key`) hold `key` and `value`.
  static void fill(Entry& entry, PyObject* key, V value) {
    if (entry.key != key) {
      Py_INCREF(key);
      Py_XDECREF(entry.key);
      entry.key = key;
    }
    entry.value = std::move(value);
  }

 private:
  Entry entries_[N];
};

}  // namespace zel::py
