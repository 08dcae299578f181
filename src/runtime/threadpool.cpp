// run_in_threadpool: runs a synchronous callable in an anyio worker thread and
// hands its result to the awaiting coroutine.
//
// Calling run_in_threadpool returns a coroutine-like C object rather than a
// coroutine of compiled Python code: the concurrent pipeline makes one per
// step or item, and a C object is both cheaper to create and cheaper to drive.
// It awaits `anyio.to_thread.run_sync(func, *args)` the way `yield from`
// would: every send, throw and close goes to that inner awaitable, so a task
// cancellation (asyncio.wait_for) reaches anyio through throw.  Nothing is
// looked up or run before the first step; an object that is never awaited is
// released without a trace.
#include "../bridge/closure.hpp"
#include "../bridge/entry.hpp"
#include "../bridge/generator.hpp"
#include "../bridge/module.hpp"
#include "concurrent.hpp"

#include <new>

namespace cu::runtime {

namespace {

const Name n_functools("functools"), n_partial("partial"), n_anyio("anyio"),
    n_to_thread("to_thread"), n_run_sync("run_sync"), n___await__("__await__"),
    n_send("send"), n___next__("__next__"), n_throw("throw"), n_close("close"), n_func("func"),
    n_name("run_in_threadpool");

Keep g_coroutine_type;      // the type of the objects run_in_threadpool returns
Keep g_native_coroutine;    // types.CoroutineType: driven directly, without __await__

// ==== the coroutine object ===================================================

enum class State : unsigned char { fresh, suspended, finished };

struct Fields {
    Ref call;     // (func, *args) until the first step
    Ref kwargs;   // keywords bound to func through functools.partial, or null
    Ref inner;    // iterator of the awaited run_sync(...) while suspended in it
    Ref step;     // inner.send, or inner.__next__ for an iterator without send
    State state = State::fresh;
    bool direct = false;   // call = (factory, *args): the awaitable is factory(*args)
    bool step_is_send = true;
    bool running = false;  // inside a call into `inner`: reentry is refused
};

struct CoroutineObject {
    PyObject_HEAD
    Fields f;
};

Fields& fields(PyObject* self) { return reinterpret_cast<CoroutineObject*>(self)->f; }

Ref new_coroutine(Ref call_args, Ref kwargs) {
    Ref self = check(PyType_GenericAlloc((PyTypeObject*)g_coroutine_type.get(), 0));
    Fields* f = new (&fields(self.get())) Fields();
    f->call = std::move(call_args);
    f->kwargs = std::move(kwargs);
    return self;
}

// Drops everything the coroutine holds; it can only raise from now on.
// Ref assignment empties each field before its old value is released.
void finish(Fields& f) noexcept {
    f.state = State::finished;
    f.call = nullptr;
    f.kwargs = nullptr;
    f.step = nullptr;
    f.inner = nullptr;
}

PyObject* already_executing() noexcept {
    PyErr_SetString(PyExc_ValueError, "coroutine already executing");
    return nullptr;
}

// Creates the inner awaitable.  functools and anyio are read from the module
// namespace here, when the coroutine is first awaited.
void start(Fields& f) {
    Ref call_args = f.call;
    Ref kwargs = f.kwargs;
    f.call = nullptr;
    f.kwargs = nullptr;
    if (kwargs) {
        Ref partial = getattr(module::global(n_functools).get(), n_partial);
        Ref func_only = tuple(PyTuple_GetItem(call_args.get(), 0));
        Ref bound = cu::call_args(partial.get(), func_only.get(), kwargs.get());
        Py_ssize_t n = PyTuple_Size(call_args.get());
        Ref replaced = check(PyTuple_New(n));
        PyTuple_SetItem(replaced.get(), 0, bound.release());
        for (Py_ssize_t i = 1; i < n; ++i)
            PyTuple_SetItem(replaced.get(), i, Ref::borrow(PyTuple_GetItem(call_args.get(), i)).release());
        call_args = std::move(replaced);
    }
    Ref awaitable;
    if (f.direct) {
        Py_ssize_t n = PyTuple_Size(call_args.get());
        Ref rest = check(PyTuple_GetSlice(call_args.get(), 1, n));
        awaitable = cu::call_args(PyTuple_GetItem(call_args.get(), 0), rest.get());
    } else {
        Ref to_thread = getattr(module::global(n_anyio).get(), n_to_thread);
        Ref run_sync = getattr(to_thread.get(), n_run_sync);
        awaitable = cu::call_args(run_sync.get(), call_args.get());
    }

    Ref inner;
    if ((PyObject*)Py_TYPE(awaitable.get()) == g_native_coroutine.get()) {
        inner = std::move(awaitable);  // has send/throw/close itself; skip its wrapper
    } else {
        Ref await_method = getattr_opt(awaitable.get(), n___await__);
        if (!await_method)
            raisef(PyExc_TypeError, "object %s can't be used in 'await' expression",
                   type_name(awaitable.get()).c_str());
        inner = call(await_method.get());
    }
    Ref step = getattr_opt(inner.get(), n_send);
    bool is_send = bool(step);
    if (!is_send) {
        step = getattr_opt(inner.get(), n___next__);
        if (!step)
            raisef(PyExc_TypeError, "__await__() returned non-iterator of type '%s'",
                   type_name(inner.get()).c_str());
    }
    f.inner = std::move(inner);
    f.step = std::move(step);
    f.step_is_send = is_send;
    f.state = State::suspended;
}

// One step: a value to yield to the event loop, or null with an error set.
// The inner StopIteration passes through untouched, so its value (the
// result of func, a tuple included) reaches the awaiting code as it is.
PyObject* resume(Fields& f, PyObject* value) {
    if (f.running) return already_executing();
    if (f.state == State::finished)
        raise(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
    if (f.state == State::fresh) {
        if (value != Py_None)
            raise(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
        f.running = true;  // the look-ups and run_sync(...) run Python code
        try {
            start(f);
        } catch (...) {
            f.running = false;
            finish(f);
            throw;
        }
        f.running = false;
    }
    Ref step = f.step;
    Ref inner = f.inner;
    PyObject* send_name = n_send.get();
    f.running = true;
    PyObject* out;
    if (f.step_is_send)
        out = PyObject_CallFunctionObjArgs(step.get(), value, nullptr);
    else if (value == Py_None)
        out = PyObject_CallFunctionObjArgs(step.get(), nullptr);
    else
        out = PyObject_CallMethodObjArgs(inner.get(), send_name, value, nullptr);
    f.running = false;
    if (!out) finish(f);
    return out;
}

// Calls close() of the suspended inner awaitable, when it has one.  False,
// with the error set and the coroutine finished, when close() failed.
bool close_inner(Fields& f) {
    Ref inner = f.inner;
    Ref closer;
    try {
        closer = getattr_opt(inner.get(), n_close);
    } catch (...) {
        finish(f);
        throw;
    }
    if (!closer) return true;
    f.running = true;
    Ref closed = Ref::steal(PyObject_CallFunctionObjArgs(closer.get(), nullptr));
    f.running = false;
    if (!closed) finish(f);
    return bool(closed);
}

PyObject* throw_into(Fields& f, PyObject* args) {
    if (f.running) return already_executing();
    PyObject *typ, *val = nullptr, *tb = nullptr;
    if (!PyArg_UnpackTuple(args, "throw", 1, 3, &typ, &val, &tb)) return nullptr;
    if (f.state == State::suspended) {
        Ref inner = f.inner;
        if (PyErr_GivenExceptionMatches(typ, PyExc_GeneratorExit)) {
            // As `yield from` does: close the inner awaitable, then let
            // GeneratorExit end this coroutine.
            if (!close_inner(f)) return nullptr;
        } else {
            Ref thrower;
            try {
                thrower = getattr_opt(inner.get(), n_throw);
            } catch (...) {
                finish(f);
                throw;
            }
            if (thrower) {
                f.running = true;
                PyObject* out = PyObject_Call(thrower.get(), args, nullptr);
                f.running = false;
                if (!out) finish(f);
                return out;
            }
        }
    }
    finish(f);
    raise_thrown(typ, val, tb);
}

PyObject* close_coroutine(Fields& f) {
    if (f.running) return already_executing();
    if (f.state == State::suspended && !close_inner(f)) return nullptr;
    finish(f);
    return none().release();
}

// ==== slots and methods ======================================================

PyObject* coro_send(PyObject* self, PyObject* value) noexcept {
    try {
        return resume(fields(self), value);
    } catch (...) {
        return translate_exception();
    }
}

PyObject* coro_iternext(PyObject* self) noexcept { return coro_send(self, Py_None); }

PyObject* coro_throw(PyObject* self, PyObject* args) noexcept {
    try {
        return throw_into(fields(self), args);
    } catch (...) {
        return translate_exception();
    }
}

PyObject* coro_close(PyObject* self, PyObject*) noexcept {
    try {
        return close_coroutine(fields(self));
    } catch (...) {
        return translate_exception();
    }
}

PyObject* coro_await(PyObject* self) noexcept {
    Py_INCREF(self);
    return self;
}

PyObject* coro_new(PyTypeObject*, PyObject*, PyObject*) noexcept {
    PyErr_SetString(PyExc_TypeError,
                    "cannot create 'common_utils.common_utils.threadpool_coroutine' instances");
    return nullptr;
}

int coro_traverse(PyObject* self, visitproc visit, void* arg) {
    Fields& f = fields(self);
    Py_VISIT(f.call.get());
    Py_VISIT(f.kwargs.get());
    Py_VISIT(f.inner.get());
    Py_VISIT(f.step.get());
    return 0;
}

int coro_clear(PyObject* self) {
    // A cleared coroutine may still be reached from a finaliser in its cycle:
    // it must then refuse to run rather than step an emptied inner.
    finish(fields(self));
    return 0;
}

void coro_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    coro_clear(self);
    fields(self).~Fields();
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free));
    free_fn(self);
    Py_DECREF(tp);
}

PyObject* get_name(PyObject*, void*) noexcept {
    try {
        return Ref::borrow(n_name.get()).release();
    } catch (...) {
        return translate_exception();
    }
}

PyObject* get_cr_await(PyObject* self, void*) noexcept {
    PyObject* inner = fields(self).inner.get();
    return Ref::borrow(inner ? inner : Py_None).release();
}

PyObject* get_cr_running(PyObject* self, void*) noexcept {
    return boolean(fields(self).running).release();
}

// asyncio's stack helpers read cr_frame; there is no Python frame to show.
PyObject* get_cr_frame(PyObject*, void*) noexcept { return none().release(); }

PyMethodDef coro_methods[] = {
    {"send", (PyCFunction)coro_send, METH_O,
     "send($self, value, /)\n--\n\n"
     "Sends value into the awaited thread call; returns the next value it yields."},
    {"throw", (PyCFunction)coro_throw, METH_VARARGS,
     "throw($self, typ, val=None, tb=None, /)\n--\n\n"
     "Raises an exception in the awaited thread call."},
    {"close", (PyCFunction)coro_close, METH_NOARGS,
     "close($self, /)\n--\n\n"
     "Closes the awaited thread call; the coroutine cannot be resumed afterwards."},
    CU_END,
};

PyGetSetDef coro_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_name, nullptr, nullptr, nullptr},
    {"cr_await", get_cr_await, nullptr, nullptr, nullptr},
    {"cr_running", get_cr_running, nullptr, nullptr, nullptr},
    {"cr_frame", get_cr_frame, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot coro_slots[] = {
    {Py_am_await, (void*)coro_await},         // await returns the object itself
    {Py_tp_iternext, (void*)coro_iternext},   // send(None) for the interpreter
    {Py_tp_methods, coro_methods},            // send, throw, close
    {Py_tp_getset, coro_getset},              // names and cr_* introspection
    {Py_tp_new, (void*)coro_new},             // made by run_in_threadpool only
    {Py_tp_traverse, (void*)coro_traverse},   // GC
    {Py_tp_clear, (void*)coro_clear},         // GC
    {Py_tp_dealloc, (void*)coro_dealloc},     // release
    {0, nullptr},
};

PyType_Spec coro_spec = {
    "common_utils.common_utils.threadpool_coroutine",
    sizeof(CoroutineObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    coro_slots,
};

// ==== run_in_threadpool ======================================================

class RunInThreadpool : public Callback {
public:
    Ref call(PyObject* args, PyObject* kwargs) override {
        Ref keywords;
        if (kwargs && PyDict_Size(kwargs)) keywords = check(PyDict_Copy(kwargs));
        PyObject* by_keyword = keywords ? dict_get(keywords.get(), n_func) : nullptr;
        if (PyTuple_Size(args) > 0) {
            if (by_keyword)
                raise(PyExc_TypeError,
                      "run_in_threadpool() got multiple values for argument 'func'");
            return new_coroutine(Ref::borrow(args), std::move(keywords));
        }
        if (!by_keyword)
            raise(PyExc_TypeError,
                  "run_in_threadpool() missing 1 required positional argument: 'func'");
        Ref call_args = tuple(by_keyword);
        check_int(PyDict_DelItem(keywords.get(), n_func));
        if (PyDict_Size(keywords.get()) == 0) keywords = nullptr;
        return new_coroutine(std::move(call_args), std::move(keywords));
    }
};

// inspect.Signature for (func: "Callable", *args, **kwargs).
Ref make_signature(PyObject* inspect) {
    static const Name n_Parameter("Parameter"), n_Signature("Signature"),
        n_POSITIONAL_OR_KEYWORD("POSITIONAL_OR_KEYWORD"), n_VAR_POSITIONAL("VAR_POSITIONAL"),
        n_VAR_KEYWORD("VAR_KEYWORD"), n_annotation("annotation"), n_args("args"),
        n_kwargs("kwargs"), n_Callable("Callable");
    Ref parameter = getattr(inspect, n_Parameter);
    Ref kind = getattr(parameter.get(), n_POSITIONAL_OR_KEYWORD);
    Ref func_args = tuple(n_func.get(), kind.get());
    Ref func_kw = dict();
    set_item(func_kw.get(), n_annotation, n_Callable);
    Ref func = call_args(parameter.get(), func_args.get(), func_kw.get());
    Ref args = call(parameter.get(), n_args.get(), getattr(parameter.get(), n_VAR_POSITIONAL).get());
    Ref kwargs = call(parameter.get(), n_kwargs.get(), getattr(parameter.get(), n_VAR_KEYWORD).get());
    Ref params = check(PyList_New(0));
    append(params.get(), func.get());
    append(params.get(), args.get());
    append(params.get(), kwargs.get());
    return call(getattr(inspect, n_Signature).get(), params.get());
}

Ref make_run_in_threadpool() {
    static const Name n_asyncio("asyncio"), n_coroutines("coroutines"),
        n__is_coroutine("_is_coroutine"), n_markcoroutinefunction("markcoroutinefunction"),
        n___signature__("__signature__"), n___annotations__("__annotations__"),
        n___doc__("__doc__"), n_CoroutineType("CoroutineType"),
        n_Callable("Callable");

    if (!g_coroutine_type) g_coroutine_type.set(check(PyType_FromSpec(&coro_spec)));
    Ref types = check(PyImport_ImportModule("types"));
    g_native_coroutine.set(getattr(types.get(), n_CoroutineType));

    Ref fn = make_closure(std::make_unique<RunInThreadpool>(), "run_in_threadpool",
                          "run_in_threadpool");
    setattr(fn.get(), n___doc__,
            str("Awaitable: runs func(*args, **kwargs) in a worker thread of the running "
                "event loop and returns its result.").get());
    Ref annotations = dict();
    set_item(annotations.get(), n_func, n_Callable);
    setattr(fn.get(), n___annotations__, annotations.get());

    // asyncio.iscoroutinefunction looks for asyncio's own marker; from 3.12
    // inspect.iscoroutinefunction accepts callables marked by
    // markcoroutinefunction, whose attribute name differs between versions.
    Ref coroutines = getattr(module::global(n_asyncio).get(), n_coroutines);
    if (Ref marker = getattr_opt(coroutines.get(), n__is_coroutine))
        setattr(fn.get(), n__is_coroutine, marker.get());
    Ref inspect = check(PyImport_ImportModule("inspect"));
    if (Ref mark = getattr_opt(inspect.get(), n_markcoroutinefunction)) call(mark.get(), fn.get());

    setattr(fn.get(), n___signature__, make_signature(inspect.get()).get());
    return fn;
}

}  // namespace

Ref deferred_awaitable(Ref factory_call) {
    if (!g_coroutine_type) g_coroutine_type.set(check(PyType_FromSpec(&coro_spec)));
    Ref self = new_coroutine(std::move(factory_call), Ref());
    fields(self.get()).direct = true;
    return self;
}

CU_DEFINITION("run_in_threadpool", make_run_in_threadpool);

}  // namespace cu::runtime
