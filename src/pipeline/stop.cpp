// The stop signal: StopRunError ends a run early and carries the output to
// return; StopRunProcessor is the ready-made step that raises it.
#include "pipeline.hpp"
#include "../bridge/args.hpp"
#include "../bridge/entry.hpp"

namespace cu::pipeline {

Keep g_stop_run_error;

namespace {

const Name n_message("message"), n_out_data("out_data"), n_StopRunError("StopRunError");

// ==== StopRunError ===========================================================

const Name error_names[] = {Name("message"), Name("out_data")};
const Params error_params{"__init__", error_names, 2, 0, true};

Ref error_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[2];
    bind(error_params, args, kwargs, a);
    static const Name default_message("Stop the execution and return directly");
    setattr(self, n_message, a[0] ? a[0] : default_message.get());
    setattr(self, n_out_data, a[1] ? a[1] : Py_None);
    Ref message = getattr(self, n_message);
    call_super(g_stop_run_error.get(), self, n___init__, message.get());
    return none();
}

PyMethodDef error_methods[] = {
    CU_VARARGS("__init__", error_init,
               "__init__($self, /, message='Stop the execution and return directly', "
               "out_data=None)\n--\n\n"),
    CU_END,
};

Ref make_stop_run_error() {
    Ref bases = tuple(PyExc_Exception);
    Ref cls = make_class("StopRunError", bases.get(), error_methods,
                         "Ends a pipeline run early; out_data is what the run returns.");
    g_stop_run_error.set(cls);
    return cls;
}

// ==== StopRunProcessor =======================================================

const Name process_names[] = {Name("in_data")};
const Params process_params{"process", process_names, 1, 0};

Ref stop_process(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* in_data;
    Ref rest_args, rest_kwargs;
    bind_var(process_params, args, kwargs, &in_data, &rest_args, &rest_kwargs);
    if (PyTuple_Size(rest_args.get()))
        raisef(PyExc_TypeError, "process() takes from 1 to 2 positional arguments but %zd were given",
               PyTuple_Size(args) + 1);
    Ref keep_in_data = Ref::borrow(in_data ? in_data : Py_None);
    Ref cls = module::global(n_StopRunError);
    // "stop by %s" % self._name: the name is the format's argument itself.
    static const Name fmt("stop by %s");
    Ref message = check(PyUnicode_Format(fmt, getattr(self, n__name).get()));
    Ref error = call_kw(cls.get(), {message.get()}, {{n_out_data, keep_in_data.get()}});
    if (!PyExceptionInstance_Check(error.get()))
        raise(PyExc_TypeError, "exceptions must derive from BaseException");
    PyErr_SetObject((PyObject*)Py_TYPE(error.get()), error.get());
    throw_error();
}

PyMethodDef stop_methods[] = {
    CU_VARARGS("process", stop_process,
               "process($self, /, in_data=None, **kwargs)\n--\n\n"
               "Raises StopRunError(\"stop by <name>\", out_data=in_data)."),
    CU_END,
};

Ref make_stop_run_processor() {
    Ref bases = tuple(module::global(n_ProcessorBase).get());
    return make_class("StopRunProcessor", bases.get(), stop_methods,
                      "A step that stops the run, returning its input.");
}

}  // namespace

CU_DEFINITION("StopRunError", make_stop_run_error);
CU_DEFINITION("StopRunProcessor", make_stop_run_processor);

}  // namespace cu::pipeline
