#include "generator.hpp"

namespace cu {

namespace {

const Name n_throw("throw"), n_close("close");

PyObject* traceback_type() {
    static Keep t;
    if (!t) {
        Ref types = check(PyImport_ImportModule("types"));
        t.set(getattr(types.get(), "TracebackType"));
    }
    return t.get();
}

}  // namespace

Ref thrower_of(PyObject* inner) { return getattr_opt(inner, n_throw); }
Ref closer_of(PyObject* inner) { return getattr_opt(inner, n_close); }

[[noreturn]] void raise_stop() {
    PyErr_SetNone(PyExc_StopIteration);
    throw_error();
}

[[noreturn]] void raise_thrown(PyObject* typ, PyObject* val, PyObject* tb) {
    if (val == Py_None) val = nullptr;
    if (tb == Py_None) tb = nullptr;
    if (tb && (PyObject*)Py_TYPE(tb) != traceback_type())
        raise(PyExc_TypeError, "throw() third argument must be a traceback object");
    if (PyExceptionClass_Check(typ)) {
        PyObject* t = Ref::borrow(typ).release();
        PyObject* v = Ref::borrow(val ? val : Py_None).release();
        PyObject* b = Ref::borrow(tb).release();
        PyErr_NormalizeException(&t, &v, &b);
        if (b && v) PyException_SetTraceback(v, b);
        PyErr_Restore(t, v, b);
        throw_error();
    }
    if (!PyExceptionInstance_Check(typ))
        raisef(PyExc_TypeError,
               "exceptions must be classes or instances deriving from BaseException, not %s",
               type_name(typ).c_str());
    if (val) raise(PyExc_TypeError, "instance exception may not have a separate value");
    PyObject* b = tb ? Ref::borrow(tb).release() : PyException_GetTraceback(typ);
    PyErr_Restore(Ref::borrow((PyObject*)Py_TYPE(typ)).release(), Ref::borrow(typ).release(), b);
    throw_error();
}

}  // namespace cu
