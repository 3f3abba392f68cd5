// Argument parsing for the module's functions and constructors, with CPython's
// usual messages, and the conversions of single arguments to C++ values.
#pragma once

#include <initializer_list>
#include <string>

#include "python/ext/py.h"

namespace zel::py {

// Matches positional `args` and keyword `kwargs` against the required parameters
// `names` of function `fname`, storing borrowed references in out[0..names.size()).
// On failure sets TypeError ("f() missing 1 required positional argument: 'value'",
// "f() got an unexpected keyword argument 'x'", ...) and returns false.
bool parse_args(const char* fname, PyObject* args, PyObject* kwargs,
                std::initializer_list<const char*> names, PyObject** out);

// A str argument as UTF-8. Another type raises TypeError "argument '<arg>': '<type>'
// object cannot be converted to 'PyString'"; a str that cannot be encoded raises
// Python's own encoding error.
bool arg_str(PyObject* obj, const char* arg, std::string& out);

// A number argument through Python's float protocol; a TypeError it raises comes
// back as "argument '<arg>': <message>" with the original as its cause.
bool arg_f64(PyObject* obj, const char* arg, double& out);

// A METH_VARARGS | METH_KEYWORDS function as the PyCFunction a method table holds.
inline PyCFunction with_keywords(PyObject* (*f)(PyObject*, PyObject*, PyObject*)) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(f));
}

}  // namespace zel::py
