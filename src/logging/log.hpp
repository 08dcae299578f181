// Records through the module logger, looked up in the module namespace at
// each call (callers may rebind `logger`).  Format strings are printf-style
// with separate arguments, as the logging module formats them lazily.
#pragma once

#include "../bridge/module.hpp"

namespace cu::log {

extern const Name n_logger, n_debug, n_info, n_warning, n_error;

template <class... A>
void emit(const Name& level, const Name& fmt, A... args) {
    Ref logger = module::global(n_logger);
    call_method(logger.get(), level, fmt.get(), static_cast<PyObject*>(args)...);
}

}  // namespace cu::log

// CU_LOG(debug, "format %s", arg): the format text is interned once per site.
#define CU_LOG(level, fmt, ...)                                            \
    do {                                                                   \
        static const ::cu::Name cu_log_fmt_(fmt);                          \
        ::cu::log::emit(::cu::log::n_##level, cu_log_fmt_, ##__VA_ARGS__); \
    } while (0)
