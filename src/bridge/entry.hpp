// Entry points from Python into C++.
//
// Logic functions return an owned `Ref` and throw on failure; the templates
// here give them the C signatures that `PyMethodDef` expects and convert any
// C++ exception back into a Python error, so no exception ever crosses the
// C boundary.
#pragma once

#include "args.hpp"

namespace cu {

// Converts the exception being handled into a Python error; returns null.
// Call only from inside a `catch` block.
PyObject* translate_exception() noexcept;

using VarargsFn = Ref (*)(PyObject* self, PyObject* args, PyObject* kwargs);
using NoargsFn = Ref (*)(PyObject* self);
using OneargFn = Ref (*)(PyObject* self, PyObject* arg);

template <VarargsFn F>
PyObject* entry(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    try {
        return F(self, args, kwargs).release();
    } catch (...) {
        return translate_exception();
    }
}

// Methods that take any arguments over CallArgs (args.hpp) have two entries:
// the tuple form (METH_VARARGS | METH_KEYWORDS), and the vector form
// (METH_FASTCALL | METH_KEYWORDS: no argument tuple is made for the call).
// The vector form is stable ABI from 3.10 and its flag has had this value
// and meaning since 3.7; the 3.8 limited headers just do not name it.
constexpr int kMethFastcall = 0x0080;
using ArgsFn = Ref (*)(PyObject* self, const CallArgs& a);
using VectorEntry = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames);

template <ArgsFn F>
PyObject* entry_args(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    try {
        return F(self, CallArgs(args, kwargs)).release();
    } catch (...) {
        return translate_exception();
    }
}

// No call passes a negative count: asked with one, the vector entry stores
// its tuple-form twin at `args` instead (settle_row reads it).
template <ArgsFn F>
PyObject* entry_vector(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
    if (nargs < 0) {
        *reinterpret_cast<PyCFunctionWithKeywords*>(const_cast<PyObject**>(args)) = entry_args<F>;
        return nullptr;
    }
    try {
        return F(self, CallArgs(args, nargs, kwnames)).release();
    } catch (...) {
        return translate_exception();
    }
}

// Marks a row written with both forms (CU_ARGS); no interpreter flag uses it.
constexpr int kMethBothForms = 1 << 16;

// Makes a CU_ARGS row the form the running interpreter takes: the vector
// form from 3.10, the tuple form before (the row's flags then are exactly
// METH_VARARGS | METH_KEYWORDS).  Called for every row before the row
// becomes a method or function; other rows are left alone.
void settle_row(PyMethodDef* def);

// f(*args, **kwargs) for a caller that holds the argument tuple and dict: a
// method of a CU_ARGS row bound to its instance gets them as they are,
// through its tuple-form entry, where its vector form would convert them.
Ref call_tuple(PyObject* f, PyObject* args, PyObject* kwargs);

template <NoargsFn F>
PyObject* entry_noargs(PyObject* self, PyObject*) noexcept {
    try {
        return F(self).release();
    } catch (...) {
        return translate_exception();
    }
}

template <OneargFn F>
PyObject* entry_o(PyObject* self, PyObject* arg) noexcept {
    try {
        return F(self, arg).release();
    } catch (...) {
        return translate_exception();
    }
}

// Method-table rows.  `doc` starts with the text signature, e.g.
// "name($self, a, b=None)\n--\n\n", so that inspect.signature works.
#define CU_VARARGS(name, fn, doc) \
    { name, (PyCFunction)(void (*)(void))::cu::entry<fn>, METH_VARARGS | METH_KEYWORDS, doc }
// A row over CallArgs, with both entries (settle_row picks one).
#define CU_ARGS(name, fn, doc)                                                            \
    { name, (PyCFunction)(void (*)(void))::cu::entry_vector<fn>,                          \
      ::cu::kMethBothForms | METH_KEYWORDS, doc }
#define CU_NOARGS(name, fn, doc) \
    { name, (PyCFunction)::cu::entry_noargs<fn>, METH_NOARGS, doc }
#define CU_O(name, fn, doc) \
    { name, (PyCFunction)::cu::entry_o<fn>, METH_O, doc }
// The same rows with the text signature written apart from the doc, after
// the name it belongs to: CU_VARARGS_SIG("f", fn, "(a, b=None)", "Doc.") is
// CU_VARARGS("f", fn, "f(a, b=None)\n--\n\nDoc.").
#define CU_VARARGS_SIG(name, fn, params, doc) CU_VARARGS(name, fn, name params "\n--\n\n" doc)
#define CU_ARGS_SIG(name, fn, params, doc) CU_ARGS(name, fn, name params "\n--\n\n" doc)
#define CU_NOARGS_SIG(name, fn, params, doc) CU_NOARGS(name, fn, name params "\n--\n\n" doc)
#define CU_O_SIG(name, fn, params, doc) CU_O(name, fn, name params "\n--\n\n" doc)
#define CU_END \
    { nullptr, nullptr, 0, nullptr }

}  // namespace cu
