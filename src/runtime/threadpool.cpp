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

namespace cu::runtime {

namespace {

const Name n_functools("functools"), n_partial("partial"), n_anyio("anyio"),
    n_to_thread("to_thread"), n_run_sync("run_sync"), n___await__("__await__"),
    n_send("send"), n___next__("__next__"), n_func("func");

Keep g_coroutine_type;      // the type of the objects run_in_threadpool returns
Keep g_native_coroutine;    // types.CoroutineType: driven directly, without __await__

// ==== the coroutine object ===================================================

struct ThreadCall : Generator<ThreadCall> {
    static constexpr const char* full_name = "common_utils.common_utils.threadpool_coroutine";
    static constexpr bool coroutine = true;

    Ref call;     // (func, *args) until the first step
    Ref kwargs;   // keywords bound to func through functools.partial, or null
    Ref inner;    // iterator of the awaited run_sync(...) while suspended in it
    Ref step;     // inner.send, or inner.__next__ for an iterator without send
    bool direct = false;   // call = (factory, *args): the awaitable is factory(*args)
    bool step_is_send = true;

    auto refs() { return std::tie(call, kwargs, step, inner); }
    const char* name() const { return "run_in_threadpool"; }
    PyObject* delegate() const noexcept { return inner.get(); }

    // One step of the inner awaitable.  Its StopIteration passes through
    // untouched, so its value (the result of func, a tuple included) reaches
    // the awaiting code as it is.
    Ref advance(PyObject* value) {
        if (call) start();
        Ref method = step, awaited = inner;
        if (step_is_send) return cu::call(method.get(), value);
        if (value == Py_None) return cu::call(method.get());
        return call_method(awaited.get(), n_send, value);
    }

private:
    // Creates the inner awaitable.  functools and anyio are read from the
    // module namespace here, when the coroutine is first awaited.
    void start() {
        Ref args = std::move(call);
        Ref keywords = std::move(kwargs);
        if (keywords) {
            Ref partial = getattr(module::global(n_functools).get(), n_partial);
            Ref func_only = tuple(PyTuple_GetItem(args.get(), 0));
            Ref bound = call_args(partial.get(), func_only.get(), keywords.get());
            Py_ssize_t n = PyTuple_Size(args.get());
            Ref replaced = check(PyTuple_New(n));
            PyTuple_SetItem(replaced.get(), 0, bound.release());
            for (Py_ssize_t i = 1; i < n; ++i)
                PyTuple_SetItem(replaced.get(), i, Ref::borrow(PyTuple_GetItem(args.get(), i)).release());
            args = std::move(replaced);
        }
        Ref awaitable;
        if (direct) {
            Py_ssize_t n = PyTuple_Size(args.get());
            Ref rest = check(PyTuple_GetSlice(args.get(), 1, n));
            awaitable = call_args(PyTuple_GetItem(args.get(), 0), rest.get());
        } else {
            Ref to_thread = getattr(module::global(n_anyio).get(), n_to_thread);
            Ref run_sync = getattr(to_thread.get(), n_run_sync);
            awaitable = call_args(run_sync.get(), args.get());
        }

        Ref it;
        if ((PyObject*)Py_TYPE(awaitable.get()) == g_native_coroutine.get()) {
            it = std::move(awaitable);  // has send/throw/close itself; skip its wrapper
        } else {
            Ref await_method = getattr_opt(awaitable.get(), n___await__);
            if (!await_method)
                raisef(PyExc_TypeError, "object %s can't be used in 'await' expression",
                       type_name(awaitable.get()).c_str());
            it = cu::call(await_method.get());
        }
        Ref next_step = getattr_opt(it.get(), n_send);
        bool is_send = bool(next_step);
        if (!is_send) {
            next_step = getattr_opt(it.get(), n___next__);
            if (!next_step)
                raisef(PyExc_TypeError, "__await__() returned non-iterator of type '%s'",
                       type_name(it.get()).c_str());
        }
        inner = std::move(it);
        step = std::move(next_step);
        step_is_send = is_send;
    }
};

// The type is made at the first coroutine, which either entry may ask for.
Ref new_coroutine(Ref call_args, Ref kwargs) {
    if (!g_coroutine_type) g_coroutine_type.set(GeneratorType<ThreadCall>::make_type());
    Ref self = Native<ThreadCall>::make(g_coroutine_type);
    ThreadCall& c = Native<ThreadCall>::fields(self.get());
    c.call = std::move(call_args);
    c.kwargs = std::move(kwargs);
    return self;
}

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
    Ref func = call_kw(parameter.get(), {n_func, kind.get()}, {{n_annotation, n_Callable}});
    Ref args = call(parameter.get(), n_args.get(), getattr(parameter.get(), n_VAR_POSITIONAL).get());
    Ref kwargs = call(parameter.get(), n_kwargs.get(), getattr(parameter.get(), n_VAR_KEYWORD).get());
    Ref params = tuple(func.get(), args.get(), kwargs.get());
    return call(getattr(inspect, n_Signature).get(), params.get());
}

Ref make_run_in_threadpool() {
    static const Name n_asyncio("asyncio"), n_coroutines("coroutines"),
        n__is_coroutine("_is_coroutine"), n_markcoroutinefunction("markcoroutinefunction"),
        n___signature__("__signature__"), n___annotations__("__annotations__"),
        n___doc__("__doc__"), n_CoroutineType("CoroutineType"),
        n_Callable("Callable");

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
    Ref self = new_coroutine(std::move(factory_call), Ref());
    Native<ThreadCall>::fields(self.get()).direct = true;
    return self;
}

CU_DEFINITION("run_in_threadpool", make_run_in_threadpool);

}  // namespace cu::runtime
