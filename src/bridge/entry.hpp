// Entry points from Python into C++.
//
// Logic functions return an owned `Ref` and throw on failure; the templates
// here give them the C signatures that `PyMethodDef` expects and convert any
// C++ exception back into a Python error, so no exception ever crosses the
// C boundary.
#pragma once

#include "ref.hpp"

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
#define CU_NOARGS(name, fn, doc) \
    { name, (PyCFunction)::cu::entry_noargs<fn>, METH_NOARGS, doc }
#define CU_O(name, fn, doc) \
    { name, (PyCFunction)::cu::entry_o<fn>, METH_O, doc }
// The same rows with the text signature written apart from the doc, after
// the name it belongs to: CU_VARARGS_SIG("f", fn, "(a, b=None)", "Doc.") is
// CU_VARARGS("f", fn, "f(a, b=None)\n--\n\nDoc.").
#define CU_VARARGS_SIG(name, fn, params, doc) CU_VARARGS(name, fn, name params "\n--\n\n" doc)
#define CU_NOARGS_SIG(name, fn, params, doc) CU_NOARGS(name, fn, name params "\n--\n\n" doc)
#define CU_O_SIG(name, fn, params, doc) CU_O(name, fn, name params "\n--\n\n" doc)
#define CU_END \
    { nullptr, nullptr, 0, nullptr }

}  // namespace cu
