// Hooks for the Python tests until the module's own functions can switch scopes on
// and record frames: not part of the module's public names.
#include "../src/error.h"
#include "call.h"
#include "profiler/global_profiler.h"
#include "profiler/thread_profiler.h"
#include "types.h"

namespace zel::py {
namespace {

PyObject* scopes_on_for_tests(PyObject*, PyObject*) {
  profiler::set_scopes_on(true);
  Py_RETURN_NONE;
}

// Closes the profiler frame and returns it as flame bytes carrying every scope
// description known so far, or None when the frame was empty.
PyObject* close_frame_for_tests(PyObject*, PyObject*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    auto global = profiler::GlobalProfiler::lock();
    std::shared_ptr<profiler::FrameData> frame;
    auto sink = global->add_sink([&](std::shared_ptr<profiler::FrameData> f) { frame = f; });
    global->new_frame();
    global->remove_sink(sink);
    if (!frame) Py_RETURN_NONE;
    Bytes bytes;
    unwrap(profiler::write_into(*frame, &global->scope_collection(), bytes));
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                     static_cast<Py_ssize_t>(bytes.size()));
  });
}

PyMethodDef testing_methods[] = {
    {"_scopes_on_for_tests", scopes_on_for_tests, METH_NOARGS, nullptr},
    {"_close_frame_for_tests", close_frame_for_tests, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_testing_hooks(PyObject* module) {
  return PyModule_AddFunctions(module, testing_methods) == 0;
}

}  // namespace zel::py
