// Level changes and extra log files for every logger of the "QRX_" family.
#include "log.hpp"
#include "../bridge/args.hpp"
#include "../bridge/entry.hpp"

namespace cu::log {

namespace {

const Name n_logging("logging"), n_root("root"), n_manager("manager"),
    n_loggerDict("loggerDict"), n_getLogger("getLogger"), n_getLevelName("getLevelName"),
    n_setLevel("setLevel"), n_startswith("startswith"), n_INFO("INFO"),
    n_logger_append_file("logger_append_file"), n_file_name("file_name"), n_prefix("QRX_");

// The loggers registered under a name that starts with "QRX_", in registry order.
Ref family(PyObject* logging) {
    Ref registry = getattr(
        getattr(getattr(logging, n_root).get(), n_manager).get(), n_loggerDict);
    // A snapshot of the names: getLogger may turn placeholders into loggers.
    Ref names = check(PySequence_List(registry.get()));
    Ref loggers = list();
    for (Py_ssize_t i = 0, n = PyList_Size(names.get()); i < n; ++i) {
        PyObject* name = PyList_GetItem(names.get(), i);
        bool member = is_exact_str(name)
                          ? check_int((int)PyUnicode_Tailmatch(name, n_prefix, 0,
                                                               PY_SSIZE_T_MAX, -1)) != 0
                          : truthy(call_method(name, n_startswith, n_prefix.get()).get());
        if (member) append(loggers.get(), call_method(logging, n_getLogger, name).get());
    }
    return loggers;
}

// ==== set_logger_level =======================================================

Keep g_default_level;  // logging.INFO when the function was defined

const Signature level_params{"set_logger_level", {"log_level"}, 0};

Ref set_logger_level(PyObject*, PyObject* args, PyObject* kwargs) {
    Bound<1> a(level_params, args, kwargs);
    Ref level = Ref::borrow(a.get(0, g_default_level));
    Ref logging = module::global(n_logging);
    if (PyUnicode_Check(level.get()))
        level = call_method(logging.get(), n_getLevelName, level.get());
    Ref loggers = family(logging.get());
    for (Py_ssize_t i = 0, n = PyList_Size(loggers.get()); i < n; ++i)
        call_method(PyList_GetItem(loggers.get(), i), n_setLevel, level.get());
    CU_LOG(debug, "logger level %s", loggers.get());
    return none();
}

// ==== add_logger_file ========================================================

const Signature file_params{"add_logger_file", {"file_name"}, 0};

Ref add_logger_file(PyObject*, PyObject* args, PyObject* kwargs) {
    Bound<1> a(file_params, args, kwargs);
    static const Name default_file("./main.log");
    PyObject* file_name = a.get(0, default_file);
    Ref loggers = family(module::global(n_logging).get());
    Ref kw = keywords({{n_file_name, file_name}});
    for (Py_ssize_t i = 0, n = PyList_Size(loggers.get()); i < n; ++i) {
        Ref pos = tuple(PyList_GetItem(loggers.get(), i));
        call_args(module::global(n_logger_append_file).get(), pos.get(), kw.get());
    }
    CU_LOG(debug, "add logger file, path=%s", file_name);
    return none();
}

PyMethodDef defs[] = {
    CU_VARARGS_SIG("set_logger_level", set_logger_level, "(log_level=20)",
                   "Sets log_level (a number or a level name) on every \"QRX_\" logger."),
    CU_VARARGS_SIG("add_logger_file", add_logger_file, "(file_name='./main.log')",
                   "Adds a file handler for file_name to every \"QRX_\" logger."),
    CU_END,
};

Ref make_set_level() {
    g_default_level.set(getattr(module::global(n_logging).get(), n_INFO));
    return make_function(&defs[0]);
}
Ref make_add_file() { return make_function(&defs[1]); }

}  // namespace

CU_DEFINITION("set_logger_level", make_set_level);
CU_DEFINITION("add_logger_file", make_add_file);

}  // namespace cu::log
