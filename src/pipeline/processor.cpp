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


// p.name(); the base method is called straight from its descriptor when
// nothing overrides or shadows it, which spares the bound-method object.
Ref step_name(PyObject* p) {
    if (has_base_name(p)) return base_name_of(p);
    return call_method(p, n_name);
}

// ==== construction ===========================================================

const Name init_names[] = {Name("processors"), Name("module"), Name("input_arg_type"),
                           Name("update_global_kwargs"), Name("use_aysnc_run"),
                           Name("return_exceptions")};
const Params init_params{"__init__", init_names, 6, 1};

Ref processor_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[6];
    Ref extra_args, kw;
    bind_var(init_params, args, kwargs, a, &extra_args, &kw);
    Ref processors = Ref::borrow(a[0]);
    Ref module = Ref::borrow(a[1] ? a[1] : g_default_module.get());
    Ref input_arg_type = Ref::borrow(a[2] ? a[2] : Py_None);
    Ref update_global = Ref::borrow(a[3] ? a[3] : Py_False);
    Ref use_async = Ref::borrow(a[4] ? a[4] : Py_False);
    Ref return_exceptions = Ref::borrow(a[5] ? a[5] : Py_False);

    // super().__init__(*args, **kwargs): the base gets its own copy.
    Ref parent = call((PyObject*)&PySuper_Type, g_processor.get(), self);
    Ref base_kw = check(PyDict_Copy(kw.get()));
    call_args(getattr(parent.get(), n___init__).get(), extra_args.get(), base_kw.get());
    if (PyDict_DelItem(kw.get(), n_name) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw_error();
        PyErr_Clear();
    }

    setattr(self, n__update_global_kwargs, update_global.get());
    setattr(self, n__return_exceptions, return_exceptions.get());
    Ref arg_type = call(module::global(n_ARG_TYPE).get(), input_arg_type.get());
    setattr(self, n__input_arg_type, arg_type.get());
    setattr(self, n__use_aysnc_run, use_async.get());
    set_item(kw.get(), n_module, module.get());

    if (truthy(getattr(self, n__use_aysnc_run).get()) && assertions_enabled()) {
        Ref current = getattr(self, n__input_arg_type);
        Ref cls = module::global(n_ARG_TYPE);
        if (!equal(current.get(), getattr(cls.get(), n_FIXED).get()) &&
            !equal(current.get(), getattr(cls.get(), n_DISABLE).get()))
            raise(PyExc_AssertionError, "Async run only supports FIXED or DISABLE input_arg_type");
    }

    if (!isinstance(processors.get(), (PyObject*)&PyList_Type) &&
        !isinstance(processors.get(), (PyObject*)&PyTuple_Type)) {
        Ref wrapped = list();
        append(wrapped.get(), processors.get());
        processors = wrapped;
    }

    if (Py_TYPE(module.get()) != (PyTypeObject*)module::global(n_ModuleType).get()) {
        Ref text = str_of(module.get());
        raisef(PyExc_ValueError, "'%U' is not a Module", text.get());
    }

    setattr(self, n__processors, list().get());
    Ref items = iter(processors.get());
    while (Ref element = next(items.get())) {
        Ref p_kwargs = check(PyDict_Copy(kw.get()));
        Ref description = element;
        if (isinstance(element.get(), (PyObject*)&PyDict_Type)) {
            if (length(element.get()) != 1) {
                CU_LOG(error, "process create error, get multiple args=%s", element.get());
                Ref text = str_of(element.get());
                raisef(PyExc_ValueError, "process create  error, get multiple args=%U",
                       text.get());
            }
            Ref pairs = check(PySequence_List(call_method(element.get(), n_items).get()));
            Ref pair = get_item(pairs.get(), integer(0).get());
            description = get_item(pair.get(), integer(0).get());
            call_method(p_kwargs.get(), n_update, get_item(pair.get(), integer(1).get()).get());
        } else if (isinstance(element.get(), (PyObject*)&PyList_Type) ||
                   isinstance(element.get(), (PyObject*)&PyTuple_Type)) {
            set_item(p_kwargs.get(), n_processors, element.get());
            description = module::global(n_Processor);
        }
        Ref step = call(module::global(n__create_processor).get(), description.get(), module.get(),
                        extra_args.get(), p_kwargs.get());
        call_method(getattr(self, n__processors).get(), n_append, step.get());
    }

    Ref steps = getattr(self, n__processors);
    if (length(steps.get()) == 0) {
        CU_LOG(error, "processors list is empty! ori processors=%s", processors.get());
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
    return none();
}

// ==== init ===================================================================

Ref processor_init_steps(PyObject* self) {
    bool ok = true;
    long count = 0;
    Ref steps = getattr(self, n__processors);
    Ref it = iter(steps.get());
    while (Ref p = next(it.get())) {
        if (truthy(call_method(p.get(), n_is_ready).get())) continue;
        CU_LOG(info, "start init processor: %s", step_name(p.get()).get());
        if (!truthy(call_method(p.get(), n_init).get())) {
            CU_LOG(error, "processor %s init failed", step_name(p.get()).get());
            ok = false;
        }
        ++count;
    }
    if (ok) call_method(self, n_set_ready, Py_True);
    Ref own_name = call_method(self, n_name);
    Ref total = integer((long)length(getattr(self, n__processors).get()));
    CU_LOG(debug, "processor '%s' init over. flag=%s total=%s init_num=%s", own_name.get(),
           boolean(ok).get(), total.get(), integer(count).get());
    return boolean(ok);
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

// timing[name] = elapsed, or += when present, on an exact dict.
void add_time(PyObject* timing, PyObject* name, PyObject* elapsed) {
    PyObject* before = dict_get(timing, name);
    if (!before) {
        set_item(timing, name, elapsed);
        return;
    }
    Ref keep = Ref::borrow(before);
    Ref sum = check(PyNumber_InPlaceAdd(keep.get(), elapsed));
    set_item(timing, name, sum.get());
}

Ref time_record(PyObject* g_kwargs) {
    return get_item(g_kwargs, module::global(n_TIME_KEY).get());
}

// The step's name is asked for at every use, as each use is a call of
// p.name() that an override may observe; only what no user code can see
// (the type tuple, the key view of a plain dict) is skipped when the record
// would be dropped anyway.
//
// `spare` may be a one-item tuple the caller already holds; it stands in for
// the step's argument tuple when it holds the very object to pass.
Ref one_process(PyObject* self, PyObject* p, PyObject* in_data, PyObject* out_data,
                PyObject* g_kwargs, PyObject* spare = nullptr) {
    Ref p_args;
    PyObject* arg = nullptr;
    switch (mode_of(getattr(self, n__input_arg_type).get())) {
        case Mode::disable: p_args = tuple(); break;
        case Mode::fixed: arg = in_data; break;
        case Mode::plain: arg = out_data; break;
    }
    if (arg)
        p_args = spare && PyTuple_GetItem(spare, 0) == arg ? Ref::borrow(spare) : tuple(arg);
    {
        Ref name = step_name(p);
        if (!PyDict_CheckExact(g_kwargs) || log::may_emit(log::n_debug, log::k_debug)) {
            Ref types = tuple();
            if (PyTuple_Size(p_args.get()))
                types = tuple((PyObject*)Py_TYPE(PyTuple_GetItem(p_args.get(), 0)));
            Ref keys = call_method(g_kwargs, n_keys);
            CU_LOG(debug, "Processor '%s' start. args=%s kwargs=%s", name.get(), types.get(),
                   keys.get());
        }
    }
    runtime::Stamp start = runtime::time_now();

    Ref result;
    try {
        // p.process(*p_args, g_kwargs=g_kwargs, **g_kwargs)
        Ref kw = g_spare_step_kwargs.take();
        set_item(kw.get(), n_g_kwargs, g_kwargs);
        star_kwargs(kw.get(), g_kwargs, Callee{nullptr, p, &n_process});
        result = call_process(p, p_args.get(), kw.get());
        g_spare_step_kwargs.give(std::move(kw));
    } catch (Error& err) {
        Handling handling(err);
        if (caught_by(err, module::global(n_StopRunError).get())) {
            Ref elapsed = runtime::elapsed(start, runtime::time_now());
            Ref timing = time_record(g_kwargs);
            Ref name = step_name(p);
            check_int(PyObject_SetItem(timing.get(), name.get(), elapsed.get()));
            PyObject* stop = err.value();
            // Python evaluates the arguments left to right; C++ needs telling.
            Ref log_name = step_name(p);
            Ref message = getattr(stop, n_message);
            Ref out = getattr(stop, n_out_data);
            CU_LOG(debug, "Processor stopped by '%s', message=%s out_data=%s time=%.4fs",
                   log_name.get(), message.get(), out.get(), elapsed.get());
            if (truthy(getattr(self, n__return_exceptions).get())) return getattr(stop, n_out_data);
            throw;
        }
        if (caught_by(err, module::global(n_Exception).get())) {
            CU_LOG(error, "Processor '%s' process failed, err=%s", step_name(p).get(),
                   err.value());
            throw;
        }
        throw;
    }

    Ref elapsed = runtime::elapsed(start, runtime::time_now());
    if (PyDict_CheckExact(g_kwargs) && has_base_name(p)) {
        // The base name() and exact dicts run no user code between the reads
        // of the name, so it is read once for the three of them.
        Ref name = base_name_of(p);
        Ref timing = time_record(g_kwargs);
        if (PyDict_CheckExact(timing.get())) {
            add_time(timing.get(), name.get(), elapsed.get());
            CU_LOG(debug, "Processor '%s' end. time=%.4fs", name.get(), elapsed.get());
            return result;
        }
    }
    Ref seen_name = step_name(p);
    Ref seen_timing = time_record(g_kwargs);
    if (!check_int(PySequence_Contains(seen_timing.get(), seen_name.get()))) {
        Ref timing = time_record(g_kwargs);
        Ref name = step_name(p);
        check_int(PyObject_SetItem(timing.get(), name.get(), elapsed.get()));
    } else {
        Ref timing = time_record(g_kwargs);
        Ref name = step_name(p);
        Ref sum = check(PyNumber_InPlaceAdd(get_item(timing.get(), name.get()).get(),
                                            elapsed.get()));
        check_int(PyObject_SetItem(timing.get(), name.get(), sum.get()));
    }
    CU_LOG(debug, "Processor '%s' end. time=%.4fs", step_name(p).get(), elapsed.get());
    return result;
}

const Name one_names[] = {Name("p"), Name("in_data"), Name("out_data"), Name("g_kwargs")};
const Params one_params{"_one_process", one_names, 4, 4, true};

Ref processor_one_process(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[4];
    bind(one_params, args, kwargs, a);
    Ref keep[4] = {Ref::borrow(a[0]), Ref::borrow(a[1]), Ref::borrow(a[2]), Ref::borrow(a[3])};
    return one_process(self, a[0], a[1], a[2], a[3]);
}

// ==== run ====================================================================

Ref processor_process(PyObject* self, PyObject* args, PyObject* kwargs) {
    Py_ssize_t nargs = PyTuple_Size(args);
    if (nargs > 2)
        raisef(PyExc_TypeError, "process() takes from 1 to 3 positional arguments but %zd were given",
               nargs + 1);
    require_str_keywords(kwargs, "process");
    Ref in_data = Ref::borrow(nargs > 0 ? PyTuple_GetItem(args, 0) : Py_None);
    Ref g_arg = Ref::borrow(nargs > 1 ? PyTuple_GetItem(args, 1) : nullptr);
    Ref call_kwargs = g_spare_run_kwargs.take();  // **kwargs: always a dict of our own
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (PyUnicode_Compare(key, n_g_kwargs) == 0) {
                if (g_arg)
                    raise(PyExc_TypeError, "process() got multiple values for argument 'g_kwargs'");
                g_arg = Ref::borrow(value);
                continue;
            }
            set_item(call_kwargs.get(), key, value);
        }
    }
    Ref g_kwargs = g_arg ? g_arg : Ref::borrow(g_default_g_kwargs.get());

    if (!truthy(call_method(self, n_is_ready).get())) {
        // "processor '%s' is not ready" % self.name()
        static const Name fmt("processor '%s' is not ready");
        Ref name = call_method(self, n_name);
        raise(PyExc_ValueError, check(PyUnicode_Format(fmt, name.get())).get());
    }
    Ref g = truthy(getattr(self, n__update_global_kwargs).get()) ? g_kwargs : call_kwargs;
    Ref made_timing;
    if (!check_int(PySequence_Contains(g.get(), module::global(n_TIME_KEY).get()))) {
        made_timing = g_spare_timing.take();
        check_int(PyObject_SetItem(g.get(), module::global(n_TIME_KEY).get(), made_timing.get()));
    }

    Ref out_data = in_data;
    Ref steps = getattr(self, n__processors);

    if (!truthy(getattr(self, n__use_aysnc_run).get())) {
        // process(x) already holds the tuple (x,) that a step given x needs.
        PyObject* spare = nargs == 1 ? args : nullptr;
        auto run_step = [&](PyObject* p) {
            // self._one_process is looked up for every step: a step may rebind it.
            if (resolves_to(self, n__one_process, g_one_process.get()))
                out_data = one_process(self, p, in_data.get(), out_data.get(), g.get(), spare);
            else
                out_data = call(getattr(self, n__one_process).get(), p, in_data.get(),
                                out_data.get(), g.get());
        };
        if (PyList_CheckExact(steps.get())) {
            // Index by index, as list iteration does, without an iterator object.
            for (Py_ssize_t i = 0; i < PyList_Size(steps.get()); ++i)
                run_step(Ref::borrow(PyList_GetItem(steps.get(), i)).get());
        } else {
            Ref it = iter(steps.get());
            while (Ref p = next(it.get())) run_step(p.get());
        }
        // The run's dicts are kept for the next run when nothing took them.
        g = nullptr;
        g_spare_run_kwargs.give(std::move(call_kwargs));
        g_spare_timing.give(std::move(made_timing));
        return out_data;
    }

    Ref awaitables = list();
    Ref it = iter(steps.get());
    while (Ref p = next(it.get())) {
        Ref run = module::global(n_run_in_threadpool);
        Ref runner = getattr(self, n__one_process);
        append(awaitables.get(), call(run.get(), runner.get(), p.get(), in_data.get(),
                                      out_data.get(), g.get()).get());
    }
    Ref results = runtime::gather_and_run(awaitables.get());
    return get_item(results.get(), integer(-1).get());
}

// ==== description ============================================================

Ref processor_as_dict(PyObject* self) {
    Ref parent = call((PyObject*)&PySuper_Type, g_processor.get(), self);
    Ref base = call_method(parent.get(), n_as_dict);
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
    CU_VARARGS("__init__", processor_init,
               "__init__($self, /, processors, module=None, input_arg_type=None, "
               "update_global_kwargs=False, use_aysnc_run=False, return_exceptions=False, "
               "*args, **kwargs)\n--\n\n"),
    CU_NOARGS("as_dict", processor_as_dict, "as_dict($self, /)\n--\n\n"),
    CU_NOARGS("init", processor_init_steps,
              "init($self, /)\n--\n\n"
              "Initialises the steps that are not ready; True when all of them are."),
    CU_VARARGS("_one_process", processor_one_process,
               "_one_process($self, /, p, in_data, out_data, g_kwargs)\n--\n\n"
               "Runs one step and records its time."),
    CU_VARARGS("process", processor_process,
               "process($self, in_data=None, /, g_kwargs={}, **kwargs)\n--\n\n"
               "Runs the pipeline and returns the last step's output."),
    CU_END,
};

Ref make_processor() {
    static const Name n_modules("modules"), n_main("__main__");
    Ref modules = getattr(module::global(n_sys).get(), n_modules);
    g_default_module.set(get_item(modules.get(), n_main));
    g_default_g_kwargs.set(dict());
    Ref bases = tuple(module::global(n_ProcessorBase).get());
    Ref cls = make_class("Processor", bases.get(), methods,
                         "A pipeline: runs its steps in order on one input.");
    g_one_process.set(getattr(cls.get(), n__one_process));
    g_processor.set(cls);
    return cls;
}

}  // namespace

CU_DEFINITION("Processor", make_processor);

}  // namespace cu::pipeline
