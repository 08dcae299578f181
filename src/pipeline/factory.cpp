// _create_processor: turns one step description (a processor object, a
// processor class, a callable or the name of one) into a processor object.
#include "pipeline.hpp"
#include "../bridge/args.hpp"
#include "../bridge/call_site.hpp"
#include "../bridge/entry.hpp"
#include "../logging/log.hpp"

namespace cu::pipeline {

namespace {

const Name n_sys("sys"), n_modules("modules"), n___name__g("__name__"), n_copy("copy"),
    n_deepcopy("deepcopy"), n_init_function_object("init_function_object"), n_keys("keys");

// `**kwargs` of a call site: an exact dict goes as it is (the callee gets its
// own copy of what it binds), anything else is merged as the interpreter does.
Ref as_kwargs(PyObject* kwargs, const Callee& callee) {
    if (PyDict_CheckExact(kwargs) && has_only_str_keys(kwargs)) return Ref::borrow(kwargs);
    Ref d = dict();
    star_kwargs(d.get(), kwargs, callee);
    return d;
}

// getattr(module, name); on AttributeError this module's own namespace, as
// registered in sys.modules, with the look-up failure as the exception being
// handled (it becomes the context of a NotImplementedError).
Ref name_lookup(PyObject* name, PyObject* module) {
    PyObject* found = PyObject_GetAttr(module, name);
    if (found) return Ref::steal(found);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
    Error missing;
    Handling handling(missing);
    Ref modules = getattr(module::global(n_sys).get(), n_modules);
    Ref self_module = get_item(modules.get(), module::global(n___name__g).get());
    Ref own = getattr_opt(self_module.get(), name);
    if (!own) own = none();
    if (!truthy(own.get())) raisef(PyExc_NotImplementedError, "can't find processor '%U'", name);
    return own;
}

const Signature create_params{"_create_processor", {"processor", "module", "args", "kwargs"}, 4};

Ref create_processor(PyObject*, PyObject* call_args_, PyObject* call_kwargs) {
    Bound<4> a(create_params, call_args_, call_kwargs);
    PyObject *args = a[2], *kwargs = a[3];
    Ref processor = Ref::borrow(a[0]);
    if (PyUnicode_Check(processor.get())) processor = name_lookup(processor.get(), a[1]);

    if (isinstance(processor.get(), module::global(n_ProcessorBase).get())) {
        if (!hasattr(processor.get(), n_init_function_object)) return processor;
        Ref copy = call_method(module::global(n_copy).get(), n_deepcopy, processor.get());
        Ref method = getattr(copy.get(), n_init_function_object);
        Callee callee{method.get()};
        Ref pos = star_args(args, callee);
        call_args(method.get(), pos.get(), as_kwargs(kwargs, callee).get());
        return copy;
    }

    if (Py_TYPE(processor.get()) == &PyType_Type &&
        issubclass(processor.get(), module::global(n_ProcessorBase).get())) {
        CU_LOG(debug, "create `%s` object args=%s kwargs=%s", processor.get(), args,
               call_method(kwargs, n_keys).get());
        Callee callee{processor.get()};
        Ref pos = star_args(args, callee);
        return call_args(processor.get(), pos.get(), as_kwargs(kwargs, callee).get());
    }

    if (PyCallable_Check(processor.get())) {
        CU_LOG(debug, "wrap function `%s()` by FunctionProcessor",
               getattr(processor.get(), n___name__).get());
        return call(module::global(n_FunctionProcessor).get(), processor.get());
    }

    CU_LOG(error, "bad processor name: %s", processor.get());
    Ref text = str_of(processor.get());
    raisef(PyExc_NotImplementedError, "create error! can't find processor '%U'", text.get());
}

PyMethodDef defs[] = {
    CU_VARARGS_SIG("_create_processor", create_processor, "(processor, module, args, kwargs)",
                   "A processor object for one step description."),
    CU_END,
};

}  // namespace

CU_FUNCTIONS(defs, {{"_create_processor",
                     {{"processor", "Union[ProcessorBase, Callable, str]"},
                      {"module", "ModuleType"},
                      {"return", "object"}}}});

}  // namespace cu::pipeline
