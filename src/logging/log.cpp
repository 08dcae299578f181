#include "log.hpp"

namespace cu::log {

namespace {

const Name n_logging("logging"), n_Logger("Logger"), n_isEnabledFor("isEnabledFor"),
    n_dict("__dict__"), n_cache("_cache");

struct LoggerClass {
    Keep cls;
    Keep dict;  // Logger's own attributes, which define the methods below
    Keep is_enabled_for;
    Keep methods[4];  // debug, info, warning, error as defined by the logging module
};

const Name* const kMethods[4] = {&n_debug, &n_info, &n_warning, &n_error};

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

const LoggerClass* logger_class() {
    static LoggerClass lc;
    static bool ready = false;
    if (!ready) {
        Ref logging = check(PyImport_ImportModule("logging"));
        Ref cls = getattr(logging.get(), n_Logger);
        lc.is_enabled_for.set(defined_by_logging(logging.get(), cls.get(), n_isEnabledFor));
        for (int i = 0; i < 4; ++i)
            lc.methods[i].set(defined_by_logging(logging.get(), cls.get(), *kMethods[i]));
        lc.dict.set(Ref::steal(class_dict(cls.get())));
        lc.cls.set(std::move(cls));
        ready = true;
    }
    return &lc;
}

}  // namespace

bool surely_off(PyObject* logger, const Name& method, int levelno) {
    const LoggerClass* lc = logger_class();
    if ((PyObject*)Py_TYPE(logger) != lc->cls.get()) return false;
    int slot = -1;
    for (int i = 0; i < 4; ++i)
        if (kMethods[i] == &method) slot = i;
    if (slot < 0 || !lc->methods[slot] || !lc->is_enabled_for) return false;
    if (lc->dict) {
        // Logger defines both itself, so its dict is where look-up finds them.
        if (dict_get(lc->dict, method) != lc->methods[slot].get() ||
            dict_get(lc->dict, n_isEnabledFor) != lc->is_enabled_for.get())
            return false;
    } else if (getattr(lc->cls.get(), method).get() != lc->methods[slot].get() ||
               getattr(lc->cls.get(), n_isEnabledFor).get() != lc->is_enabled_for.get()) {
        return false;
    }
    Ref attrs = getattr(logger, n_dict);
    if (!PyDict_Check(attrs.get())) return false;
    if (dict_get(attrs.get(), method) || dict_get(attrs.get(), n_isEnabledFor)) return false;
    PyObject* cache = dict_get(attrs.get(), n_cache);
    if (!cache || !PyDict_CheckExact(cache)) return false;
    Ref key = integer(levelno);
    return dict_get(cache, key.get()) == Py_False;
}

bool may_emit(const Name& method, int levelno) {
    Ref logger = module::global(n_logger);
    return !surely_off(logger.get(), method, levelno);
}

}  // namespace cu::log
