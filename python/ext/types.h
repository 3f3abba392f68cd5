// The classes of _zel. Each make_*_type builds its heap type once per process;
// the module adds them in the order Scope, Reader, Frame.
#pragma once

#include <span>

#include "python/ext/py.h"
#include "record/stream_reader.h"

namespace zel::py {

PyObject* make_scope_type();  // new reference, or NULL with an error set
PyObject* make_reader_type();
PyObject* make_frame_type();
// _Profiled(func, name), behind `@zel.profile`; private to the package.
PyObject* make_profiled_type();

// A new Frame holding `frame`'s values; its user values keyed and sorted by name,
// the last value winning for a repeated name. NULL with an error set on failure.
PyObject* new_frame(record::read::ReadFrame&& frame);

// enable, frame_mark, record_metric, record_metric_unit, flush, in that order.
std::span<PyMethodDef> module_functions();

}  // namespace zel::py
