// Pickling of processors whose function is wrapped by a template of its own
// name.
//
// Decorating `def is_valid(...)` with FunctionSelector (or FunctionLooper)
// binds the module name is_valid to the template, so the function itself can
// no longer be found by its name, and pickle refuses it.  Processors holding
// such a function in `_user_function` (the template, the processors the
// factory completes from copies of it, and the FunctionProcessor that wraps
// it) therefore pickle it as "the function of the template at
// module.qualname", which the receiving process resolves through its own
// import of that module.  Everything else pickles as before.
//
// copy.copy goes through the same reduction without pickling the state, so
// __setstate__ resolves such a reference too.
#include "pipeline.hpp"
#include "../bridge/entry.hpp"
#include "../bridge/native.hpp"

namespace cu::pipeline {

namespace {

const Name n___module__("__module__"), n___qualname__("__qualname__"), n___dict__("__dict__"),
    n___reduce_ex__("__reduce_ex__"), n_importlib("importlib"), n_import_module("import_module"),
    n_operator("operator"), n_attrgetter("attrgetter");

// ==== the reference object ===================================================

// Stands for func(*args) in a pickled state: its reduction is that call.
struct Reference {
    Ref func;
    Ref args;
    auto refs() { return std::tie(func, args); }
};

using ReferenceType = Native<Reference>;

Keep g_reference_type;

bool is_reference(PyObject* o) { return Py_TYPE(o) == (PyTypeObject*)g_reference_type.get(); }

Ref new_reference(PyObject* func, PyObject* args) {
    Ref self = ReferenceType::make(g_reference_type);
    Reference& r = ReferenceType::fields(self.get());
    r.func = Ref::borrow(func);
    r.args = Ref::borrow(args);
    return self;
}

// What unpickling the reference gives.
Ref resolve(PyObject* ref) {
    Reference& r = ReferenceType::fields(ref);
    Py_ssize_t n = PyTuple_Size(r.args.get());
    Ref args = check(PyTuple_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* a = PyTuple_GetItem(r.args.get(), i);
        Ref value = is_reference(a) ? resolve(a) : Ref::borrow(a);
        PyTuple_SetItem(args.get(), i, value.release());
    }
    return call_args(r.func.get(), args.get());
}

Ref reference_reduce(PyObject* self) {
    Reference& r = ReferenceType::fields(self);
    return tuple(r.func.get(), r.args.get());
}

PyMethodDef reference_methods[] = {
    CU_NOARGS("__reduce__", reference_reduce, nullptr),
    CU_END,
};

PyType_Slot reference_slots[] = {
    {Py_tp_methods, reference_methods},                  // __reduce__
    {Py_tp_traverse, (void*)ReferenceType::traverse},    // GC
    {Py_tp_clear, (void*)ReferenceType::clear},          // GC
    {Py_tp_dealloc, (void*)ReferenceType::dealloc},      // release
    {0, nullptr},
};

PyType_Spec reference_spec = {
    "common_utils.common_utils.pickled_reference",
    sizeof(ReferenceType::Object),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    reference_slots,
};

// ==== finding a wrapped function =============================================

// A str attribute, or null.
Ref text_attr(PyObject* o, const Name& name) {
    Ref v = getattr_opt(o, name);
    return v && PyUnicode_Check(v.get()) ? v : Ref();
}

// When `fn` is the function of the processor bound at its own module and
// qualified name, a reference standing for
// attrgetter("<qualname>._user_function")(importlib.import_module("<module>")).
Ref wrapped_reference(PyObject* fn) {
    Ref module_name = text_attr(fn, n___module__);
    Ref qualname = text_attr(fn, n___qualname__);
    if (!module_name || !qualname) return nullptr;
    Ref found = loaded_module(module_name.get());
    if (!found) return nullptr;
    static const Name dot(".");
    Ref parts = check(PyUnicode_Split(qualname.get(), dot, -1));
    for (Py_ssize_t i = 0; i < PyList_Size(parts.get()); ++i) {
        found = getattr_opt(found.get(), PyList_GetItem(parts.get(), i));
        if (!found) return nullptr;
    }
    if (found.get() == fn || !isinstance(found.get(), module::global(n_ProcessorBase).get()))
        return nullptr;
    Ref held = getattr_opt(found.get(), n__user_function);
    if (held.get() != fn) return nullptr;

    Ref importlib = check(PyImport_Import(n_importlib));
    Ref import_module = getattr(importlib.get(), n_import_module);
    Ref module_ref = new_reference(import_module.get(), tuple(module_name.get()).get());
    Ref path = check(PyUnicode_FromFormat("%U._user_function", qualname.get()));
    Ref op = check(PyImport_Import(n_operator));
    Ref getter = call(getattr(op.get(), n_attrgetter).get(), path.get());
    return new_reference(getter.get(), tuple(module_ref.get()).get());
}

// ==== the methods ============================================================

// The state dict of a reduction: the state itself, or the first of a
// (dict, slots) pair.
PyObject* state_dict(PyObject* state) {
    if (PyDict_Check(state)) return state;
    if (PyTuple_Check(state) && PyTuple_Size(state) == 2 && PyDict_Check(PyTuple_GetItem(state, 0)))
        return PyTuple_GetItem(state, 0);
    return nullptr;
}

Ref base_reduce_ex(PyObject* self, PyObject* protocol) {
    Ref object_reduce = getattr((PyObject*)&PyBaseObject_Type, n___reduce_ex__);
    Ref rv = call(object_reduce.get(), self, protocol);
    if (!PyTuple_Check(rv.get()) || PyTuple_Size(rv.get()) < 3) return rv;
    PyObject* state = PyTuple_GetItem(rv.get(), 2);
    PyObject* attrs = state_dict(state);
    if (!attrs) return rv;
    PyObject* fn = dict_get(attrs, n__user_function);
    if (!fn) return rv;
    Ref reference = wrapped_reference(Ref::borrow(fn).get());
    if (!reference) return rv;

    Ref new_attrs = check(PyDict_Copy(attrs));
    set_item(new_attrs.get(), n__user_function, reference.get());
    Ref new_state = attrs == state ? new_attrs
                                   : tuple(new_attrs.get(), PyTuple_GetItem(state, 1));
    Ref out = check(PySequence_List(rv.get()));
    check_int(PyList_SetItem(out.get(), 2, new_state.release()));
    return check(PyList_AsTuple(out.get()));
}

// As the default: the dict part into __dict__, the slots part by setattr;
// then a reference left by copy.copy is resolved.
Ref base_setstate(PyObject* self, PyObject* state) {
    Ref keep = Ref::borrow(state);
    PyObject *attrs = state, *slots = nullptr;
    if (PyTuple_Check(state) && PyTuple_Size(state) == 2) {
        attrs = PyTuple_GetItem(state, 0);
        slots = PyTuple_GetItem(state, 1);
    } else if (!PyDict_Check(state) && state != Py_None) {
        raise(PyExc_TypeError, "state is not a dictionary");
    }
    if (attrs == Py_None) attrs = nullptr;
    if (slots == Py_None) slots = nullptr;
    if (attrs) {
        Ref own = getattr(self, n___dict__);
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(attrs, &pos, &key, &value)) {
            Ref v = is_reference(value) ? resolve(value) : Ref::borrow(value);
            check_int(PyObject_SetItem(own.get(), key, v.get()));
        }
    }
    if (slots) {
        Ref items = check(PyMapping_Items(slots));
        for (Py_ssize_t i = 0; i < PyList_Size(items.get()); ++i) {
            PyObject* pair = PyList_GetItem(items.get(), i);
            check_int(PyObject_SetAttr(self, PyTuple_GetItem(pair, 0), PyTuple_GetItem(pair, 1)));
        }
    }
    return none();
}

PyMethodDef pickle_methods[] = {
    CU_O_SIG("__reduce_ex__", base_reduce_ex, "($self, protocol, /)", ""),
    CU_O_SIG("__setstate__", base_setstate, "($self, state, /)", ""),
    CU_END,
};

}  // namespace

void add_pickle_support(PyObject* cls) {
    g_reference_type.set(check(PyType_FromSpec(&reference_spec)));
    add_methods(cls, pickle_methods);
}

}  // namespace cu::pipeline
