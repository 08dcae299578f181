// Records through the module logger, looked up in the module namespace at
// each call (callers may rebind `logger`).  Format strings are printf-style
// with separate arguments, as the logging module formats them lazily.
#pragma once

#include "../bridge/module.hpp"

namespace cu::log {

extern const Name n_logger, n_debug, n_info, n_warning, n_error;
constexpr int k_debug = 10, k_info = 20, k_warning = 30, k_error = 40;

// True when `logger.<method>(...)` is sure to emit nothing: the logger is a
// plain logging.Logger (methods neither overridden nor patched) whose own
// level cache already holds False for `levelno`.  That cache is what
// Logger.isEnabledFor consults first, so skipping the call is unobservable.
bool surely_off(PyObject* logger, const Name& method, int levelno);

// Whether a record at `levelno` may be emitted by the current module logger.
// Hot paths test this before building arguments that cost something to make
// and that no user code sees (types, key views).
bool may_emit(const Name& method, int levelno);

template <class... A>
void emit(const Name& method, int levelno, const Name& fmt, A... args) {
    Ref logger = module::global(n_logger);
    if (surely_off(logger.get(), method, levelno)) return;
    call_method(logger.get(), method, fmt.get(), static_cast<PyObject*>(args)...);
}

}  // namespace cu::log

// CU_LOG(debug, "format %s", arg): the format text is interned once per site.
// The arguments are evaluated before the level test, as in a Python call.
#define CU_LOG(level, fmt, ...)                                                           \
    do {                                                                                  \
        static const ::cu::Name cu_log_fmt_(fmt);                                         \
        ::cu::log::emit(::cu::log::n_##level, ::cu::log::k_##level, cu_log_fmt_,          \
                        ##__VA_ARGS__);                                                   \
    } while (0)
