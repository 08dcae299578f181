// Processor: the sequential pipeline.  Holds the child processors, runs them
// one after the other (or all at once in worker threads), hands data between
// them by ARG_TYPE mode, shares one keyword dictionary per run and records
// every step's elapsed time in it under TIME_KEY.
#include "pipeline.hpp"
#include "../bridge/args.hpp"
#include "../bridge/call_site.hpp"
#include "../bridge/entry.hpp"
#include "../logging/log.hpp"
#include "../runtime/clock.hpp"
#include "../runtime/concurrent.hpp"

namespace cu::pipeline {

Keep g_processor;

namespace {

const Name n_processors("processors"), n_module("module"), n__processors("_processors"),
    n__input_arg_type("_input_arg_type"), n__update_global_kwargs("_update_global_kwargs"),
    n__use_aysnc_run("_use_aysnc_run"), n__return_exceptions("_return_exceptions"),
    n_g_kwargs("g_kwargs"), n_TIME_KEY("TIME_KEY"), n_ARG_TYPE("ARG_TYPE"), n_FIXED("FIXED"),
    n_DISABLE("DISABLE"), n_ModuleType("ModuleType"), n_Processor("Processor"),
    n__create_processor("_create_processor"), n_keys("keys"), n_items("items"),
    n_update("update"), n_append("append"), n_value("value"), n_message("message"),
    n_out_data("out_data"), n_StopRunError("StopRunError"), n_Exception("Exception"),
    n_sys("sys"), n_optimize("optimize"), n__one_process("_one_process"),
    n_run_in_threadpool("run_in_threadpool");

Keep g_default_module;    // sys.modules['__main__'] when the class was defined
Keep g_default_g_kwargs;  // the one dict shared by runs that pass no g_kwargs
Keep g_one_process;       // Processor._one_process as set on the class

// The throw-away dicts of a run: each step's keyword arguments, and the run's
// own keyword dictionary with its timing record.
SpareDict g_spare_step_kwargs, g_spare_run_kwargs, g_spare_timing;

// Assertions are compiled out under -O; the interpreter's own flag says so,
// whatever the module's `sys` is bound to.
bool assertions_enabled() {
    PyObject* flags = PySys_GetObject("flags");  // borrowed
    if (!flags) return true;
    return !truthy(getattr(flags, n_optimize).get());
}

// ==== construction ===========================================================

const Signature init_params{"__init__",
                            {"processors", "module", "input_arg_type", "update_global_kwargs",
                             "use_aysnc_run", "return_exceptions"},
                            1};

// The constructor's arguments, defaults filled in; `kw` is its own **kwargs.
struct InitArgs {
    Ref processors, module, input_arg_type, update_global, use_async, return_exceptions;
    Ref extra, kw;
};

InitArgs bind_init(PyObject* args, PyObject* kwargs) {
    PyObject* a[6];
    InitArgs out;
    bind_var(init_params, args, kwargs, a, &out.extra, &out.kw);
    out.processors = Ref::borrow(a[0]);
    out.module = Ref::borrow(a[1] ? a[1] : g_default_module.get());
    out.input_arg_type = Ref::borrow(a[2] ? a[2] : Py_None);
    out.update_global = Ref::borrow(a[3] ? a[3] : Py_False);
    out.use_async = Ref::borrow(a[4] ? a[4] : Py_False);
    out.return_exceptions = Ref::borrow(a[5] ? a[5] : Py_False);
    return out;
}

// The settings as attributes; every step built from a class gets the module.
void store_settings(PyObject* self, const InitArgs& a) {
    setattr(self, n__update_global_kwargs, a.update_global.get());
    setattr(self, n__return_exceptions, a.return_exceptions.get());
    Ref arg_type = call(module::global(n_ARG_TYPE).get(), a.input_arg_type.get());
    setattr(self, n__input_arg_type, arg_type.get());
    setattr(self, n__use_aysnc_run, a.use_async.get());
    set_item(a.kw.get(), n_module, a.module.get());
}

// assert mode in (FIXED, DISABLE) for a concurrent run.
void check_async_mode(PyObject* self) {
    if (!truthy(getattr(self, n__use_aysnc_run).get()) || !assertions_enabled()) return;
    Ref current = getattr(self, n__input_arg_type);
    Ref cls = module::global(n_ARG_TYPE);
    if (!equal(current.get(), getattr(cls.get(), n_FIXED).get()) &&
        !equal(current.get(), getattr(cls.get(), n_DISABLE).get()))
        raise(PyExc_AssertionError, "Async run only supports FIXED or DISABLE input_arg_type");
}

bool is_list_or_tuple(PyObject* obj) {
    return isinstance(obj, (PyObject*)&PyList_Type) || isinstance(obj, (PyObject*)&PyTuple_Type);
}

// A one-entry dict {step: keywords}: the step, its keywords merged into p_kwargs.
Ref one_entry_step(PyObject* element, PyObject* p_kwargs) {
    if (length(element) != 1) {
        CU_LOG(error, "process create error, get multiple args=%s", element);
        Ref text = str_of(element);
        raisef(PyExc_ValueError, "process create  error, get multiple args=%U", text.get());
    }
    Ref pairs = check(PySequence_List(call_method(element, n_items).get()));
    Ref pair = get_item(pairs.get(), integer(0).get());
    Ref step = get_item(pair.get(), integer(0).get());
    call_method(p_kwargs, n_update, get_item(pair.get(), integer(1).get()).get());
    return step;
}

// The step one element of the step list stands for.
Ref build_step(PyObject* element, PyObject* module, PyObject* extra, PyObject* kw) {
    Ref p_kwargs = check(PyDict_Copy(kw));
    Ref description = Ref::borrow(element);
    if (isinstance(element, (PyObject*)&PyDict_Type)) {
        description = one_entry_step(element, p_kwargs.get());
    } else if (is_list_or_tuple(element)) {
        set_item(p_kwargs.get(), n_processors, element);
        description = module::global(n_Processor);
    }
    return call(module::global(n__create_processor).get(), description.get(), module,
                extra, p_kwargs.get());
}

void log_created(PyObject* self, PyObject* processors) {
    Ref steps = getattr(self, n__processors);
    if (length(steps.get()) == 0) {
        CU_LOG(error, "processors list is empty! ori processors=%s", processors);
        raise(PyExc_ValueError, "processors list is empty");
    }
    Ref cls_name = class_name(self);
    Ref own_name = call_method(self, n_name);
    Ref count = integer((long)length(steps.get()));
    Ref names = list();
    Ref it = iter(steps.get());
    while (Ref p = next(it.get())) append(names.get(), step_name(p.get()).get());
    CU_LOG(debug, "Processor create over `%s` name=%s list[%s]=%s", cls_name.get(),
           own_name.get(), count.get(), names.get());
}

// The step list ([processors] unless a list or tuple), after the
// module is checked.
Ref step_list(const InitArgs& a) {
    Ref elements = a.processors;
    if (!is_list_or_tuple(elements.get())) {
        elements = list();
        append(elements.get(), a.processors.get());
    }
    if (Py_TYPE(a.module.get()) != (PyTypeObject*)module::global(n_ModuleType).get()) {
        Ref text = str_of(a.module.get());
        raisef(PyExc_ValueError, "'%U' is not a Module", text.get());
    }
    return elements;
}

Ref processor_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    InitArgs a = bind_init(args, kwargs);
    init_base(g_processor.get(), self, a.extra.get(), a.kw.get());
    check_int_or_false(PyDict_DelItem(a.kw.get(), n_name), PyExc_KeyError);
    store_settings(self, a);
    check_async_mode(self);
    Ref elements = step_list(a);
    setattr(self, n__processors, list().get());
    Ref items = iter(elements.get());
    while (Ref element = next(items.get())) {
        Ref step = build_step(element.get(), a.module.get(), a.extra.get(), a.kw.get());
        call_method(getattr(self, n__processors).get(), n_append, step.get());
    }
    log_created(self, elements.get());
    return none();
}

// ==== init ===================================================================

Ref processor_init_steps(PyObject* self) {
    Ref steps = getattr(self, n__processors);
    ChildrenInit done = init_children(self, steps.get());
    Ref own_name = call_method(self, n_name);
    Ref total = integer((long)length(getattr(self, n__processors).get()));
    CU_LOG(debug, "processor '%s' init over. flag=%s total=%s init_num=%s", own_name.get(),
           boolean(done.ok).get(), total.get(), integer(done.count).get());
    return boolean(done.ok);
}

// ==== one step ===============================================================

// Whether `err` is caught by `except target:`, with the interpreter's check
// that the target is an exception class or a tuple of them.
bool caught_by(Error& err, PyObject* target) {
    static const char* const cannot_catch =
        "catching classes that do not inherit from BaseException is not allowed";
    if (PyTuple_Check(target)) {
        for (Py_ssize_t i = 0, n = PyTuple_Size(target); i < n; ++i)
            if (!PyExceptionClass_Check(PyTuple_GetItem(target, i)))
                raise(PyExc_TypeError, cannot_catch);
    } else if (!PyExceptionClass_Check(target)) {
        raise(PyExc_TypeError, cannot_catch);
    }
    return err.matches(target);
}

// The step's positional arguments by mode: (), (in_data,) or (out_data,).
// `spare` may be a one-item tuple the caller already holds; it stands in when
// it holds the very object to pass.
Ref step_args(PyObject* self, PyObject* in_data, PyObject* out_data, PyObject* spare) {
    PyObject* arg = nullptr;
    switch (mode_of(getattr(self, n__input_arg_type).get())) {
        case Mode::disable: return tuple();
        case Mode::fixed: arg = in_data; break;
        case Mode::plain: arg = out_data; break;
    }
    if (spare && PyTuple_GetItem(spare, 0) == arg) return Ref::borrow(spare);
    return tuple(arg);
}

// The start record logs the types of the data, never the data.  Only what no
// user code can see (the type tuple, the key view of a plain dict) is skipped
// when the record would be dropped anyway.
void log_step_start(PyObject* p, PyObject* p_args, PyObject* g_kwargs) {
    Ref name = step_name(p);
    if (PyDict_CheckExact(g_kwargs) && !log::may_emit(log::n_debug, log::k_debug)) return;
    Ref types = tuple();
    if (PyTuple_Size(p_args)) types = tuple((PyObject*)Py_TYPE(PyTuple_GetItem(p_args, 0)));
    Ref keys = call_method(g_kwargs, n_keys);
    CU_LOG(debug, "Processor '%s' start. args=%s kwargs=%s", name.get(), types.get(), keys.get());
}

// p.process(*p_args, g_kwargs=g_kwargs, **g_kwargs)
Ref call_step(PyObject* p, PyObject* p_args, PyObject* g_kwargs) {
    Ref kw = g_spare_step_kwargs.take();
    set_item(kw.get(), n_g_kwargs, g_kwargs);
    star_kwargs(kw.get(), g_kwargs, Callee{nullptr, p, &n_process});
    Ref result = call_process(p, p_args, kw.get());
    g_spare_step_kwargs.give(std::move(kw));
    return result;
}

Ref time_record(PyObject* g_kwargs) {
    return get_item(g_kwargs, module::global(n_TIME_KEY).get());
}

// The step's entry of the timing record, as Python code writes it:
//     g_kwargs[TIME_KEY][p.name()] = elapsed           (a stopped step)
//     if p.name() not in g_kwargs[TIME_KEY]: ... = elapsed
//     else: g_kwargs[TIME_KEY][p.name()] += elapsed    (a finished step)
// Every name is asked for at each use: each is a call of p.name() that an
// override may observe.  With the base name() and exact dicts no user code
// runs between the reads, so the name is read once and returned for the end
// record; otherwise the result is null.
Ref record_time(PyObject* p, PyObject* g_kwargs, PyObject* elapsed, bool finished) {
    if (finished && PyDict_CheckExact(g_kwargs) && has_base_name(p)) {
        Ref name = base_name_of(p);
        Ref timing = time_record(g_kwargs);
        if (PyDict_CheckExact(timing.get())) {
            Ref value = Ref::borrow(dict_get(timing.get(), name.get()));
            value = value ? check(PyNumber_InPlaceAdd(value.get(), elapsed)) : Ref::borrow(elapsed);
            set_item(timing.get(), name.get(), value.get());
            return name;
        }
    }
    bool add = false;
    if (finished) {
        Ref seen_name = step_name(p);
        add = check_int(PySequence_Contains(time_record(g_kwargs).get(), seen_name.get()));
    }
    Ref timing = time_record(g_kwargs);
    Ref name = step_name(p);
    Ref value = add ? check(PyNumber_InPlaceAdd(get_item(timing.get(), name.get()).get(), elapsed))
                    : Ref::borrow(elapsed);
    check_int(PyObject_SetItem(timing.get(), name.get(), value.get()));
    return nullptr;
}

// A StopRunError ended the step: its time replaces the recorded one, and its
// out_data is the step's output when this pipeline returns exceptions; null
// when the caller re-raises.
Ref stopped_step(PyObject* self, PyObject* p, PyObject* stop, PyObject* g_kwargs,
                 runtime::Stamp start) {
    Ref elapsed = runtime::elapsed(start, runtime::time_now());
    record_time(p, g_kwargs, elapsed.get(), false);
    // Python evaluates the arguments left to right; C++ needs telling.
    Ref name = step_name(p);
    Ref message = getattr(stop, n_message);
    Ref out = getattr(stop, n_out_data);
    CU_LOG(debug, "Processor stopped by '%s', message=%s out_data=%s time=%.4fs", name.get(),
           message.get(), out.get(), elapsed.get());
    if (truthy(getattr(self, n__return_exceptions).get())) return getattr(stop, n_out_data);
    return nullptr;
}

// The step raised: its output when a StopRunError becomes one, else null (the
// caller re-raises).  Only an Exception is logged.
Ref step_failed(PyObject* self, PyObject* p, Error& err, PyObject* g_kwargs,
                runtime::Stamp start) {
    if (caught_by(err, module::global(n_StopRunError).get()))
        return stopped_step(self, p, err.value(), g_kwargs, start);
    if (caught_by(err, module::global(n_Exception).get()))
        CU_LOG(error, "Processor '%s' process failed, err=%s", step_name(p).get(), err.value());
    return nullptr;
}

void finish_step(PyObject* p, PyObject* g_kwargs, runtime::Stamp start) {
    Ref elapsed = runtime::elapsed(start, runtime::time_now());
    Ref name = record_time(p, g_kwargs, elapsed.get(), true);
    if (!name) name = step_name(p);
    CU_LOG(debug, "Processor '%s' end. time=%.4fs", name.get(), elapsed.get());
}

Ref one_process(PyObject* self, PyObject* p, PyObject* in_data, PyObject* out_data,
                PyObject* g_kwargs, PyObject* spare = nullptr) {
    Ref p_args = step_args(self, in_data, out_data, spare);
    log_step_start(p, p_args.get(), g_kwargs);
    runtime::Stamp start = runtime::time_now();
    Ref result;
    try {
        result = call_step(p, p_args.get(), g_kwargs);
    } catch (Error& err) {
        Handling handling(err);
        if (Ref out = step_failed(self, p, err, g_kwargs, start)) return out;
        throw;
    }
    finish_step(p, g_kwargs, start);
    return result;
}

const Signature one_params{"_one_process", {"p", "in_data", "out_data", "g_kwargs"}, 4, true};

// Bound by hand: Bound<4> costs a dozen instructions more per call here.
Ref processor_one_process(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[4];
    bind(one_params, args, kwargs, a);
    Ref keep[4] = {Ref::borrow(a[0]), Ref::borrow(a[1]), Ref::borrow(a[2]), Ref::borrow(a[3])};
    return one_process(self, a[0], a[1], a[2], a[3]);
}

// ==== run ====================================================================

// process(in_data=None, /, g_kwargs=<shared>, **kwargs), bound by hand: the
// call's own keywords go to a dict of the module's own.
struct RunArgs {
    Ref in_data, g_kwargs, call_kwargs;
};

RunArgs bind_process(PyObject* args, PyObject* kwargs) {
    Py_ssize_t nargs = PyTuple_Size(args);
    if (nargs > 2)
        raisef(PyExc_TypeError, "process() takes from 1 to 3 positional arguments but %zd were given",
               nargs + 1);
    require_str_keywords(kwargs, "process");
    RunArgs out{Ref::borrow(nargs > 0 ? PyTuple_GetItem(args, 0) : Py_None),
                Ref::borrow(nargs > 1 ? PyTuple_GetItem(args, 1) : nullptr),
                g_spare_run_kwargs.take()};
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (kwargs && PyDict_Next(kwargs, &pos, &key, &value)) {
        if (PyUnicode_Compare(key, n_g_kwargs) != 0) {
            set_item(out.call_kwargs.get(), key, value);
        } else if (out.g_kwargs) {
            raise(PyExc_TypeError, "process() got multiple values for argument 'g_kwargs'");
        } else {
            out.g_kwargs = Ref::borrow(value);
        }
    }
    if (!out.g_kwargs) out.g_kwargs = Ref::borrow(g_default_g_kwargs.get());
    return out;
}

// The run's keyword dictionary, given a timing record unless it holds one;
// `made_timing` keeps the record made here.
Ref run_kwargs(PyObject* self, const RunArgs& a, Ref& made_timing) {
    Ref g = truthy(getattr(self, n__update_global_kwargs).get()) ? a.g_kwargs : a.call_kwargs;
    if (!check_int(PySequence_Contains(g.get(), module::global(n_TIME_KEY).get()))) {
        made_timing = g_spare_timing.take();
        check_int(PyObject_SetItem(g.get(), module::global(n_TIME_KEY).get(), made_timing.get()));
    }
    return g;
}

// Each step on the previous step's output.  `spare` is process()'s own
// argument tuple when it is (in_data,), the tuple a step given in_data needs.
Ref run_in_order(PyObject* self, PyObject* steps, PyObject* in_data, PyObject* g,
                 PyObject* spare) {
    Ref out_data = Ref::borrow(in_data);
    auto run_step = [&](PyObject* p) {
        // self._one_process is looked up for every step: a step may rebind it.
        if (resolves(self, b_one_process, n__one_process, g_one_process.get()))
            out_data = one_process(self, p, in_data, out_data.get(), g, spare);
        else
            out_data = call(getattr(self, n__one_process).get(), p, in_data, out_data.get(), g);
    };
    if (PyList_CheckExact(steps)) {
        // Index by index, as list iteration does, without an iterator object.
        for (Py_ssize_t i = 0; i < PyList_Size(steps); ++i)
            run_step(Ref::borrow(PyList_GetItem(steps, i)).get());
    } else {
        Ref it = iter(steps);
        while (Ref p = next(it.get())) run_step(p.get());
    }
    return out_data;
}

// All steps at once in worker threads; the last step's output.
Ref run_at_once(PyObject* self, PyObject* steps, PyObject* in_data, PyObject* g) {
    Ref awaitables = list();
    Ref it = iter(steps);
    while (Ref p = next(it.get())) {
        Ref run = module::global(n_run_in_threadpool);
        Ref runner = getattr(self, n__one_process);
        append(awaitables.get(),
               call(run.get(), runner.get(), p.get(), in_data, in_data, g).get());
    }
    Ref results = runtime::gather_and_run(awaitables.get());
    return get_item(results.get(), integer(-1).get());
}

}  // namespace

Ref run_pipeline(PyObject* self, PyObject* args, PyObject* kwargs) {
    RunArgs a = bind_process(args, kwargs);
    static const Name not_ready("processor '%s' is not ready");
    if (!truthy(ready_of(self).get())) raise_not_ready(self, not_ready);
    Ref made_timing;
    Ref g = run_kwargs(self, a, made_timing);
    Ref steps = getattr(self, n__processors);
    if (truthy(getattr(self, n__use_aysnc_run).get()))
        return run_at_once(self, steps.get(), a.in_data.get(), g.get());
    PyObject* spare = PyTuple_Size(args) == 1 ? args : nullptr;
    Ref out = run_in_order(self, steps.get(), a.in_data.get(), g.get(), spare);
    // The run's dicts are kept for the next run when nothing took them.
    g = nullptr;
    g_spare_run_kwargs.give(std::move(a.call_kwargs));
    g_spare_timing.give(std::move(made_timing));
    return out;
}

namespace {

// ==== description ============================================================

Ref processor_as_dict(PyObject* self) {
    Ref base = call_super(g_processor.get(), self, n_as_dict);
    Ref values = check(PyMapping_Values(base.get()));
    Ref inner = get_item(values.get(), integer(0).get());
    set_item(inner.get(), "input_arg_type",
             getattr(getattr(self, n__input_arg_type).get(), n_value).get());
    set_item(inner.get(), "update_global_kwargs", getattr(self, n__update_global_kwargs).get());
    set_item(inner.get(), "return_exceptions", getattr(self, n__return_exceptions).get());
    set_item(inner.get(), "use_aysnc_run", getattr(self, n__use_aysnc_run).get());
    Ref described = list();
    Ref it = iter(getattr(self, n__processors).get());
    while (Ref p = next(it.get())) append(described.get(), call_method(p.get(), n_as_dict).get());
    set_item(inner.get(), "processors", described.get());
    Ref out = dict();
    set_item(out.get(), class_name(self).get(), inner.get());
    return out;
}

PyMethodDef methods[] = {
    CU_VARARGS_SIG("__init__", processor_init,
                   "($self, /, processors, module=None, input_arg_type=None, "
                   "update_global_kwargs=False, use_aysnc_run=False, return_exceptions=False, "
                   "*args, **kwargs)",
                   ""),
    CU_NOARGS_SIG("as_dict", processor_as_dict, "($self, /)", ""),
    CU_NOARGS_SIG("init", processor_init_steps, "($self, /)",
                  "Initialises the steps that are not ready; True when all of them are."),
    CU_VARARGS_SIG("_one_process", processor_one_process,
                   "($self, /, p, in_data, out_data, g_kwargs)",
                   "Runs one step and records its time."),
    CU_VARARGS_SIG("process", run_pipeline, "($self, in_data=None, /, g_kwargs={}, **kwargs)",
                   "Runs the pipeline and returns the last step's output."),
    CU_END,
};

Ref make_processor() {
    static const Name n_modules("modules"), n_main("__main__");
    Ref modules = getattr(module::global(n_sys).get(), n_modules);
    g_default_module.set(get_item(modules.get(), n_main));
    g_default_g_kwargs.set(dict());
    Ref cls = own_processor_class(make_subclass("Processor", module::global(n_ProcessorBase).get(),
                                                methods,
                                                "A pipeline: runs its steps in order on one input."));
    g_one_process.set(getattr(cls.get(), n__one_process));
    g_processor.set(cls);
    return cls;
}

}  // namespace

CU_DEFINITION("Processor", make_processor);

}  // namespace cu::pipeline
