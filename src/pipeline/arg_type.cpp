// ARG_TYPE: how a pipeline hands data from step to step.
#include "pipeline.hpp"

namespace cu::pipeline {

Keep g_arg_type, g_arg_default, g_arg_fixed, g_arg_disable;

namespace {

void* g_arg_compare = nullptr;  // ARG_TYPE's own comparison slot, as defined

const Name n_enum("enum"), n_Enum("Enum"), n_module("module"), n_qualname("qualname");

Ref make_arg_type() {
    Ref members = check(PyList_New(0));
    Ref fixed = str("fixed"), disable = str("disable");
    append(members.get(), tuple(str("DEFAULT").get(), Py_None).get());
    append(members.get(), tuple(str("FIXED").get(), fixed.get()).get());
    append(members.get(), tuple(str("DISABLE").get(), disable.get()).get());
    Ref name = str("ARG_TYPE");
    Ref enum_cls = getattr(module::global(n_enum).get(), n_Enum);
    Ref cls = call_kw(enum_cls.get(), {name.get(), members.get()},
                      {{n_module, module::name_obj()}, {n_qualname, name.get()}});
    g_arg_default.set(getattr(cls.get(), "DEFAULT"));
    g_arg_fixed.set(getattr(cls.get(), "FIXED"));
    g_arg_disable.set(getattr(cls.get(), "DISABLE"));
    g_arg_compare = PyType_GetSlot((PyTypeObject*)cls.get(), Py_tp_richcompare);
    g_arg_type.set(cls);
    return cls;
}

}  // namespace

Mode mode_of(PyObject* arg_type) {
    static const Name n_ARG_TYPE("ARG_TYPE"), n_FIXED("FIXED"), n_DISABLE("DISABLE");
    PyObject* cls = module::lookup(n_ARG_TYPE);
    if (cls && cls == g_arg_type.get() &&
        PyType_GetSlot((PyTypeObject*)cls, Py_tp_richcompare) == g_arg_compare) {
        // Members of the class defined here, while nobody gave it an __eq__,
        // compare equal only to themselves.
        if (arg_type == g_arg_disable.get()) return Mode::disable;
        if (arg_type == g_arg_fixed.get()) return Mode::fixed;
        if (arg_type == g_arg_default.get()) return Mode::plain;
    }
    Ref current = module::global(n_ARG_TYPE);
    if (equal(arg_type, getattr(current.get(), n_DISABLE).get())) return Mode::disable;
    if (equal(arg_type, getattr(current.get(), n_FIXED).get())) return Mode::fixed;
    return Mode::plain;
}

CU_DEFINITION("ARG_TYPE", make_arg_type);

}  // namespace cu::pipeline
