#include "signature.hpp"
#include "entry.hpp"

#include <vector>

namespace cu {

namespace {

const Name n___signature__("__signature__"), n___init__("__init__"), n___new__("__new__"),
    n___call__("__call__"), n___mro__("__mro__"), n___dict__("__dict__"), n___get__("__get__"),
    n___name__("__name__"), n___text_signature__("__text_signature__"), n_inspect("inspect"),
    n_signature("signature"), n_parameters("parameters"), n_values("values"), n_kind("kind"),
    n_Parameter("Parameter"), n_POSITIONAL_ONLY("POSITIONAL_ONLY"), n_replace("replace"),
    n_name("name"), n_obj("obj");

std::vector<PyObject*> g_inits;  // the module's __init__ descriptors, owned for the process
Keep g_descriptor;               // the one descriptor every carrying class holds

bool is_own_init(PyObject* o) noexcept {
    for (PyObject* init : g_inits)
        if (init == o) return true;
    return false;
}

// What inspect takes for a callable the user did not write, and looks past.
bool is_builtin(PyObject* o) noexcept {
    return PyObject_TypeCheck(o, &PyWrapperDescr_Type) || PyObject_TypeCheck(o, &PyCFunction_Type) ||
           PyObject_TypeCheck(o, &PyClassMethodDescr_Type);
}

// `cls.__dict__["__signature__"]`, or null.
Ref own_entry(PyObject* cls) {
    Ref ns = getattr(cls, n___dict__);
    return check_or_null(PyObject_GetItem(ns.get(), n___signature__), PyExc_KeyError);
}

// The first `__signature__` in the class dicts along the MRO of `cls`, this
// descriptor aside: what the look-up would find if the descriptor were not there.
Ref next_entry(PyObject* cls, PyObject* self) {
    Ref it = iter(getattr(cls, n___mro__).get());
    while (Ref base = next(it.get()))
        if (Ref entry = own_entry(base.get()); entry && entry.get() != self) return entry;
    return nullptr;
}

// `attr` as an attribute look-up hands it out: through its type's __get__.
Ref bound(PyObject* attr, PyObject* obj, PyObject* owner) {
    Ref get = getattr_opt((PyObject*)Py_TYPE(attr), n___get__);
    if (!get) return Ref::borrow(attr);
    return call(get.get(), attr, obj ? obj : Py_None, owner);
}

// The signature inspect gives for `cls` where it reads the class's __init__
// unbound, or null where its route would not end at one of the module's own
// __init__ methods: a metaclass __call__ or a __new__ written in Python comes
// first, and an __init__ set on a subclass or patched in is someone else's.
Ref init_signature(PyObject* cls) {
    Ref call_ = getattr_opt((PyObject*)Py_TYPE(cls), n___call__);
    if (call_ && !is_builtin(call_.get())) return nullptr;
    Ref new_ = getattr_opt(cls, n___new__);
    if (new_ && !is_builtin(new_.get())) return nullptr;
    Ref init = getattr_opt(cls, n___init__);
    if (!init || !is_own_init(init.get())) return nullptr;
    Ref text = getattr_opt(init.get(), n___text_signature__);
    if (!text || !PyUnicode_Check(text.get())) return nullptr;

    Ref inspect = check(PyImport_Import(n_inspect));
    Ref sig = call_method(inspect.get(), n_signature, init.get());
    Ref values = call_method(getattr(sig.get(), n_parameters).get(), n_values);
    Ref params = check(PySequence_Tuple(values.get()));
    Py_ssize_t n = PyTuple_Size(params.get());
    if (n == 0) return nullptr;
    // `$self` reads as positional-only: the parameter an instance binds.
    Ref kind = getattr(PyTuple_GetItem(params.get(), 0), n_kind);
    Ref parameter = getattr(inspect.get(), n_Parameter);
    if (kind.get() != getattr(parameter.get(), n_POSITIONAL_ONLY).get()) return nullptr;
    Ref rest = check(PyTuple_GetSlice(params.get(), 1, n));
    Ref kwargs = dict();
    set_item(kwargs.get(), n_parameters.get(), rest.get());
    Ref no_args = tuple();
    return call_args(getattr(sig.get(), n_replace).get(), no_args.get(), kwargs.get());
}

// The interpreter's own error for a missing attribute, naming the attribute
// and the object where the interpreter does (3.10 on).
[[noreturn]] void no_attribute(PyObject* obj, bool is_class) {
    Ref msg;
    if (is_class) {
        Ref name = getattr(obj, n___name__);
        msg = check(PyUnicode_FromFormat("type object '%S' has no attribute '__signature__'",
                                         name.get()));
    } else {
        msg = check(PyUnicode_FromFormat("'%s' object has no attribute '__signature__'",
                                         type_name(obj).c_str()));
    }
    Ref exc = call(PyExc_AttributeError, msg.get());
    if (hasattr(exc.get(), n_obj)) {
        setattr(exc.get(), n_name, n___signature__.get());
        setattr(exc.get(), n_obj, obj);
    }
    raise(PyExc_AttributeError, exc.get());
}

// A non-data descriptor: an instance's own __signature__ still wins, and
// where it declines the look-up goes on as the interpreter's would, through
// the rest of the MRO and then, for a class, its metaclass.
PyObject* signature_get(PyObject* self, PyObject* obj, PyObject* type) noexcept {
    try {
        if (obj == Py_None) obj = nullptr;
        PyObject* cls = type ? type : obj ? (PyObject*)Py_TYPE(obj) : nullptr;
        if (!cls) raise(PyExc_TypeError, "__get__(None, None) is invalid");
        if (!PyType_Check(cls))
            raisef(PyExc_TypeError, "__get__() needs a type, not '%s'", type_name(cls).c_str());
        if (Ref found = next_entry(cls, self)) return bound(found.get(), obj, cls).release();
        if (!obj) {
            PyObject* meta = (PyObject*)Py_TYPE(cls);
            if (Ref found = next_entry(meta, self)) return bound(found.get(), cls, meta).release();
            if (Ref sig = init_signature(cls)) return sig.release();
        }
        no_attribute(obj ? obj : cls, !obj);
    } catch (...) {
        return translate_exception();
    }
}

PyType_Slot descriptor_slots[] = {
    {Py_tp_descr_get, (void*)signature_get},  // the class's signature
    {0, nullptr},
};

PyType_Spec descriptor_spec = {
    "common_utils.common_utils._ClassSignature", 0, 0, Py_TPFLAGS_DEFAULT, descriptor_slots,
};

PyObject* descriptor() {
    if (!g_descriptor) {
        Ref type = check(PyType_FromSpec(&descriptor_spec));
        Ref no_args = tuple();
        g_descriptor.set(check(PyType_GenericNew((PyTypeObject*)type.get(), no_args.get(), nullptr)));
    }
    return g_descriptor.get();
}

// True when a base of `cls` holds the descriptor already.
bool inherits_descriptor(PyObject* cls) {
    Ref it = iter(getattr(cls, n___mro__).get());
    while (Ref base = next(it.get()))
        if (base.get() != cls && own_entry(base.get()).get() == g_descriptor.get()) return true;
    return false;
}

}  // namespace

void give_class_signature(PyObject* cls, PyObject* init) {
    PyObject* d = descriptor();
    g_inits.reserve(g_inits.size() + 1);
    g_inits.push_back(Ref::borrow(init).release());
    if (!inherits_descriptor(cls)) setattr(cls, n___signature__, d);
}

}  // namespace cu
