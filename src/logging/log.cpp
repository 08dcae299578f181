#include "log.hpp"

namespace cu::log {

namespace {

const Name n_Logger("Logger"), n_isEnabledFor("isEnabledFor"),
    n_dict("__dict__"), n_cache("_cache");

// logging.Logger with the level test and the four record methods as the
// logging module defined them.
ClassSnapshot logger_class;
enum : ClassSnapshot::Names {
    b_debug = 1u << 0, b_info = 1u << 1, b_warning = 1u << 2, b_error = 1u << 3,
    b_isEnabledFor = 1u << 4,
};

// `Logger.<name>` as the logging module defined it, or null when it is
// something else (the class may have been patched before the first record).
Ref defined_by_logging(PyObject* logging, PyObject* cls, const Name& name) {
    static const Name n___globals__("__globals__"), n___qualname__("__qualname__");
    Ref method = getattr(cls, name);
    Ref globals = getattr_opt(method.get(), n___globals__);
    Ref qualname = getattr_opt(method.get(), n___qualname__);
    Ref expected = check(PyUnicode_FromFormat("Logger.%s", name.text()));
    if (!globals || globals.get() != getattr(logging, n_dict).get() || !qualname ||
        !PyUnicode_Check(qualname.get()) || PyUnicode_Compare(qualname.get(), expected.get()) != 0)
        return Ref();
    return method;
}

void take_logger_class() {
    Ref logging = check(PyImport_ImportModule("logging"));
    Ref cls = getattr(logging.get(), n_Logger);
    auto own = [&](const Name& name) { return defined_by_logging(logging.get(), cls.get(), name); };
    Ref debug = own(n_debug), info = own(n_info), warning = own(n_warning), error = own(n_error),
        is_enabled_for = own(n_isEnabledFor);
    logger_class.take(cls.get(), {{b_debug, n_debug, debug.get()},
                                  {b_info, n_info, info.get()},
                                  {b_warning, n_warning, warning.get()},
                                  {b_error, n_error, error.get()},
                                  {b_isEnabledFor, n_isEnabledFor, is_enabled_for.get()}});
}

// The logger is a plain Logger whose `method` and level test are the logging
// module's, and its own level cache says False for `levelno`.
template <ClassSnapshot::Names method>
bool cached_off(PyObject* logger, int levelno) {
    Ref attrs;
    if (!logger_class.holds(logger, method | b_isEnabledFor, &attrs) || !attrs) return false;
    // The entries are found where they were at the last record (a logger's
    // `_cache` and, in it, the level: logging's own level constants are
    // small ints, one object each).
    static EntryHint cache_at, level_at;
    PyObject* cache = cache_at.get(attrs.get(), n_cache);
    if (!cache || !PyDict_CheckExact(cache)) return false;
    Ref key = integer(levelno);
    return level_at.get(cache, key.get()) == Py_False;
}

}  // namespace

bool surely_off(PyObject* logger, const Name& method, int levelno) {
    if (!logger_class.cls()) take_logger_class();
    if (&method == &n_debug) return cached_off<b_debug>(logger, levelno);
    if (&method == &n_info) return cached_off<b_info>(logger, levelno);
    if (&method == &n_warning) return cached_off<b_warning>(logger, levelno);
    if (&method == &n_error) return cached_off<b_error>(logger, levelno);
    return false;
}

bool may_emit(const Name& method, int levelno) {
    Ref logger = module::global(n_logger);
    return !surely_off(logger.get(), method, levelno);
}

}  // namespace cu::log
