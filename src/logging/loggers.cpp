// Logger construction: the platform-logger switch, get_logger,
// logger_append_file and get_file_logger.
#include "log.hpp"
#include "../bridge/args.hpp"
#include "../bridge/entry.hpp"

namespace cu::log {

const Name n_logger("logger"), n_debug("debug"), n_info("info"), n_warning("warning"),
    n_error("error");

namespace {

const char* const kRecordFormat =
    "%(asctime)s - %(levelname)s - %(filename)s:%(lineno)d %(funcName)s() - %(message)s";

const Name n_os("os"), n_sys("sys"), n_logging("logging"), n_environ("environ"), n_get("get"),
    n_stdout("stdout"), n_stderr("stderr"), n_file("file"), n_print("print"),
    n_Formatter("Formatter"), n_fmt("fmt"), n_datefmt("datefmt"),
    n_StreamHandler("StreamHandler"), n_FileHandler("FileHandler"),
    n_setFormatter("setFormatter"), n_getLogger("getLogger"), n_handlers("handlers"),
    n_setLevel("setLevel"), n_INFO("INFO"), n_addHandler("addHandler"),
    n_baseFilename("baseFilename"), n_formatter("formatter"), n_path("path"),
    n_abspath("abspath"), n_mode("mode"), n_platform("TAVOLA_PLATFORM"),
    n_velox("velox"), n_get_velox_logger("_get_velox_logger"), n_get_logger("get_logger"),
    n_logger_append_file("logger_append_file");

// logging.Formatter(fmt=<record format>, datefmt=None)
Ref make_formatter(PyObject* logging) {
    static const Name record_format(kRecordFormat);
    return call_method_kw(logging, n_Formatter, {}, {{n_fmt, record_format}, {n_datefmt, Py_None}});
}

// ==== _get_velox_logger ======================================================

Ref get_velox_logger(PyObject*) {
    static const Name on("123");
    Ref environ = getattr(module::global(n_os).get(), n_environ);
    Ref value = call_method(environ.get(), n_get, n_platform.get());
    if (!equal(value.get(), on)) return none();

    // from velox import logger
    Ref fromlist = tuple(n_logger.get());
    PyObject* mod = PyImport_ImportModuleLevelObject(n_velox, module::ns(), nullptr,
                                                     fromlist.get(), 0);
    // A velox without `logger` fails the import as an ImportError would.
    if (Ref velox = check_or_null(mod, PyExc_ImportError))
        if (Ref found = getattr_opt(velox.get(), n_logger)) return found;
    static const Name message("velox not installed, use default logger");
    Ref stderr_ = getattr(module::global(n_sys).get(), n_stderr);
    call_kw(module::global(n_print).get(), {message}, {{n_file, stderr_.get()}});
    return none();
}

// ==== get_logger =============================================================

const Signature get_logger_params{"get_logger", {"name"}, 1};

Ref get_logger(PyObject*, PyObject* args, PyObject* kwargs) {
    Bound<1> a(get_logger_params, args, kwargs);
    PyObject* name = a[0];
    require_str("get_logger", "name", name);

    Ref platform = call(module::global(n_get_velox_logger).get());
    if (truthy(platform.get())) return platform;

    Ref logging = module::global(n_logging);
    Ref formatter = make_formatter(logging.get());
    Ref out = getattr(module::global(n_sys).get(), n_stdout);
    Ref handler = call(getattr(logging.get(), n_StreamHandler).get(), out.get());
    call_method(handler.get(), n_setFormatter, formatter.get());

    static const Name prefix("QRX_");
    Ref full_name = check(PyUnicode_Concat(prefix, name));
    Ref logger = call_method(logging.get(), n_getLogger, full_name.get());
    if (!truthy(getattr(logger.get(), n_handlers).get())) {
        call_method(logger.get(), n_setLevel, getattr(logging.get(), n_INFO).get());
        call_method(logger.get(), n_addHandler, handler.get());
    }
    return logger;
}

// ==== logger_append_file =====================================================

const Signature append_params{"logger_append_file", {"logger", "file_name"}, 2};

Ref logger_append_file(PyObject*, PyObject* args, PyObject* kwargs) {
    Bound<2> a(append_params, args, kwargs);
    PyObject* logger = a[0];
    require_str("logger_append_file", "file_name", a[1]);

    Ref logging = module::global(n_logging);
    Ref file_handler_cls = getattr(logging.get(), n_FileHandler);
    Ref log_file_names = list();
    {
        Ref handlers = iter(getattr(logger, n_handlers).get());
        while (Ref h = next(handlers.get()))
            if (isinstance(h.get(), file_handler_cls.get()))
                append(log_file_names.get(), getattr(h.get(), n_baseFilename).get());
    }
    Ref path = getattr(module::global(n_os).get(), n_path);
    Ref file_name = call_method(path.get(), n_abspath, a[1]);

    if (check_int(PySequence_Contains(log_file_names.get(), file_name.get()))) {
        // Reported by the logger being extended, not the module logger: the
        // duplicate belongs to that logger's own configuration.
        static const Name duplicate(
            "logging[%s] file handler already existed, skipped. ori handlers=%s new file=%s ");
        call_method(logger, n_warning, duplicate.get(), logger,
                    getattr(logger, n_handlers).get(), file_name.get());
        return Ref::borrow(logger);
    }

    Ref formatter;
    Ref handlers = getattr(logger, n_handlers);
    if (truthy(handlers.get())) {
        Ref first = get_item(handlers.get(), integer(0).get());
        formatter = getattr(first.get(), n_formatter);
    } else {
        formatter = make_formatter(logging.get());
    }
    static const Name append_mode("a");
    Ref handler = call_kw(file_handler_cls.get(), {file_name.get()}, {{n_mode, append_mode}});
    call_method(handler.get(), n_setFormatter, formatter.get());
    call_method(logger, n_addHandler, handler.get());
    return Ref::borrow(logger);
}

// ==== get_file_logger ========================================================

const Signature file_logger_params{"get_file_logger", {"name", "file_name"}, 2};

Ref get_file_logger(PyObject*, PyObject* args, PyObject* kwargs) {
    Bound<2> a(file_logger_params, args, kwargs);
    require_str("get_file_logger", "name", a[0]);
    Ref logger = call(module::global(n_get_logger).get(), a[0]);
    return call(module::global(n_logger_append_file).get(), logger.get(), a[1]);
}

PyMethodDef defs[] = {
    CU_NOARGS_SIG("_get_velox_logger", get_velox_logger, "()",
                  "The platform logger when TAVOLA_PLATFORM is \"123\" and it can be imported, "
                  "else None."),
    CU_VARARGS_SIG("get_logger", get_logger, "(name)",
                   "The logger registered as \"QRX_\" + name, configured on first use with "
                   "level INFO and one standard-output handler."),
    CU_VARARGS_SIG("logger_append_file", logger_append_file, "(logger, file_name)",
                   "Adds an append-mode file handler for file_name, once per absolute path."),
    CU_VARARGS_SIG("get_file_logger", get_file_logger, "(name, file_name)",
                   "get_logger(name) with a file handler for file_name."),
    CU_END,
};

}  // namespace

CU_FUNCTIONS(defs,
             {{"get_logger", {{"name", "str"}, {"return", "logging.Logger"}}},
              {"logger_append_file",
               {{"logger", "logging.Logger"}, {"file_name", "str"}, {"return", "logging.Logger"}}},
              {"get_file_logger", {{"name", "str"}, {"return", "logging.Logger"}}}});

}  // namespace cu::log
