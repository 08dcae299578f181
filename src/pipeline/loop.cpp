// LoopProcessor: runs a looper pipeline on the input, then the body pipeline
// once per item of what the looper returned, one after the other or all at
// once in worker threads.  FunctionLooper turns a function returning an
// iterable into a template the factory completes with the body; SimpleLooper
// iterates over its input itself.
//
// `_loop_process` is a generator in behaviour: nothing runs until it is
// iterated, and the closing debug line comes only after the last item.  When
// the result is merged into a list anyway and `_loop_process` is the one set
// here, process() builds the list directly: nobody could observe the
// generator in between.
#include "pipeline.hpp"
#include "../bridge/args.hpp"
#include "../bridge/entry.hpp"
#include "../bridge/generator.hpp"
#include "../logging/log.hpp"
#include "../runtime/concurrent.hpp"

namespace cu::pipeline {

namespace {

const Name n_looper("looper"), n__looper("_looper"), n__processors("_processors"),
    n__merge_output("_merge_output"), n__use_aysnc_run("_use_aysnc_run"),
    n__loop_process("_loop_process"), n__loop_process_async("_loop_process_async"),
    n_Iterable("Iterable"), n_LoopProcessor("LoopProcessor"),
    n_run_in_threadpool("run_in_threadpool"), n_send("send"),
    n__batch_size("_batch_size"), s_looper("_looper"),
    s_processors("_processors");

Keep g_loop;             // LoopProcessor as defined here
Keep g_loop_process;     // LoopProcessor._loop_process as set on that class
Keep g_loop_async;       // LoopProcessor._loop_process_async as set on that class
Keep g_simple_looper;    // SimpleLooper's looper
Keep g_generator_type;   // what _loop_process and simple_looper return

// ==== one item ===============================================================

// self.name() is called for every item, as the debug line's argument is; the
// other arguments are made only when the line may be emitted.
void log_item(PyObject* self, Py_ssize_t i, PyObject* item) {
    Ref name = step_name(self);
    if (log::may_emit(log::n_debug, log::k_debug))
        CU_LOG(debug, "Looper '%s[%s]' process, one_data=%s", name.get(),
               check(PyLong_FromSsize_t(i)).get(), (PyObject*)Py_TYPE(item));
}

void log_over(PyObject* self, Py_ssize_t count) {
    CU_LOG(debug, "Looper '%s' process over, looper_count=%s", step_name(self).get(),
           check(PyLong_FromSsize_t(count)).get());
}

// self._processors.process(item, *args, **kwargs)
Ref run_item(PyObject* self, Py_ssize_t i, PyObject* item, PyObject* args, PyObject* kwargs) {
    log_item(self, i, item);
    Ref body = getattr(self, n__processors);
    Ref pos = prepend(item, args);
    return sub_process(body.get(), pos.get(), kwargs);
}

// list(self._loop_process(looper_data, *args, **kwargs)) without the generator.
Ref run_all(PyObject* self, PyObject* looper_data, PyObject* args, PyObject* kwargs) {
    Ref out = list();
    Ref items = iter(looper_data);
    Py_ssize_t i = 0;
    Ref pos;  // (item, *args) for the body
    while (Ref item = next(items.get())) {
        log_item(self, i, item.get());
        Ref body = getattr(self, n__processors);
        if (pos && Py_REFCNT(pos.get()) == 1) {
            // Nothing kept the previous item's tuple: it takes this item in
            // place, which spares a new object per item.
            check_int(PyTuple_SetItem(pos.get(), 0, Ref::borrow(item.get()).release()));
        } else {
            pos = prepend(item.get(), args);
        }
        append(out.get(), sub_process(body.get(), pos.get(), kwargs).get());
        ++i;
    }
    log_over(self, i);
    return out;
}

// ==== the generator ==========================================================

// Two kinds share the type: `_loop_process` over a LoopProcessor's body, and
// simple_looper, which passes on what its input's iterator yields as
// `yield from` does.  Either starts iterating only on the first step.
enum class Kind : unsigned char { loop, delegate };

struct LoopGen : Generator<LoopGen> {
    static constexpr const char* full_name = "common_utils.common_utils.loop_generator";
    static constexpr bool coroutine = false;

    Ref owner;    // the LoopProcessor (loop kind only)
    Ref source;   // the iterable, until the first step
    Ref items;    // its iterator, from the first step on
    Ref args;     // (loop kind) extra positional arguments for the body
    Ref kwargs;   // (loop kind) keyword arguments for the body
    Py_ssize_t index = 0;
    Kind kind = Kind::loop;

    auto refs() { return std::tie(owner, source, items, args, kwargs); }

    const char* name() const { return kind == Kind::loop ? "_loop_process" : "simple_looper"; }
    const char* qualname() const {
        return kind == Kind::loop ? "LoopProcessor._loop_process"
                                  : "SimpleLooper.__init__.<locals>.simple_looper";
    }
    PyObject* delegate() const noexcept { return kind == Kind::delegate ? items.get() : nullptr; }

    Ref advance(PyObject* value) {
        if (source) items = iter(Ref(std::move(source)).get());
        Ref it = items;
        if (kind == Kind::delegate && value != Py_None)
            return call_inner(getattr(it.get(), n_send).get(), tuple(value).get());
        Ref item = next(it.get());
        if (kind == Kind::delegate) return item;
        Ref self = owner;
        if (!item) {
            log_over(self.get(), index);
            return nullptr;
        }
        Ref a = args, kw = kwargs;
        return run_item(self.get(), index++, item.get(), a.get(), kw.get());
    }
};

using LoopType = GeneratorType<LoopGen>;

Ref new_generator(Kind kind, Ref owner, Ref source, Ref args, Ref kwargs) {
    Ref self = Native<LoopGen>::make(g_generator_type);
    LoopGen& g = Native<LoopGen>::fields(self.get());
    g.kind = kind;
    g.owner = std::move(owner);
    g.source = std::move(source);
    g.args = std::move(args);
    g.kwargs = std::move(kwargs);
    return self;
}

// simple_looper(x, *args, **kwargs): yields what x's iterator yields.
Ref simple_looper(PyObject*, PyObject* args, PyObject* kwargs) {
    PyObject* x = bind_x("simple_looper", args, kwargs);
    return new_generator(Kind::delegate, nullptr, Ref::borrow(x), nullptr, nullptr);
}

PyMethodDef simple_looper_def[] = {
    CU_VARARGS_SIG("simple_looper", simple_looper, "(x, *args, **kwargs)",
                   "A generator of the elements of x."),
    CU_END,
};

// ==== LoopProcessor ==========================================================

// batch_size: None, or the number of items one executor task runs.
Ref take_batch_size(PyObject* kwargs) {
    static const Name key("batch_size");
    PyObject* given = dict_get(kwargs, key);
    if (!given) return none();
    Ref value = Ref::borrow(given);
    check_int(PyDict_DelItem(kwargs, key));
    if (value.get() == Py_None) return value;
    if (!PyLong_Check(value.get()) || PyBool_Check(value.get()))
        raisef(PyExc_TypeError, "batch_size must be an int or None, not %s",
               type_name(value.get()).c_str());
    checked_batch_size(value.get());
    return value;
}

const Signature init_params{
    "__init__", {"looper", "processors", "merge_output", "use_aysnc_run"}, 2};

Ref loop_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    Ref extra, kw;
    Bound<4> a(init_params, args, kwargs, &extra, &kw);
    PyObject *looper = a[0], *processors = a[1];
    Ref batch = take_batch_size(kw.get());

    init_base(g_loop.get(), self, extra.get(), kw.get());

    if (!truthy(looper)) {
        CU_LOG(error, "processor '%s' looper is empty. looper=%s",
               call_method(self, n_name).get(), looper);
        raise(PyExc_ValueError, "`looper` processor is empty");
    }
    if (!truthy(processors)) {
        CU_LOG(error, "processor '%s' is empty. processors=%s", call_method(self, n_name).get(),
               processors);
        raise(PyExc_ValueError, "`processors` is empty");
    }
    setattr(self, n__merge_output, a.get(2, Py_True));
    setattr(self, n__use_aysnc_run, a.get(3, Py_False));
    setattr(self, n__batch_size, batch.get());

    add_sub_pipeline(self, n__looper, s_looper, looper, extra.get(), kw.get());
    add_sub_pipeline(self, n__processors, s_processors, processors, extra.get(), kw.get());

    CU_LOG(debug, "looper create over. `%s` looper=%s processors=%s", class_name(self).get(),
           call_method(self, n_name).get(), getattr(self, n__processors).get());
    return none();
}

Ref loop_as_dict(PyObject* self) {
    Ref cls_name = class_name(self);
    Ref inner = base_description(g_loop.get(), self);
    static const Name k_merge("merge_output"), k_async("use_aysnc_run"), k_looper("looper"),
        k_processors("processors");
    check_int(PyObject_SetItem(inner.get(), k_merge, getattr(self, n__merge_output).get()));
    check_int(PyObject_SetItem(inner.get(), k_async, getattr(self, n__use_aysnc_run).get()));
    check_int(PyObject_SetItem(inner.get(), k_looper,
                               sub_processor_list(getattr(self, n__looper).get()).get()));
    check_int(PyObject_SetItem(inner.get(), k_processors,
                               sub_processor_list(getattr(self, n__processors).get()).get()));
    Ref out = dict();
    set_item(out.get(), cls_name.get(), inner.get());
    return out;
}

Ref loop_init_parts(PyObject* self) {
    static const Name over("Looper '%s' init over. flag=%s ");
    const Name* const attrs[] = {&n__looper, &n__processors};
    return boolean(init_sub_pipelines(self, attrs, 2, over));
}

const Signature loop_params{"_loop_process", {"looper_data"}, 1};
const Signature loop_async_params{"_loop_process_async", {"looper_data"}, 1};

Ref loop_process_gen(PyObject* self, PyObject* args, PyObject* kwargs) {
    Ref extra, kw;
    Bound<1> a(loop_params, args, kwargs, &extra, &kw);
    return new_generator(Kind::loop, Ref::borrow(self), Ref::borrow(a[0]),
                         std::move(extra), std::move(kw));
}

// One run_in_threadpool(...) per item, then all of them at once; or, when
// `_use_aysnc_run` is an executor, the items in batches on it.  The closing
// line is logged before any item has run.
Ref run_all_async(PyObject* self, PyObject* looper_data, PyObject* args, PyObject* kwargs) {
    Ref mode = getattr(self, n__use_aysnc_run);
    Ref items = iter(looper_data);
    Py_ssize_t i = 0;
    if (is_executor(mode.get())) {
        Ref listed = list();
        while (Ref item = next(items.get())) {
            log_item(self, i++, item.get());
            append(listed.get(), item.get());
        }
        log_over(self, i);
        return run_on_executor(self, mode.get(), listed.get(), args, kwargs);
    }
    Ref awaitables = list();
    while (Ref item = next(items.get())) {
        log_item(self, i, item.get());
        Ref body = getattr(self, n__processors);
        Ref process = getattr(body.get(), n_process);
        Ref pos = prepend(process.get(), prepend(item.get(), args).get());
        Ref kw;
        if (PyDict_Size(kwargs)) kw = check(PyDict_Copy(kwargs));
        Ref run = module::global(n_run_in_threadpool);
        append(awaitables.get(), call_args(run.get(), pos.get(), kw.get()).get());
        ++i;
    }
    log_over(self, i);
    return runtime::gather_and_run(awaitables.get());
}

Ref loop_process_async(PyObject* self, PyObject* args, PyObject* kwargs) {
    Ref extra, kw;
    Bound<1> a(loop_async_params, args, kwargs, &extra, &kw);
    return run_all_async(self, a[0], extra.get(), kw.get());
}

const Signature process_params{"process", {"in_data"}, 0};

// self.<method>(looper_data, *args, **kwargs) through the attribute.
Ref call_loop_method(PyObject* self, const Name& method, PyObject* looper_data, PyObject* args,
                     PyObject* kwargs) {
    Ref bound = getattr(self, method);
    Ref pos = prepend(looper_data, args);
    return call_args(bound.get(), pos.get(), kwargs);
}

Ref loop_process(PyObject* self, PyObject* args, PyObject* kwargs) {
    // Bound by hand: Bound<1> measured eight instructions more per call.
    PyObject* in_data;
    Ref extra, kw;
    bind_var(process_params, args, kwargs, &in_data, &extra, &kw);
    Ref input = Ref::borrow(in_data ? in_data : Py_None);

    static const Name not_ready("Looper '%s' is not ready");
    if (!truthy(ready_of(self).get())) raise_not_ready(self, not_ready);
    Ref looper_data = sub_process(getattr(self, n__looper).get(),
                                  prepend(input.get(), extra.get()).get(), kw.get());
    if (!isinstance(looper_data.get(), module::global(n_Iterable).get())) {
        static const Name fmt("Looper '%s' return is not Iterable. ret=%s");
        Ref name = call_method(self, n_name);
        raise(PyExc_ValueError, percent(fmt, name.get(), looper_data.get()).get());
    }

    Ref out;
    if (truthy(getattr(self, n__use_aysnc_run).get())) {
        out = resolves_to(self, n__loop_process_async, g_loop_async.get())
                  ? run_all_async(self, looper_data.get(), extra.get(), kw.get())
                  : call_loop_method(self, n__loop_process_async, looper_data.get(), extra.get(),
                                     kw.get());
    } else if (resolves_to(self, n__loop_process, g_loop_process.get())) {
        // Making the generator runs nothing, so reading _merge_output first
        // is the same order of effects.
        if (truthy(getattr(self, n__merge_output).get()))
            return run_all(self, looper_data.get(), extra.get(), kw.get());
        return new_generator(Kind::loop, Ref::borrow(self), looper_data, extra, kw);
    } else {
        out = call_loop_method(self, n__loop_process, looper_data.get(), extra.get(), kw.get());
    }
    if (truthy(getattr(self, n__merge_output).get())) return check(PySequence_List(out.get()));
    return out;
}

PyMethodDef loop_methods[] = {
    CU_VARARGS_SIG("__init__", loop_init,
                   "($self, /, looper, processors, merge_output=True, use_aysnc_run=False, "
                   "*args, batch_size=None, **kwargs)",
                   ""),
    CU_NOARGS_SIG("as_dict", loop_as_dict, "($self, /)", ""),
    CU_NOARGS_SIG("init", loop_init_parts, "($self, /)",
                  "Initialises the looper and the body; True when both are ready."),
    CU_VARARGS_SIG("_loop_process", loop_process_gen, "($self, /, looper_data, *args, **kwargs)",
                   "A generator of the body's output for every item of looper_data."),
    CU_VARARGS_SIG("_loop_process_async", loop_process_async,
                   "($self, /, looper_data, *args, **kwargs)",
                   "Runs the body for all items at once in worker threads, or in batches "
                   "on the executor given as use_aysnc_run; their outputs in item order."),
    CU_VARARGS_SIG("process", loop_process, "($self, /, in_data=None, *args, **kwargs)",
                   "Runs the body over every item the looper returns."),
    CU_END,
};

Ref make_loop() {
    remember_pipeline_class();
    g_generator_type.set(LoopType::make_type());
    g_simple_looper.set(make_function(&simple_looper_def[0]));
    Ref cls = own_processor_class(make_subclass(
        "LoopProcessor", module::global(n_ProcessorBase).get(), loop_methods,
        "Runs a body pipeline over every item a looper pipeline returns."));
    g_loop_process.set(getattr(cls.get(), n__loop_process));
    g_loop_async.set(getattr(cls.get(), n__loop_process_async));
    g_loop.set(cls);
    // The task an executor runs, pickled by reference.
    expose_for_pickle(cls.get(), "_run_loop_batch", make_batch_runner().get());
    return cls;
}

// ==== FunctionLooper =========================================================

Ref looper_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return bind_template(self, args, kwargs, "Loop_%U()");
}

Ref looper_complete(PyObject* self, PyObject* args, PyObject* kwargs) {
    return complete_template(g_loop.get(), self, args, kwargs, n_looper);
}

PyMethodDef function_looper_methods[] = {
    CU_VARARGS_SIG("__init__", template_init, "($self, /, user_function=None)", ""),
    CU_VARARGS_SIG("__call__", looper_call, "($self, /, user_function)",
                   "Binds the looper function; the template takes the name Loop_<name>()."),
    CU_VARARGS_SIG("init_function_object", looper_complete, "($self, /, *args, **kwargs)",
                   "Completes the template with its body (processors=)."),
    CU_END,
};

Ref make_function_looper() {
    return own_processor_class(make_subclass(
        "FunctionLooper", module::global(n_LoopProcessor).get(), function_looper_methods,
        "Decorator: a function returning an iterable becomes a loop-processor template."));
}

// ==== SimpleLooper ===========================================================

const Signature simple_params{"__init__", {"looper"}, 0};

Ref simple_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    Ref extra, kw;
    Bound<1> ignored(simple_params, args, kwargs, &extra, &kw);
    run_class_init(g_loop.get(), self, extra.get(), kw.get(), n_looper, g_simple_looper.get());
    return none();
}

PyMethodDef simple_looper_methods[] = {
    CU_VARARGS_SIG("__init__", simple_init, "($self, /, looper=None, *args, **kwargs)", ""),
    CU_END,
};

Ref make_simple_looper() {
    Ref cls = own_processor_class(make_subclass(
        "SimpleLooper", module::global(n_LoopProcessor).get(), simple_looper_methods,
        "A loop processor that runs its body over every element of its input."));
    expose_for_pickle(cls.get(), "_simple_looper", g_simple_looper.get());
    return cls;
}

}  // namespace

CU_DEFINITION("LoopProcessor", make_loop);
CU_DEFINITION("FunctionLooper", make_function_looper);
CU_DEFINITION("SimpleLooper", make_simple_looper);

}  // namespace cu::pipeline
