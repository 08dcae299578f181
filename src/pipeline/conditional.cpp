// ConditionalProcessor: runs a selector pipeline on the input, then the true
// or the false branch pipeline on that same input.  FunctionSelector turns a
// predicate into a template that the factory copies and completes with the
// branches; SimpleSelector branches on the truth of the input itself.
//
// The first section holds what the loop processor (loop.cpp) shares with this
// one: sub-pipelines named after their owner, their initialisation, their
// description, templates completed by the factory, and the call into a
// sub-pipeline.
#include "pipeline.hpp"
#include "../bridge/args.hpp"
#include "../bridge/entry.hpp"
#include "../logging/log.hpp"

namespace cu::pipeline {

namespace {

const Name n_Processor("Processor"), n_processors("processors"), n_empty_spec("");

Keep g_pipeline_class;    // Processor as defined here
Keep g_pipeline_process;  // Processor.process as set on that class

// The C function behind Processor.process, taken from the first bound method
// seen.  Calling it directly skips making a bound method for every call.
PyCFunctionWithKeywords g_pipeline_process_fn = nullptr;

PyCFunctionWithKeywords pipeline_process_fn(PyObject* sub) {
    if (!g_pipeline_process_fn) {
        Ref bound = getattr(sub, n_process);
        if (PyObject_TypeCheck(bound.get(), &PyCFunction_Type) &&
            PyCFunction_GetSelf(bound.get()) == sub &&
            PyCFunction_GetFlags(bound.get()) == (METH_VARARGS | METH_KEYWORDS))
            g_pipeline_process_fn =
                reinterpret_cast<PyCFunctionWithKeywords>(PyCFunction_GetFunction(bound.get()));
    }
    return g_pipeline_process_fn;
}

}  // namespace

// ==== shared with the loop processor =========================================

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

// sub.process(*args, **kwargs).  When the method is the pipeline's own, its C
// function gets `kwargs` itself: it only copies from it, which is what a
// Python call would have done.  Any other callee gets a copy.
Ref sub_process(PyObject* sub, PyObject* args, PyObject* kwargs) {
    if (resolves_to(sub, n_process, g_pipeline_process.get()) &&
        PyObject_TypeCheck(sub, (PyTypeObject*)g_pipeline_class.get())) {
        if (PyCFunctionWithKeywords fn = pipeline_process_fn(sub))
            return check(fn(sub, args, kwargs));
    }
    Ref method = getattr(sub, n_process);
    Ref kw;
    if (kwargs && PyDict_Size(kwargs)) kw = check(PyDict_Copy(kwargs));
    return call_args(method.get(), args, kw.get());
}

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

// Initialises the sub-pipelines held in `attrs` that are not ready yet; a
// failure does not stop the others.  The owner is ready when all are.
bool init_sub_pipelines(PyObject* self, const Name* const* attrs, int count,
                        const Name& over_fmt) {
    Ref parts[3];
    for (int i = 0; i < count; ++i) parts[i] = getattr(self, *attrs[i]);
    bool ok = true;
    for (int i = 0; i < count; ++i) {
        PyObject* p = parts[i].get();
        if (truthy(call_method(p, n_is_ready).get())) continue;
        CU_LOG(info, "start init processor: %s", call_method(p, n_name).get());
        if (!truthy(call_method(p, n_init).get())) {
            CU_LOG(error, "processor %s init failed", call_method(p, n_name).get());
            ok = false;
        }
    }
    if (ok) call_method(self, n_set_ready, Py_True);
    log::emit(log::n_debug, log::k_debug, over_fmt, call_method(self, n_name).get(),
              boolean(ok).get());
    return ok;
}

// The value of the single entry of super(cls, self).as_dict().
Ref base_description(PyObject* cls, PyObject* self) {
    Ref parent = call((PyObject*)&PySuper_Type, cls, self);
    Ref outer = call_method(parent.get(), n_as_dict);
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

const Name template_call_names[] = {Name("user_function")};
const Params template_call_params{"__call__", template_call_names, 1, 1};
const Params template_init_params{"__init__", template_call_names, 1, 0};

// __call__(user_function) of a decorator template: `name_fmt` is the
// processor's name with one %U for the function's __name__.
Ref bind_template(PyObject* self, PyObject* args, PyObject* kwargs, const char* name_fmt) {
    PyObject* user_function;
    bind(template_call_params, args, kwargs, &user_function);
    Ref keep = Ref::borrow(user_function);
    if (!PyCallable_Check(user_function)) {
        Ref text = str_of(user_function);
        raisef(PyExc_ValueError, "function '%U' is not callable", text.get());
    }
    setattr(self, n__user_function, user_function);
    Ref fn_name = getattr(user_function, n___name__);
    Ref formatted = check(PyObject_Format(fn_name.get(), n_empty_spec));
    setattr(self, n__name, check(PyUnicode_FromFormat(name_fmt, formatted.get())).get());
    return Ref::borrow(self);
}

// __init__(user_function=None): no base state; binds through self(...) so
// that an overridden __call__ is the one that runs.
Ref template_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* user_function;
    bind(template_init_params, args, kwargs, &user_function);
    if (user_function && user_function != Py_None) {
        Ref keep = Ref::borrow(user_function);
        call(self, user_function);
    }
    return none();
}

// cls.__init__(self, *args, <key>=value, **kwargs)
void run_class_init(PyObject* cls, PyObject* self, PyObject* args, PyObject* kwargs,
                    const Name& key, PyObject* value) {
    Ref init = getattr(cls, n___init__);
    Ref pos = prepend(self, args);
    Ref kw = dict();
    set_item(kw.get(), key, value);
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

namespace {

const Name n_selector("selector"), n__selector("_selector"),
    n__true_processors("_true_processors"), n__false_processors("_false_processors"),
    n_ConditionalProcessor("ConditionalProcessor"), s_selector("_selector"), s_true("_true"),
    s_false("_false");

Keep g_conditional;       // ConditionalProcessor as defined here
Keep g_empty_func;        // the pass-through branch
Keep g_simple_selector;   // SimpleSelector's condition

// ==== functions made for the processors ======================================

Ref empty_func(PyObject*, PyObject* args, PyObject*) {
    return Ref::borrow(PyTuple_Size(args) ? PyTuple_GetItem(args, 0) : Py_None);
}

// simple_selector(x, *args, **kwargs): bool(x).  Bound by hand: it runs on
// every conditional call and binding through a dict would cost allocations.
Ref simple_selector(PyObject*, PyObject* args, PyObject* kwargs) {
    static const Name n_x("x");
    PyObject* x = PyTuple_Size(args) ? PyTuple_GetItem(args, 0) : nullptr;
    PyObject* by_keyword = kwargs ? dict_get(kwargs, n_x) : nullptr;
    if (x && by_keyword)
        raise(PyExc_TypeError, "simple_selector() got multiple values for argument 'x'");
    if (!x) x = by_keyword;
    if (!x)
        raise(PyExc_TypeError, "simple_selector() missing 1 required positional argument: 'x'");
    Ref keep = Ref::borrow(x);
    return boolean(truthy(x));
}

PyMethodDef function_defs[] = {
    CU_VARARGS("empty_func", empty_func,
               "empty_func(*args, **kwargs)\n--\n\n"
               "Returns the first positional argument, or None."),
    CU_VARARGS("simple_selector", simple_selector,
               "simple_selector(x, *args, **kwargs)\n--\n\n"
               "True when x is truthy, else False."),
    CU_END,
};

// ==== ConditionalProcessor ===================================================

const Name init_names[] = {Name("selector"), Name("true_processors"), Name("false_processors")};
const Params init_params{"__init__", init_names, 3, 3};

Ref percent(const Name& fmt, PyObject* a) { return check(PyUnicode_Format(fmt, tuple(a).get())); }
Ref percent(const Name& fmt, PyObject* a, PyObject* b) {
    return check(PyUnicode_Format(fmt, tuple(a, b).get()));
}

Ref cond_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[3];
    Ref extra, kw;
    bind_var(init_params, args, kwargs, a, &extra, &kw);
    Ref selector = Ref::borrow(a[0]), trues = Ref::borrow(a[1]), falses = Ref::borrow(a[2]);

    Ref parent = call((PyObject*)&PySuper_Type, g_conditional.get(), self);
    call_args(getattr(parent.get(), n___init__).get(), extra.get(),
              check(PyDict_Copy(kw.get())).get());

    if (!truthy(selector.get())) {
        CU_LOG(error, "processor '%s' is empty. seletor=%s", call_method(self, n_name).get(),
               selector.get());
        raise(PyExc_ValueError, "`selector` processor is empty");
    }
    if (!truthy(trues.get()) && !truthy(falses.get())) {
        CU_LOG(error, "processor '%s' is empty. Trues=%s Falses=%s",
               call_method(self, n_name).get(), trues.get(), falses.get());
        static const Name fmt("processor '%s' Neither `true_processors` or `false_processors` are empty");
        raise(PyExc_ValueError, percent(fmt, call_method(self, n_name).get()).get());
    }

    name_sub_pipeline(self, kw.get(), s_selector);
    setattr(self, n__selector, new_sub_pipeline(selector.get(), extra.get(), kw.get()).get());
    name_sub_pipeline(self, kw.get(), s_true);
    PyObject* branch = truthy(trues.get()) ? trues.get() : g_empty_func.get();
    setattr(self, n__true_processors, new_sub_pipeline(branch, extra.get(), kw.get()).get());
    name_sub_pipeline(self, kw.get(), s_false);
    branch = truthy(falses.get()) ? falses.get() : g_empty_func.get();
    setattr(self, n__false_processors, new_sub_pipeline(branch, extra.get(), kw.get()).get());

    CU_LOG(debug, "Selector create over. `%s` selector=%s TRUE=%s FALSE=%s",
           class_name(self).get(), call_method(self, n_name).get(),
           getattr(self, n__true_processors).get(), getattr(self, n__false_processors).get());
    return none();
}

Ref cond_as_dict(PyObject* self) {
    Ref cls_name = class_name(self);
    Ref inner = base_description(g_conditional.get(), self);
    static const Name k_selector("selector"), k_true("true_processors"), k_false("false_processors");
    const Name* const keys[] = {&k_selector, &k_true, &k_false};
    const Name* const attrs[] = {&n__selector, &n__true_processors, &n__false_processors};
    for (int i = 0; i < 3; ++i) {
        Ref listed = sub_processor_list(getattr(self, *attrs[i]).get());
        check_int(PyObject_SetItem(inner.get(), *keys[i], listed.get()));
    }
    Ref out = dict();
    set_item(out.get(), cls_name.get(), inner.get());
    return out;
}

Ref cond_init_parts(PyObject* self) {
    static const Name over("Selector '%s' init over. flag=%s ");
    const Name* const attrs[] = {&n__selector, &n__true_processors, &n__false_processors};
    return boolean(init_sub_pipelines(self, attrs, 3, over));
}

// Runs once per call of every conditional: the sub-pipeline calls skip the
// bound methods, and nothing is allocated here for a debug line that is off.
Ref cond_process(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (!truthy(call_method(self, n_is_ready).get())) {
        static const Name fmt("Selector '%s' is not ready");
        raise(PyExc_ValueError, percent(fmt, call_method(self, n_name).get()).get());
    }
    Ref condition = sub_process(getattr(self, n__selector).get(), args, kwargs);
    if (!PyBool_Check(condition.get())) {
        static const Name fmt("Selector '%s' return is not bool. ret=%s");
        Ref name = call_method(self, n_name);
        raise(PyExc_ValueError, percent(fmt, name.get(), condition.get()).get());
    }
    CU_LOG(debug, "Selector '%s' process condition=%s ", call_method(self, n_name).get(),
           condition.get());
    const Name& branch = condition.get() == Py_True ? n__true_processors : n__false_processors;
    return sub_process(getattr(self, branch).get(), args, kwargs);
}

PyMethodDef cond_methods[] = {
    CU_VARARGS("__init__", cond_init,
               "__init__($self, /, selector, true_processors, false_processors, *args, "
               "**kwargs)\n--\n\n"),
    CU_NOARGS("as_dict", cond_as_dict, "as_dict($self, /)\n--\n\n"),
    CU_NOARGS("init", cond_init_parts,
              "init($self, /)\n--\n\n"
              "Initialises the selector and both branches; True when all are ready."),
    CU_VARARGS("process", cond_process,
               "process($self, /, *args, **kwargs)\n--\n\n"
               "Runs the selector, then the branch it chose, on the same arguments."),
    CU_END,
};

Ref make_conditional() {
    remember_pipeline_class();
    g_empty_func.set(make_function(&function_defs[0]));
    g_simple_selector.set(make_function(&function_defs[1]));
    Ref bases = tuple(module::global(n_ProcessorBase).get());
    Ref cls = make_class("ConditionalProcessor", bases.get(), cond_methods,
                         "Runs the true or the false branch, as a selector pipeline decides.");
    expose_for_pickle(cls.get(), "_empty_func", g_empty_func.get());
    g_conditional.set(cls);
    return cls;
}

// ==== FunctionSelector =======================================================

Ref selector_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return bind_template(self, args, kwargs, "Condition_%U()");
}

Ref selector_complete(PyObject* self, PyObject* args, PyObject* kwargs) {
    return complete_template(g_conditional.get(), self, args, kwargs, n_selector);
}

PyMethodDef function_selector_methods[] = {
    CU_VARARGS("__init__", template_init, "__init__($self, /, user_function=None)\n--\n\n"),
    CU_VARARGS("__call__", selector_call,
               "__call__($self, /, user_function)\n--\n\n"
               "Binds the predicate; the template takes the name Condition_<name>()."),
    CU_VARARGS("init_function_object", selector_complete,
               "init_function_object($self, /, *args, **kwargs)\n--\n\n"
               "Completes the template with its branches (true_processors=, "
               "false_processors=)."),
    CU_END,
};

Ref make_function_selector() {
    Ref bases = tuple(module::global(n_ConditionalProcessor).get());
    return make_class("FunctionSelector", bases.get(), function_selector_methods,
                      "Decorator: a predicate becomes a conditional-processor template.");
}

// ==== SimpleSelector =========================================================

const Name simple_names[] = {Name("selector")};
const Params simple_params{"__init__", simple_names, 1, 0};

Ref simple_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* ignored;
    Ref extra, kw;
    bind_var(simple_params, args, kwargs, &ignored, &extra, &kw);
    run_class_init(g_conditional.get(), self, extra.get(), kw.get(), n_selector,
                   g_simple_selector.get());
    return none();
}

PyMethodDef simple_selector_methods[] = {
    CU_VARARGS("__init__", simple_init,
               "__init__($self, /, selector=None, *args, **kwargs)\n--\n\n"),
    CU_END,
};

Ref make_simple_selector() {
    Ref bases = tuple(module::global(n_ConditionalProcessor).get());
    Ref cls = make_class("SimpleSelector", bases.get(), simple_selector_methods,
                         "A conditional processor that branches on the truth of its input.");
    expose_for_pickle(cls.get(), "_simple_selector", g_simple_selector.get());
    return cls;
}

}  // namespace

CU_DEFINITION("ConditionalProcessor", make_conditional);
CU_DEFINITION("FunctionSelector", make_function_selector);
CU_DEFINITION("SimpleSelector", make_simple_selector);

}  // namespace cu::pipeline
