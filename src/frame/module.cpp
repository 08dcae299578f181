// Module entry: runs the module body once, top to bottom, and the start-up
// steps that the body table (definitions.cpp) places between its definitions.
#include "frame.hpp"
#include "../bridge/entry.hpp"

#include <cstdlib>
#include <cstring>

namespace cu::frame {

namespace {

Name n_nest_asyncio("nest_asyncio"), n_apply("apply"), n_tracemalloc("tracemalloc"),
    n_start("start"), n_get_logger("get_logger");

// No docstring; the import system supplies the package prefix of the name.
PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "common_utils", nullptr, -1};

}  // namespace

// Process-wide: lets asyncio.run nest inside a running event loop.
void apply_nested_loop_patch() { call_method(module::global(n_nest_asyncio).get(), n_apply); }

// Importing starts tracemalloc for the whole process, which makes every later
// allocation of the caller dearer.  A job that does not trace memory opts out
// with COMMON_UTILS_TRACEMALLOC=0, read here, before the start.
void start_tracemalloc() {
    const char* opt_out = std::getenv("COMMON_UTILS_TRACEMALLOC");
    if (opt_out && std::strcmp(opt_out, "0") == 0) return;
    call_method(module::global(n_tracemalloc).get(), n_start);
}

void bind_module_logger() {
    Ref logger = call(module::global(n_get_logger).get(), module::name_obj());
    module::bind("logger", logger.get());
}

}  // namespace cu::frame

// The 3.8 headers give PyMODINIT_FUNC no visibility attribute (3.9 added it),
// and this library hides every symbol by default.
extern "C" __attribute__((visibility("default"))) PyObject* PyInit_common_utils(void);

PyMODINIT_FUNC PyInit_common_utils(void) {
    try {
        cu::Ref m = cu::check(PyModule_Create(&cu::frame::module_def));
        cu::module::set(m.get());
        cu::frame::run_body();
        return m.release();
    } catch (...) {
        return cu::translate_exception();
    }
}
