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

const Signature error_params{"__init__", {"message", "out_data"}, 0, true};

Ref error_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    Bound<2> a(error_params, args, kwargs);
    static const Name default_message("Stop the execution and return directly");
    setattr(self, n_message, a.get(0, default_message));
    setattr(self, n_out_data, a.get(1, Py_None));
    Ref message = getattr(self, n_message);
    call_super(g_stop_run_error.get(), self, n___init__, message.get());
    return none();
}

PyMethodDef error_methods[] = {
    CU_VARARGS_SIG("__init__", error_init,
                   "($self, /, message='Stop the execution and return directly', out_data=None)",
                   ""),
    CU_END,
};

Ref make_stop_run_error() {
    return make_subclass("StopRunError", PyExc_Exception, error_methods,
                         "Ends a pipeline run early; out_data is what the run returns.",
                         &g_stop_run_error);
}

// ==== StopRunProcessor =======================================================

const Signature process_params{"process", {"in_data"}, 0};

Ref stop_process(PyObject* self, PyObject* args, PyObject* kwargs) {
    Ref rest_args, rest_kwargs;
    Bound<1> a(process_params, args, kwargs, &rest_args, &rest_kwargs);
    if (PyTuple_Size(rest_args.get()))
        raisef(PyExc_TypeError, "process() takes from 1 to 2 positional arguments but %zd were given",
               PyTuple_Size(args) + 1);
    Ref cls = module::global(n_StopRunError);
    // "stop by %s" % self._name: the name is the format's argument itself.
    static const Name fmt("stop by %s");
    Ref message = check(PyUnicode_Format(fmt, getattr(self, n__name).get()));
    Ref error = call_kw(cls.get(), {message.get()}, {{n_out_data, a.get(0, Py_None)}});
    if (!PyExceptionInstance_Check(error.get()))
        raise(PyExc_TypeError, "exceptions must derive from BaseException");
    PyErr_SetObject((PyObject*)Py_TYPE(error.get()), error.get());
    throw_error();
}

PyMethodDef stop_methods[] = {
    CU_VARARGS_SIG("process", stop_process, "($self, /, in_data=None, **kwargs)",
                   "Raises StopRunError(\"stop by <name>\", out_data=in_data)."),
    CU_END,
};

Ref make_stop_run_processor() {
    return make_subclass("StopRunProcessor", module::global(n_ProcessorBase).get(), stop_methods,
                         "A step that stops the run, returning its input.");
}

}  // namespace

CU_DEFINITION("StopRunError", make_stop_run_error);
CU_DEFINITION("StopRunProcessor", make_stop_run_processor);

}  // namespace cu::pipeline
