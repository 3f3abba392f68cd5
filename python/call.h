// How failures cross into Python. Every entry point runs its C++ body through
// guarded(): a Panic becomes PanicException, an exhausted allocator MemoryError; an
// IoError value becomes OSError through raise_os_error.
#pragma once

#include <new>
#include <string>

#include "../src/error.h"
#include "py.h"

namespace zel::py {

// "pyo3_runtime.PanicException", derived from BaseException; created on first use.
// Borrowed reference, alive for the rest of the process.
PyObject* panic_exception_type();

// Sets PanicException(message) as the current Python error.
void raise_panic(const char* message);

// Sets OSError(message) as the current Python error.
void raise_os_error(const std::string& message);

// Runs body(); on a C++ failure sets the Python error and returns `failed` (NULL, -1).
template <class R, class F>
R guarded(R failed, F&& body) {
  try {
    return body();
  } catch (const Panic& p) {
    raise_panic(p.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_panic(e.what());
  }
  return failed;
}

}  // namespace zel::py
