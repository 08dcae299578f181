// ContextProcessor: a Processor whose step module, model arguments and step
// list may each be named by reference, so that a job can describe its whole
// pipeline in configuration.
#include "pipeline.hpp"
#include "../bridge/args.hpp"
#include "../bridge/call_site.hpp"
#include "../bridge/entry.hpp"
#include "../logging/log.hpp"

namespace cu::pipeline {

Keep g_context_processor;

namespace {

const Name n_importlib("importlib"), n_import_module("import_module"), n_logging("logging"),
    n_FileHandler("FileHandler"), n_handlers("handlers"), n_baseFilename("baseFilename"),
    n_logger_append_file("logger_append_file"), n_file_name("file_name"), n_setLevel("setLevel"),
    n_level("level"), n_init_default_parser("init_default_parser"),
    n_set_defaults("set_defaults"), n_parse_known_args("parse_known_args"), n_module("module"),
    n_Processor("Processor"), n_sys("sys");

Keep g_default_module;  // sys.modules['__main__'] when the class was defined

// The step module by its import path; a module that logs through its own
// `logger` is given this module's log files and level.
Ref import_steps_module(PyObject* module_ref) {
    Ref importlib = module::global(n_importlib);
    Ref imported;
    try {
        imported = call_method(importlib.get(), n_import_module, module_ref);
    } catch (Error& err) {
        if (!err.matches(PyExc_ImportError)) throw;
        Handling handling(err);
        static const Name fmt("can't find package[%s]");
        raise(PyExc_ImportError, check(PyUnicode_Format(fmt, module_ref)).get());
    }
    Ref own_logger = getattr_opt(imported.get(), log::n_logger);
    if (own_logger && truthy(own_logger.get())) {
        Ref logger = module::global(log::n_logger);
        Ref file_handler = getattr(module::global(n_logging).get(), n_FileHandler);
        Ref handlers = iter(getattr(logger.get(), n_handlers).get());
        while (Ref handler = next(handlers.get())) {
            if (!isinstance(handler.get(), file_handler.get())) continue;
            Ref file_name = getattr(handler.get(), n_baseFilename);
            Ref append_file = module::global(n_logger_append_file);
            Ref target = getattr(imported.get(), log::n_logger);
            Ref appended = call_kw(append_file.get(), {target.get()},
                                   {{n_file_name, file_name.get()}});
            setattr(imported.get(), log::n_logger, appended.get());
        }
        call_method(getattr(imported.get(), log::n_logger).get(), n_setLevel,
                    getattr(logger.get(), n_level).get());
    }
    CU_LOG(info, "ContextProcessor import module `%s` success", imported.get());
    return imported;
}

// The section `model_args_ref` of the model arguments as parser defaults,
// under the process's own command line.
Ref section_with_command_line(PyObject* model_args, PyObject* model_args_ref) {
    Ref section = getattr(model_args, model_args_ref);
    Ref parser = call(module::global(n_init_default_parser).get());
    call_method_star_kwargs(parser.get(), n_set_defaults, section.get());
    Ref parsed = call_method(parser.get(), n_parse_known_args);
    Ref namespace_ = get_item(parsed.get(), integer(0).get());
    CU_LOG(info, "ContextProcessor load model_args_ref=%s success, model_args=%s", model_args_ref,
           namespace_.get());
    return namespace_;
}

bool given(PyObject* ref) { return ref != Py_None && PyUnicode_GetLength(ref) > 0; }

const Signature init_params{"__init__",
                            {"processors", "module", "model_args", "processors_ref", "module_ref",
                             "model_args_ref"},
                            0,
                            true};

Ref context_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    Ref extra_args, kw;
    Bound<6> a(init_params, args, kwargs, &extra_args, &kw);
    Ref processors = Ref::borrow(a.get(0, Py_None));
    Ref module = Ref::borrow(a.get(1, g_default_module));
    Ref model_args = Ref::borrow(a.get(2, Py_None));
    for (std::size_t i = 3; i < 6; ++i)
        if (a[i] && a[i] != Py_None) require_str("__init__", init_params.names[i].text(), a[i]);
    PyObject *processors_ref = a.get(3, Py_None), *module_ref = a.get(4, Py_None),
             *model_args_ref = a.get(5, Py_None);

    if (given(module_ref)) module = import_steps_module(module_ref);
    if (given(model_args_ref))
        model_args = section_with_command_line(model_args.get(), model_args_ref);
    if (given(processors_ref)) {
        processors = getattr(model_args.get(), processors_ref);
        CU_LOG(info, "ContextProcessor reset by processors_ref=%s, processors=%s", processors_ref,
               processors.get());
    }

    // super().__init__(processors, *args, model_args=model_args, module=module, **kwargs)
    Ref pos = prepend(processors.get(), extra_args.get());
    Ref call_kw = cu::keywords({{n_model_args, model_args.get()}, {n_module, module.get()}});
    check_int(PyDict_Update(call_kw.get(), kw.get()));
    super_init(g_context_processor, self, pos.get(), call_kw.get());
    return none();
}

PyMethodDef methods[] = {
    CU_VARARGS_SIG("__init__", context_init,
                   "($self, /, processors=None, module=None, model_args=None, "
                   "processors_ref=None, module_ref=None, model_args_ref=None, *args, "
                   "**kwargs)",
                   "A Processor whose module, model arguments and steps may be given by "
                   "reference: an import path, a section of model_args merged with the "
                   "command line, an entry of the model arguments."),
    CU_END,
};

Ref make_context_processor() {
    static const Name n_modules("modules"), n_main("__main__");
    Ref modules = getattr(module::global(n_sys).get(), n_modules);
    g_default_module.set(get_item(modules.get(), n_main));
    return make_subclass("ContextProcessor", module::global(n_Processor).get(), methods,
                         "A pipeline whose context is given by reference.", &g_context_processor);
}

}  // namespace

CU_DEFINITION("ContextProcessor", make_context_processor);

}  // namespace cu::pipeline
