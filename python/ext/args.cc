#include "python/ext/args.h"

#include <cstring>
#include <vector>

namespace zel::py {
namespace {

void type_error(const std::string& message) {
  PyErr_SetString(PyExc_TypeError, message.c_str());
}

// Raises TypeError("argument '<arg>': <message>") caused by `cause` (stolen).
void raise_argument_error(const char* arg, const std::string& message, PyObject* cause) {
  std::string text = "argument '" + std::string(arg) + "': " + message;
  Ref outer = Ref::steal(PyObject_CallFunction(PyExc_TypeError, "s", text.c_str()));
  if (!outer) {
    Py_XDECREF(cause);
    return;
  }
  if (cause) PyException_SetCause(outer.get(), cause);
  PyErr_SetObject(PyExc_TypeError, outer.get());
}

std::string str_of(PyObject* obj) {
  Ref s = Ref::steal(PyObject_Str(obj));
  if (!s) return "";
  Ref b = Ref::steal(PyUnicode_AsUTF8String(s.get()));
  if (!b) {
    PyErr_Clear();
    return "";
  }
  return PyBytes_AsString(b.get());
}

// An argument name as Python's own messages show it: its repr.
std::string repr_of(const char* name) {
  Ref s = Ref::steal(PyUnicode_FromString(name));
  Ref r = Ref::steal(s ? PyObject_Repr(s.get()) : nullptr);
  return str_of(r.get());
}

}  // namespace

bool parse_args(const char* fname, PyObject* args, PyObject* kwargs,
                std::initializer_list<const char*> names, PyObject** out) {
  const size_t n = names.size();
  const size_t given = args ? static_cast<size_t>(PyTuple_Size(args)) : 0;
  if (!kwargs && given == n) {  // the plain positional call
    for (size_t i = 0; i < n; ++i) out[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
    return true;
  }
  const std::string fn = std::string(fname) + "()";
  if (given > n) {
    type_error(fn + " takes " + std::to_string(n) + " positional argument" + (n == 1 ? "" : "s") +
               " but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given");
    return false;
  }
  for (size_t i = 0; i < n; ++i) out[i] = i < given ? PyTuple_GetItem(args, i) : nullptr;

  if (kwargs) {
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      size_t i = 0;
      for (const char* name : names) {
        if (PyUnicode_CompareWithASCIIString(key, name) == 0) break;
        ++i;
      }
      if (i == n) {
        Ref r = Ref::steal(PyObject_Repr(key));
        type_error(fn + " got an unexpected keyword argument " + str_of(r.get()));
        return false;
      }
      if (out[i]) {
        type_error(fn + " got multiple values for argument " + repr_of(names.begin()[i]));
        return false;
      }
      out[i] = value;
    }
  }

  std::vector<const char*> missing;
  for (size_t i = 0; i < n; ++i) {
    if (!out[i]) missing.push_back(names.begin()[i]);
  }
  if (!missing.empty()) {
    std::string list;
    for (size_t i = 0; i < missing.size(); ++i) {
      if (i > 0) list += (i + 1 == missing.size()) ? " and " : ", ";
      list += repr_of(missing[i]);
    }
    type_error(fn + " missing " + std::to_string(missing.size()) + " required positional argument" +
               (missing.size() == 1 ? "" : "s") + ": " + list);
    return false;
  }
  return true;
}

bool arg_str(PyObject* obj, const char* arg, std::string& out) {
  if (!PyUnicode_Check(obj)) {
    Ref type_name =
        Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__"));
    std::string message = "'";
    message.append(str_of(type_name.get())).append("' object cannot be converted to 'PyString'");
    PyObject* cause = PyObject_CallFunction(PyExc_TypeError, "s", message.c_str());
    raise_argument_error(arg, message, cause);
    return false;
  }
  Ref bytes = Ref::steal(PyUnicode_AsUTF8String(obj));
  if (!bytes) return false;  // the encoding error propagates as raised
  char* data;
  Py_ssize_t size;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) < 0) return false;
  out.assign(data, static_cast<size_t>(size));
  return true;
}

bool arg_f64(PyObject* obj, const char* arg, double& out) {
  out = PyFloat_AsDouble(obj);
  if (out != -1.0 || !PyErr_Occurred()) return true;
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb) PyException_SetTraceback(value, tb);
  std::string message = str_of(value);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  raise_argument_error(arg, message, value);
  return false;
}

}  // namespace zel::py
