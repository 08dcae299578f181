#include "closure.hpp"
#include "entry.hpp"
#include "module.hpp"

namespace cu {

namespace {

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
    if (!obj || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
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

void closure_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    closure_clear(self);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free));
    free_fn(self);
    Py_DECREF(tp);
}

PyObject* closure_repr(PyObject* self) noexcept {
    static Name qualname_name("__qualname__");
    PyObject* q = PyObject_GetAttr(self, qualname_name);
    if (!q) {
        PyErr_Clear();
        return PyUnicode_FromFormat("<function at %p>", self);
    }
    PyObject* r = PyUnicode_FromFormat("<function %S at %p>", q, self);
    Py_DECREF(q);
    return r;
}

PyType_Slot closure_slots[] = {
    {Py_tp_call, (void*)closure_call},          // run the callback
    {Py_tp_descr_get, (void*)closure_get},      // bind as a method
    {Py_tp_traverse, (void*)closure_traverse},  // GC
    {Py_tp_clear, (void*)closure_clear},        // GC
    {Py_tp_dealloc, (void*)closure_dealloc},    // release
    {Py_tp_repr, (void*)closure_repr},          // <function qualname at ...>
    {0, nullptr},
};

PyType_Spec closure_spec = {
    "common_utils.common_utils._CallableBase",
    sizeof(ClosureObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR,
    closure_slots,
};

// The C type carries the callback; a class-statement subclass of it adds the
// instance __dict__ and weak references, which a spec-built type cannot have
// on every supported interpreter.
PyTypeObject* wrapper_type() {
    static PyObject* t = [] {
        Ref base = check(PyType_FromSpec(&closure_spec));
        Ref bases = tuple(base.get());
        return make_class("function_wrapper", bases.get(), nullptr).release();
    }();
    return reinterpret_cast<PyTypeObject*>(t);
}

}  // namespace

Ref make_closure(std::unique_ptr<Callback> cb, const char* name, const char* qualname) {
    Ref self = check(PyType_GenericAlloc(wrapper_type(), 0));
    as_closure(self.get())->cb = cb.release();
    setattr(self.get(), "__name__", str(name).get());
    setattr(self.get(), "__qualname__", str(qualname).get());
    return self;
}

}  // namespace cu
