#include "closure.hpp"
#include "entry.hpp"
#include "module.hpp"
#include "native.hpp"

#include <cstring>

namespace cu {

namespace {

const Name n___name__("__name__"), n___qualname__("__qualname__"), n___module__("__module__"),
    n___doc__("__doc__"), n___text_signature__("__text_signature__"),
    n___annotations__("__annotations__"), n___signature__("__signature__"),
    n___dict__("__dict__");

// ==== shared by both kinds ===================================================

// By reference, as Python functions are: copy.copy and copy.deepcopy hand
// back the object itself (so a pipeline holding one can be deep-copied), and
// pickle stores `module.qualname`.
PyObject* reduce_by_name(PyObject* self, PyObject*) noexcept {
    try {
        return getattr(self, n___qualname__).release();
    } catch (...) {
        return translate_exception();
    }
}

// An instance made by calling the class would have no C state behind it.
PyObject* refuse_new(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    Ref name = Ref::steal(PyObject_GetAttrString((PyObject*)type, "__name__"));
    if (name) PyErr_Format(PyExc_TypeError, "cannot create '%S' instances", name.get());
    return nullptr;
}

PyMethodDef shared_methods[] = {
    {"__reduce__", (PyCFunction)reduce_by_name, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// The C type carries the native state; a class-statement subclass of it adds
// the instance __dict__ and weak references, which a type made by
// PyType_FromSpec cannot have on every supported interpreter.
PyObject* with_instance_dict(PyType_Spec* layout, const char* name) {
    Ref base = check(PyType_FromSpec(layout));
    Ref bases = tuple(base.get());
    return make_class(name, bases.get(), nullptr).release();
}

// ==== decorator wrappers =====================================================

struct ClosureObject {
    PyObject_HEAD
    Callback* cb;
};

ClosureObject* as_closure(PyObject* o) { return reinterpret_cast<ClosureObject*>(o); }

PyObject* closure_call(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    Callback* cb = as_closure(self)->cb;
    if (!cb) {
        PyErr_SetString(PyExc_RuntimeError, "function wrapper was cleared");
        return nullptr;
    }
    Ref keep = Ref::borrow(self);  // the callback's state lives as long as self
    try {
        return cb->call(args, kwargs).release();
    } catch (...) {
        return translate_exception();
    }
}

PyObject* method_type() {
    static PyObject* t = [] {
        Ref types = check(PyImport_ImportModule("types"));
        return getattr(types.get(), "MethodType").release();
    }();
    return t;
}

PyObject* closure_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
    if (!obj || obj == Py_None) return Ref::borrow(self).release();
    try {
        return call(method_type(), self, obj).release();
    } catch (...) {
        return translate_exception();
    }
}

int closure_traverse(PyObject* self, visitproc visit, void* arg) {
    Callback* cb = as_closure(self)->cb;
    return cb ? cb->traverse(visit, arg) : 0;
}

int closure_clear(PyObject* self) {
    Callback* cb = as_closure(self)->cb;
    as_closure(self)->cb = nullptr;  // detach first: the destructor may run Python code
    delete cb;
    return 0;
}

PyObject* closure_repr(PyObject* self) noexcept {
    Ref q = Ref::steal(PyObject_GetAttrString(self, "__qualname__"));
    if (q) return PyUnicode_FromFormat("<function %S at %p>", q.get(), self);
    PyErr_Clear();
    return PyUnicode_FromFormat("<function at %p>", self);
}

PyType_Slot closure_slots[] = {
    {Py_tp_call, (void*)closure_call},               // run the callback
    {Py_tp_descr_get, (void*)closure_get},           // bind as a method
    {Py_tp_methods, (void*)shared_methods},          // __reduce__
    {Py_tp_new, (void*)refuse_new},                  // only make_closure
    {Py_tp_traverse, (void*)closure_traverse},       // GC
    {Py_tp_clear, (void*)closure_clear},             // GC
    {Py_tp_dealloc, (void*)dealloc<closure_clear>},  // release
    {Py_tp_repr, (void*)closure_repr},               // <function qualname at ...>
    {0, nullptr},
};

PyType_Spec closure_spec = {
    "common_utils.common_utils._CallableBase",
    sizeof(ClosureObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR,
    closure_slots,
};

PyTypeObject* wrapper_type() {
    static PyObject* t = with_instance_dict(&closure_spec, "function_wrapper");
    return reinterpret_cast<PyTypeObject*>(t);
}

// ==== module functions =======================================================
//
// Builtin function objects (PyCFunction) have no __dict__, so they cannot
// carry __annotations__; these run the same method-table rows through tp_call.

struct NativeFunction {
    PyMethodDef* def = nullptr;  // static
    Ref self;                    // first argument of the C entry
    auto refs() { return std::tie(self); }
};

using NativeType = Native<NativeFunction>;

NativeFunction& as_native(PyObject* o) { return NativeType::fields(o); }

constexpr int kCallFlags = METH_VARARGS | METH_KEYWORDS | METH_NOARGS | METH_O;

bool has_keywords(PyObject* kwargs) { return kwargs && PyDict_Size(kwargs) != 0; }

// Arity errors of the fixed-shape rows.  Those without parameters word them
// as a Python function without parameters would (keywords reported first).
PyObject* refuse_arguments(PyMethodDef* def, PyObject* args, PyObject* kwargs) noexcept {
    try {
        Py_ssize_t n = PyTuple_Size(args);
        int kind = def->ml_flags & kCallFlags;
        if (kind == METH_NOARGS) {
            if (has_keywords(kwargs)) {
                Py_ssize_t pos = 0;
                PyObject *key, *value;
                PyDict_Next(kwargs, &pos, &key, &value);
                if (!PyUnicode_Check(key)) raise(PyExc_TypeError, "keywords must be strings");
                raisef(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                       def->ml_name, key);
            }
            raisef(PyExc_TypeError, "%s() takes 0 positional arguments but %zd %s given",
                   def->ml_name, n, n == 1 ? "was" : "were");
        }
        if (has_keywords(kwargs))
            raisef(PyExc_TypeError, "%s() takes no keyword arguments", def->ml_name);
        raisef(PyExc_TypeError, "%s() takes exactly one argument (%zd given)", def->ml_name, n);
    } catch (...) {
        return translate_exception();
    }
}

PyObject* native_call(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    NativeFunction& f = as_native(self);
    PyMethodDef* def = f.def;
    PyObject* first = f.self.get();
    switch (def->ml_flags & kCallFlags) {
    case METH_VARARGS | METH_KEYWORDS:
        return reinterpret_cast<PyCFunctionWithKeywords>(
            reinterpret_cast<void (*)(void)>(def->ml_meth))(first, args, kwargs);
    case METH_NOARGS:
        if (PyTuple_Size(args) != 0 || has_keywords(kwargs))
            return refuse_arguments(def, args, kwargs);
        return def->ml_meth(first, nullptr);
    case METH_O:
        if (PyTuple_Size(args) != 1 || has_keywords(kwargs))
            return refuse_arguments(def, args, kwargs);
        return def->ml_meth(first, PyTuple_GetItem(args, 0));
    default:  // METH_VARARGS, the flags having been checked when it was made
        if (has_keywords(kwargs)) return refuse_arguments(def, args, kwargs);
        return def->ml_meth(first, args);
    }
}

// Builtin-like on purpose: set as a class attribute, a module function stays
// the plain function (`C().f(x)` calls `f(x)`), as builtins do and Python
// functions do not.  Having __get__ without __set__ also makes it a method
// descriptor to inspect, which then reads __text_signature__ as it does for
// builtins, and to mypy's stubtest, which then checks it as a function.
PyObject* native_get(PyObject* self, PyObject*, PyObject*) noexcept {
    return Ref::borrow(self).release();
}

// The text signature with __annotations__ applied, as a Python function shows
// them.  The signature is parsed from the method-table row through a builtin
// twin: asking inspect about self would come back here.
Ref annotated_signature(PyObject* self, PyObject* annotations) {
    static const Name n_signature("signature"), n_parameters("parameters"), n_values("values"),
        n_name("name"), n_replace("replace"), n_annotation("annotation"),
        n_return("return"), n_return_annotation("return_annotation");
    NativeFunction& f = as_native(self);
    Ref module_name = getattr(self, n___module__);
    Ref twin = check(PyCFunction_NewEx(f.def, f.self.get(), module_name.get()));
    Ref inspect = check(PyImport_ImportModule("inspect"));
    Ref sig = call_method(inspect.get(), n_signature, twin.get());

    Ref params = list();
    Ref values = call_method(getattr(sig.get(), n_parameters).get(), n_values);
    Ref it = iter(values.get());
    while (Ref param = next(it.get())) {
        Ref name = getattr(param.get(), n_name);
        // Held: a key's __eq__ may change the dict.
        if (Ref annotation = Ref::borrow(dict_get(annotations, name.get())))
            param = call_method_kw(param.get(), n_replace, {}, {{n_annotation, annotation.get()}});
        append(params.get(), param.get());
    }
    Ref returns = Ref::borrow(dict_get(annotations, n_return));
    return call_method_kw(sig.get(), n_replace, {},
                          {{n_parameters, params.get()}, {n_return_annotation, returns.get()}});
}

// __signature__, for inspect.signature: one assigned by the caller, else the
// annotated text signature.  Without annotations there is nothing to add, and
// the AttributeError sends inspect to __text_signature__.
PyObject* native_signature(PyObject* self, void*) noexcept {
    try {
        Ref attrs = getattr(self, n___dict__);
        if (PyObject* own = dict_get(attrs.get(), n___signature__))
            return Ref::borrow(own).release();
        Ref annotations = getattr_opt(self, n___annotations__);
        if (!annotations || !PyDict_Check(annotations.get()) || PyDict_Size(annotations.get()) == 0)
            raisef(PyExc_AttributeError, "'%s' object has no attribute '__signature__'",
                   type_name(self).c_str());
        return annotated_signature(self, annotations.get()).release();
    } catch (...) {
        return translate_exception();
    }
}

int native_set_signature(PyObject* self, PyObject* value, void*) noexcept {
    try {
        Ref attrs = getattr(self, n___dict__);
        if (value) {
            set_item(attrs.get(), n___signature__, value);
        } else if (!check_int_or_false(PyDict_DelItem(attrs.get(), n___signature__),
                                       PyExc_KeyError)) {
            raisef(PyExc_AttributeError, "'%s' object has no attribute '__signature__'",
                   type_name(self).c_str());
        }
        return 0;
    } catch (...) {
        translate_exception();
        return -1;
    }
}

PyGetSetDef native_getset[] = {
    {"__signature__", native_signature, native_set_signature, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* native_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<built-in function %s>", as_native(self).def->ml_name);
}

PyType_Slot native_slots[] = {
    {Py_tp_call, (void*)native_call},               // run the C entry
    {Py_tp_descr_get, (void*)native_get},           // never binds
    {Py_tp_getset, (void*)native_getset},           // __signature__
    {Py_tp_methods, (void*)shared_methods},         // __reduce__
    {Py_tp_new, (void*)refuse_new},                 // only make_native_function
    {Py_tp_traverse, (void*)NativeType::traverse},  // GC
    {Py_tp_clear, (void*)NativeType::clear},        // GC
    {Py_tp_dealloc, (void*)NativeType::dealloc},    // release
    {Py_tp_repr, (void*)native_repr},               // <built-in function name>
    {0, nullptr},
};

PyType_Spec native_spec = {
    "common_utils.common_utils._NativeFunctionBase",
    sizeof(NativeType::Object),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    native_slots,
};

PyTypeObject* native_type() {
    static PyObject* t = with_instance_dict(&native_spec, "native_function");
    return reinterpret_cast<PyTypeObject*>(t);
}

// Sets __text_signature__ and __doc__ from a row's doc as the interpreter
// reads a builtin's: "name(...)\n--\n\n" then the text (None when empty).
void set_doc(PyObject* fn, const char* name, const char* doc) {
    Ref signature = none();
    const char* text = doc;
    std::size_t n = std::strlen(name);
    if (doc && std::strncmp(doc, name, n) == 0 && doc[n] == '(') {
        static const char marker[] = ")\n--\n\n";
        const char* end = std::strstr(doc + n, marker);
        const char* blank = std::strstr(doc + n, "\n\n");  // a signature has no blank line
        if (end && (!blank || blank > end)) {
            signature = check(PyUnicode_FromStringAndSize(doc + n, end + 1 - (doc + n)));
            text = end + sizeof(marker) - 1;
        }
    }
    setattr(fn, n___text_signature__, signature.get());
    setattr(fn, n___doc__, text && *text ? str(text).get() : Py_None);
}

}  // namespace

Ref make_closure(std::unique_ptr<Callback> cb, const char* name, const char* qualname) {
    Ref self = check(PyType_GenericAlloc(wrapper_type(), 0));
    as_closure(self.get())->cb = cb.release();
    setattr(self.get(), n___name__, str(name).get());
    setattr(self.get(), n___qualname__, str(qualname).get());
    return self;
}

Ref make_native_function(PyMethodDef* def, PyObject* self, PyObject* module_name,
                         PyObject* annotations) {
    int kind = def->ml_flags & kCallFlags;
    if ((def->ml_flags & ~kCallFlags) || !(kind == (METH_VARARGS | METH_KEYWORDS) ||
                                           kind == METH_VARARGS || kind == METH_NOARGS ||
                                           kind == METH_O))
        raisef(PyExc_SystemError, "%s(): unsupported call flags %d", def->ml_name, def->ml_flags);
    Ref fn = NativeType::make((PyObject*)native_type());
    as_native(fn.get()).def = def;
    as_native(fn.get()).self = Ref::borrow(self);

    Ref name = str(def->ml_name);
    setattr(fn.get(), n___name__, name.get());
    setattr(fn.get(), n___qualname__, name.get());
    setattr(fn.get(), n___module__, module_name ? module_name : Py_None);
    set_doc(fn.get(), def->ml_name, def->ml_doc);
    setattr(fn.get(), n___annotations__, annotations ? annotations : dict().get());
    return fn;
}

}  // namespace cu
