// ConditionalProcessor: runs a selector pipeline on the input, then the true
// or the false branch pipeline on that same input.  FunctionSelector turns a
// predicate into a template that the factory copies and completes with the
// branches; SimpleSelector branches on the truth of the input itself.
#include "pipeline.hpp"
#include "../bridge/args.hpp"
#include "../bridge/entry.hpp"
#include "../logging/log.hpp"

namespace cu::pipeline {

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

// simple_selector(x, *args, **kwargs): bool(x).
Ref simple_selector(PyObject*, PyObject* args, PyObject* kwargs) {
    Ref x = Ref::borrow(bind_x("simple_selector", args, kwargs));
    return boolean(truthy(x.get()));
}

PyMethodDef function_defs[] = {
    CU_VARARGS_SIG("empty_func", empty_func, "(*args, **kwargs)",
                   "Returns the first positional argument, or None."),
    CU_VARARGS_SIG("simple_selector", simple_selector, "(x, *args, **kwargs)",
                   "True when x is truthy, else False."),
    CU_END,
};

// ==== ConditionalProcessor ===================================================

const Signature init_params{"__init__", {"selector", "true_processors", "false_processors"}, 3};

Ref cond_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    Ref extra, kw;
    Bound<3> a(init_params, args, kwargs, &extra, &kw);
    PyObject *selector = a[0], *trues = a[1], *falses = a[2];

    init_base(g_conditional.get(), self, extra.get(), kw.get());

    if (!truthy(selector)) {
        CU_LOG(error, "processor '%s' is empty. seletor=%s", call_method(self, n_name).get(),
               selector);
        raise(PyExc_ValueError, "`selector` processor is empty");
    }
    if (!truthy(trues) && !truthy(falses)) {
        CU_LOG(error, "processor '%s' is empty. Trues=%s Falses=%s",
               call_method(self, n_name).get(), trues, falses);
        static const Name fmt("processor '%s' Neither `true_processors` or `false_processors` are empty");
        raise(PyExc_ValueError, percent(fmt, call_method(self, n_name).get()).get());
    }

    add_sub_pipeline(self, n__selector, s_selector, selector, extra.get(), kw.get());
    add_sub_pipeline(self, n__true_processors, s_true, trues, extra.get(), kw.get(),
                     g_empty_func.get());
    add_sub_pipeline(self, n__false_processors, s_false, falses, extra.get(), kw.get(),
                     g_empty_func.get());

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
    static const Name not_ready("Selector '%s' is not ready");
    if (!truthy(ready_of(self).get())) raise_not_ready(self, not_ready);
    Ref condition = sub_process(getattr(self, n__selector).get(), args, kwargs);
    if (!PyBool_Check(condition.get())) {
        static const Name fmt("Selector '%s' return is not bool. ret=%s");
        Ref name = step_name(self);
        raise(PyExc_ValueError, percent(fmt, name.get(), condition.get()).get());
    }
    CU_LOG(debug, "Selector '%s' process condition=%s ", step_name(self).get(),
           condition.get());
    const Name& branch = condition.get() == Py_True ? n__true_processors : n__false_processors;
    return sub_process(getattr(self, branch).get(), args, kwargs);
}

PyMethodDef cond_methods[] = {
    CU_VARARGS_SIG("__init__", cond_init,
                   "($self, /, selector, true_processors, false_processors, *args, **kwargs)", ""),
    CU_NOARGS_SIG("as_dict", cond_as_dict, "($self, /)", ""),
    CU_NOARGS_SIG("init", cond_init_parts, "($self, /)",
                  "Initialises the selector and both branches; True when all are ready."),
    CU_VARARGS_SIG("process", cond_process, "($self, /, *args, **kwargs)",
                   "Runs the selector, then the branch it chose, on the same arguments."),
    CU_END,
};

Ref make_conditional() {
    remember_pipeline_class();
    g_empty_func.set(make_function(&function_defs[0]));
    g_simple_selector.set(make_function(&function_defs[1]));
    Ref cls = own_processor_class(make_subclass(
        "ConditionalProcessor", module::global(n_ProcessorBase).get(), cond_methods,
        "Runs the true or the false branch, as a selector pipeline decides."));
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
    CU_VARARGS_SIG("__init__", template_init, "($self, /, user_function=None)", ""),
    CU_VARARGS_SIG("__call__", selector_call, "($self, /, user_function)",
                   "Binds the predicate; the template takes the name Condition_<name>()."),
    CU_VARARGS_SIG("init_function_object", selector_complete, "($self, /, *args, **kwargs)",
                   "Completes the template with its branches (true_processors=, "
                   "false_processors=)."),
    CU_END,
};

Ref make_function_selector() {
    return own_processor_class(make_subclass(
        "FunctionSelector", module::global(n_ConditionalProcessor).get(), function_selector_methods,
        "Decorator: a predicate becomes a conditional-processor template."));
}

// ==== SimpleSelector =========================================================

const Signature simple_params{"__init__", {"selector"}, 0};

Ref simple_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    Ref extra, kw;
    Bound<1> ignored(simple_params, args, kwargs, &extra, &kw);
    run_class_init(g_conditional.get(), self, extra.get(), kw.get(), n_selector,
                   g_simple_selector.get());
    return none();
}

PyMethodDef simple_selector_methods[] = {
    CU_VARARGS_SIG("__init__", simple_init, "($self, /, selector=None, *args, **kwargs)", ""),
    CU_END,
};

Ref make_simple_selector() {
    Ref cls = own_processor_class(make_subclass(
        "SimpleSelector", module::global(n_ConditionalProcessor).get(), simple_selector_methods,
        "A conditional processor that branches on the truth of its input."));
    expose_for_pickle(cls.get(), "_simple_selector", g_simple_selector.get());
    return cls;
}

}  // namespace

CU_DEFINITION("ConditionalProcessor", make_conditional);
CU_DEFINITION("FunctionSelector", make_function_selector);
CU_DEFINITION("SimpleSelector", make_simple_selector);

}  // namespace cu::pipeline
