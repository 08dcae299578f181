// Environment probes: is_ipython, is_async_context, is_async_callable.
#include "../bridge/args.hpp"
#include "../bridge/entry.hpp"
#include "../bridge/module.hpp"

namespace cu::runtime {

namespace {

const Name n___builtins__("__builtins__"), n___IPYTHON__("__IPYTHON__"), n_asyncio("asyncio"),
    n_get_running_loop("get_running_loop"), n_iscoroutinefunction("iscoroutinefunction"),
    n_functools("functools"), n_partial("partial"), n_func("func"), n___call__("__call__");

// ==== is_ipython =============================================================

Ref is_ipython(PyObject*) {
    // A namespace binding of __builtins__ wins, as it would for a Python
    // module; it may be the builtins module or its dict.
    if (PyObject* bound = module::lookup(n___builtins__)) {
        Ref keep = Ref::borrow(bound);
        if (PyDict_Check(bound)) return boolean(dict_get(bound, n___IPYTHON__) != nullptr);
        return boolean(hasattr(bound, n___IPYTHON__));
    }
    PyObject* builtins = check_borrowed(PyEval_GetBuiltins());
    return boolean(dict_get(builtins, n___IPYTHON__) != nullptr);
}

// ==== is_async_context =======================================================

Ref is_async_context(PyObject*) {
    Ref asyncio = module::global(n_asyncio);
    Ref loop = check_or_null(PyObject_CallMethodObjArgs(asyncio.get(), n_get_running_loop, nullptr),
                             PyExc_RuntimeError);
    return boolean(bool(loop));
}

// ==== is_async_callable ======================================================

const Signature is_async_callable_params{"is_async_callable", {"obj"}, 1};

Ref is_async_callable(PyObject*, PyObject* args, PyObject* kwargs) {
    Bound<1> a(is_async_callable_params, args, kwargs);
    Ref obj = Ref::borrow(a[0]);

    Ref partial = getattr(module::global(n_functools).get(), n_partial);
    while (isinstance(obj.get(), partial.get())) {
        // A partial can be made to wrap itself through __setstate__; keep
        // such a loop interruptible.
        if (PyErr_CheckSignals() < 0) throw_error();
        obj = getattr(obj.get(), n_func);
    }

    Ref iscoroutinefunction = getattr(module::global(n_asyncio).get(), n_iscoroutinefunction);
    Ref direct = call(iscoroutinefunction.get(), obj.get());
    if (truthy(direct.get())) return direct;
    if (!PyCallable_Check(obj.get())) return boolean(false);
    Ref dunder_call = getattr(obj.get(), n___call__);
    return call(iscoroutinefunction.get(), dunder_call.get());
}

PyMethodDef defs[] = {
    CU_NOARGS_SIG("is_ipython", is_ipython, "()",
                  "True when the interpreter is an IPython shell or kernel."),
    CU_NOARGS_SIG("is_async_context", is_async_context, "()",
                  "True when an asyncio event loop is running in the current thread."),
    CU_VARARGS_SIG("is_async_callable", is_async_callable, "(obj)",
                   "True for a coroutine function, a partial of one, or an object whose "
                   "__call__ is one."),
    CU_END,
};

}  // namespace

CU_FUNCTIONS(defs, {{"is_async_callable", {{"obj", "Any"}, {"return", "bool"}}}});

}  // namespace cu::runtime
