// What the processors that hold other processors share: the initialisation
// of their children, the "not ready" error, sub-pipelines named after their
// owner and the calls into them, their description, and the decorator
// templates (FunctionSelector, FunctionLooper) that the factory completes.
#include "pipeline.hpp"
#include "../bridge/args.hpp"
#include "../bridge/entry.hpp"
#include "../logging/log.hpp"

namespace cu::pipeline {

namespace {

const Name n_Processor("Processor"), n_processors("processors"), n_empty_spec("");

Keep g_pipeline_class;    // Processor as defined here
Keep g_pipeline_process;  // Processor.process as set on that class

}  // namespace

// ==== rules shared by the processors =========================================

Ref percent(const Name& fmt, PyObject* a) { return check(PyUnicode_Format(fmt, tuple(a).get())); }
Ref percent(const Name& fmt, PyObject* a, PyObject* b) {
    return check(PyUnicode_Format(fmt, tuple(a, b).get()));
}

void raise_not_ready(PyObject* self, const Name& fmt) {
    // fmt % self.name(): a name that is a tuple supplies the arguments itself.
    Ref name = call_method(self, n_name);
    raise(PyExc_ValueError, check(PyUnicode_Format(fmt, name.get())).get());
}

ChildrenInit init_children(PyObject* self, PyObject* children) {
    ChildrenInit done{true, 0};
    Ref it = iter(children);
    while (Ref p = next(it.get())) {
        if (truthy(ready_of(p.get()).get())) continue;
        CU_LOG(info, "start init processor: %s", step_name(p.get()).get());
        if (!truthy(call_method(p.get(), n_init).get())) {
            CU_LOG(error, "processor %s init failed", step_name(p.get()).get());
            done.ok = false;
        }
        ++done.count;
    }
    if (done.ok) call_method(self, n_set_ready, Py_True);
    return done;
}

PyObject* bind_x(const char* fn, PyObject* args, PyObject* kwargs) {
    static const Name n_x("x");
    PyObject* x = PyTuple_Size(args) ? PyTuple_GetItem(args, 0) : nullptr;
    PyObject* by_keyword = kwargs ? dict_get(kwargs, n_x) : nullptr;
    if (x && by_keyword) raisef(PyExc_TypeError, "%s() got multiple values for argument 'x'", fn);
    if (!x) x = by_keyword;
    if (!x) raisef(PyExc_TypeError, "%s() missing 1 required positional argument: 'x'", fn);
    return x;
}

// ==== sub-pipelines ==========================================================

void remember_pipeline_class() {
    Ref cls = module::global(n_Processor);
    g_pipeline_process.set(getattr(cls.get(), n_process));
    g_pipeline_class.set(std::move(cls));
}

Ref prepend(PyObject* first, PyObject* rest) {
    Py_ssize_t n = PyTuple_Size(rest);
    Ref out = check(PyTuple_New(n + 1));
    PyTuple_SetItem(out.get(), 0, Ref::borrow(first).release());
    for (Py_ssize_t i = 0; i < n; ++i)
        PyTuple_SetItem(out.get(), i + 1, Ref::borrow(PyTuple_GetItem(rest, i)).release());
    return out;
}

// sub.process(*args, **kwargs).  When the method is the pipeline's own, it
// runs without a bound method and gets `kwargs` itself: it only copies from
// it, which is what a Python call would have done.  Any other callee gets a
// copy.
Ref sub_process(PyObject* sub, PyObject* args, PyObject* kwargs) {
    if (resolves(sub, b_process, n_process, g_pipeline_process.get()) &&
        PyObject_TypeCheck(sub, (PyTypeObject*)g_pipeline_class.get()))
        return run_pipeline(sub, args, kwargs);
    Ref method = getattr(sub, n_process);
    Ref kw;
    if (kwargs && PyDict_Size(kwargs)) kw = check(PyDict_Copy(kwargs));
    return call_args(method.get(), args, kw.get());
}

namespace {

// kwargs['name'] = f"{self.name()}{suffix}"
void name_sub_pipeline(PyObject* self, PyObject* kwargs, const Name& suffix) {
    Ref name = call_method(self, n_name);
    Ref text = check(PyObject_Format(name.get(), n_empty_spec));
    Ref full = check(PyUnicode_Concat(text.get(), suffix));
    set_item(kwargs, n_name, full.get());
}

// Processor(step, *args, **kwargs), with the class read from the namespace now.
Ref new_sub_pipeline(PyObject* step, PyObject* args, PyObject* kwargs) {
    Ref pos = prepend(step, args);
    Ref kw = check(PyDict_Copy(kwargs));
    return call_args(module::global(n_Processor).get(), pos.get(), kw.get());
}

}  // namespace

void add_sub_pipeline(PyObject* self, const Name& attr, const Name& suffix, PyObject* steps,
                      PyObject* args, PyObject* kwargs, PyObject* fallback) {
    name_sub_pipeline(self, kwargs, suffix);
    PyObject* step = fallback && !truthy(steps) ? fallback : steps;
    setattr(self, attr, new_sub_pipeline(step, args, kwargs).get());
}

bool init_sub_pipelines(PyObject* self, const Name* const* attrs, int count,
                        const Name& over_fmt) {
    // All are read before any is initialised.
    Ref parts = check(PyTuple_New(count));
    for (int i = 0; i < count; ++i)
        PyTuple_SetItem(parts.get(), i, getattr(self, *attrs[i]).release());
    bool ok = init_children(self, parts.get()).ok;
    log::emit(log::n_debug, log::k_debug, over_fmt, call_method(self, n_name).get(),
              boolean(ok).get());
    return ok;
}

void init_base(PyObject* cls, PyObject* self, PyObject* args, PyObject* kwargs) {
    super_init(cls, self, args, check(PyDict_Copy(kwargs)).get());
}

// The value of the single entry of super(cls, self).as_dict().
Ref base_description(PyObject* cls, PyObject* self) {
    Ref outer = call_super(cls, self, n_as_dict);
    Ref values = check(PyMapping_Values(outer.get()));
    return get_item(values.get(), integer(0).get());
}

// list(sub.as_dict().values())[0]['processors']
Ref sub_processor_list(PyObject* sub) {
    Ref outer = call_method(sub, n_as_dict);
    Ref values = check(PyMapping_Values(outer.get()));
    Ref inner = get_item(values.get(), integer(0).get());
    return get_item(inner.get(), n_processors);
}

// The functions the processors make for themselves are pickled by reference,
// as module-level functions are: each is reachable as an attribute of its
// class, under the qualified name pickle looks up.
void expose_for_pickle(PyObject* cls, const char* attr, PyObject* fn) {
    static const Name n___qualname__("__qualname__");
    Ref qualname = check(PyUnicode_FromFormat("%U.%s", getattr(cls, n___name__).get(), attr));
    setattr(fn, n___qualname__, qualname.get());
    setattr(cls, attr, fn);
}

// ==== templates ==============================================================

const Signature template_call_params{"__call__", {"user_function"}, 1};
const Signature template_init_params{"__init__", {"user_function"}, 0};

// __call__(user_function) of a decorator template: `name_fmt` is the
// processor's name with one %U for the function's __name__.
Ref bind_template(PyObject* self, PyObject* args, PyObject* kwargs, const char* name_fmt) {
    Bound<1> a(template_call_params, args, kwargs);
    PyObject* user_function = a[0];
    require_callable(user_function);
    setattr(self, n__user_function, user_function);
    Ref fn_name = getattr(user_function, n___name__);
    Ref formatted = check(PyObject_Format(fn_name.get(), n_empty_spec));
    setattr(self, n__name, check(PyUnicode_FromFormat(name_fmt, formatted.get())).get());
    return Ref::borrow(self);
}

// __init__(user_function=None): no base state; binds through self(...) so
// that an overridden __call__ is the one that runs.
Ref template_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    Bound<1> a(template_init_params, args, kwargs);
    if (a[0] && a[0] != Py_None) call(self, a[0]);
    return none();
}

// cls.__init__(self, *args, <key>=value, **kwargs)
void run_class_init(PyObject* cls, PyObject* self, PyObject* args, PyObject* kwargs,
                    const Name& key, PyObject* value) {
    Ref init = getattr(cls, n___init__);
    Ref pos = prepend(self, args);
    Ref kw = cu::keywords({{key, value}});
    if (kwargs) {
        if (dict_get(kwargs, key))
            raisef(PyExc_TypeError, "__init__() got multiple values for keyword argument '%s'",
                   key.text());
        check_int(PyDict_Merge(kw.get(), kwargs, 1));
    }
    call_args(init.get(), pos.get(), kw.get());
}

// init_function_object(*args, **kwargs): the template becomes a working
// processor of `cls`, its function passed as the keyword `key`.
Ref complete_template(PyObject* cls, PyObject* self, PyObject* args, PyObject* kwargs,
                      const Name& key) {
    Ref kw = kwargs ? check(PyDict_Copy(kwargs)) : dict();  // **kwargs is ours to change
    if (!dict_get(kw.get(), n_name)) set_item(kw.get(), n_name, getattr(self, n__name).get());
    Ref function = getattr(self, n__user_function);
    run_class_init(cls, self, args, kw.get(), key, function.get());
    return none();
}

}  // namespace cu::pipeline
