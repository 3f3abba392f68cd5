// How failures cross into Python, the same way for both extension modules. Every entry
// point runs its C++ body through guarded(): a Panic becomes what the module reports
// faults as, an exhausted allocator MemoryError, and any other C++ exception counts as
// a Panic. An IoError value becomes OSError through raise_os_error.
#pragma once

#include <new>
#include <string>

#include "base/error.h"
#include "python/ext/py.h"

namespace zel::py {

// What a Panic becomes: PanicException (_zel, a fault of the running program), or
// ValueError (_native, bad data handed to a tool; NotACaptureError, a ValueError, when
// the data is not a .zel stream at all).
enum class PanicAs { PanicException, ValueError };

// "pyo3_runtime.PanicException", derived from BaseException; created on first use.
// Borrowed reference, alive for the rest of the process.
PyObject* panic_exception_type();

// "zel._native.NotACaptureError", derived from ValueError; created on first use.
// Borrowed reference, alive for the rest of the process.
PyObject* not_a_capture_type();

// Sets PanicException(message) as the current Python error.
void raise_panic(const char* message);

// Sets the Python error that `p` becomes.
void raise_fault(const Panic& p, PanicAs as);

// Sets OSError(<prefix><message>) as the current Python error, with errno set to the
// operating system's code; errno stays None for a file that ended early.
void raise_os_error(const IoError& e, const std::string& prefix = "");

// Runs body(); on a C++ failure sets the Python error and returns `failed` (NULL, -1).
template <class R, class F>
R guarded(R failed, F&& body, PanicAs as = PanicAs::PanicException) {
  try {
    return body();
  } catch (const Panic& p) {
    raise_fault(p, as);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_fault(Panic(e.what()), as);
  } catch (...) {
    raise_fault(Panic("unknown C++ exception"), as);
  }
  return failed;
}

}  // namespace zel::py
