#include "python/ext/error_boundary.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zel::py {
namespace {

constexpr const char* kPanicDoc =
    "The exception raised when the extension's native code fails fatally.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.";

[[noreturn]] void abort_at_boundary() {
  std::fputs("uncaught panic at ffi boundary\n", stderr);
  std::fflush(stderr);
  std::abort();
}

}  // namespace

PyObject* panic_exception_type() {
  static PyObject* type = nullptr;
  if (!type) {
    type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc, PyExc_BaseException,
                                     nullptr);
  }
  return type;
}

void raise_panic(const char* message) {
  PyObject* type = panic_exception_type();
  Ref text = Ref::steal(PyUnicode_DecodeUTF8(message, std::strlen(message), "replace"));
  // Failing while reporting a failure leaves nothing sound to hand back to Python.
  if (!type || !text) abort_at_boundary();
  PyErr_SetObject(type, text.get());
}

PyObject* not_a_capture_type() {
  static PyObject* type = nullptr;
  if (!type) {
    type = PyErr_NewExceptionWithDoc("zel._native.NotACaptureError",
                                     "The data is not a .zel stream.", PyExc_ValueError, nullptr);
  }
  return type;
}

void raise_fault(const Panic& p, PanicAs as) {
  if (as == PanicAs::PanicException) return raise_panic(p.what());
  PyObject* type = p.fault() == Fault::NotAStream ? not_a_capture_type() : PyExc_ValueError;
  if (!type) return;
  Ref text = Ref::steal(PyUnicode_DecodeUTF8(p.brief().data(), p.brief().size(), "replace"));
  if (text) PyErr_SetObject(type, text.get());
}

void raise_os_error(const IoError& e, const std::string& prefix) {
  const std::string message = prefix + e.to_string();
  Ref text = Ref::steal(PyUnicode_DecodeUTF8(message.data(), message.size(), "replace"));
  if (!text) return;
  Ref error = Ref::steal(PyObject_CallFunctionObjArgs(PyExc_OSError, text.get(), nullptr));
  if (!error) return;
  if (!e.is_eof()) {
    Ref code = Ref::steal(PyLong_FromLong(e.code()));
    if (!code || PyObject_SetAttrString(error.get(), "errno", code.get()) < 0) return;
  }
  PyErr_SetObject(PyExc_OSError, error.get());
}

}  // namespace zel::py
