#include "object.hpp"
#include "entry.hpp"

#include <cstdarg>
#include <new>

namespace cu {

void raisef(PyObject* type, const char* fmt, ...) {
    va_list va;
    va_start(va, fmt);
    PyObject* msg = PyUnicode_FromFormatV(fmt, va);
    va_end(va);
    if (msg) {
        PyErr_SetObject(type, msg);
        Py_DECREF(msg);
    }
    throw Error();
}

std::string utf8(PyObject* s) {
    Ref bytes = check(PyUnicode_AsUTF8String(s));
    char* data = nullptr;
    Py_ssize_t size = 0;
    check_int(PyBytes_AsStringAndSize(bytes.get(), &data, &size));
    return std::string(data, (std::size_t)size);
}

std::string to_string(PyObject* o) { return utf8(str_of(o).get()); }

std::string type_name(PyObject* o) noexcept {
    Ref name = Ref::steal(PyObject_GetAttrString((PyObject*)Py_TYPE(o), "__name__"));
    std::string out = "?";
    if (name && PyUnicode_Check(name.get()))
        if (Ref bytes = Ref::steal(PyUnicode_AsUTF8String(name.get())))
            out = PyBytes_AsString(bytes.get());
    PyErr_Clear();
    return out;
}

void FastMethod::set(PyObject* unbound, PyObject* bound_sample) {
    constexpr int kFastcall = 0x0080;  // METH_FASTCALL
    unbound_.set(Ref::borrow(unbound));
    fn_ = nullptr;
    if (PyCFunction_Check(bound_sample) &&
        PyCFunction_GetFlags(bound_sample) == (kFastcall | METH_KEYWORDS))
        fn_ = reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(PyCFunction_GetFunction(bound_sample)));
}

PyObject* class_dict(PyObject* cls) {
    static const Name n_gc("gc"), n_get_referents("get_referents"), n___dict__("__dict__");
    Ref gc = check(PyImport_Import(n_gc));
    Ref proxy = getattr(cls, n___dict__);
    Ref found = call_method(gc.get(), n_get_referents, proxy.get());
    if (!PyList_Check(found.get()) || PyList_Size(found.get()) != 1) return nullptr;
    PyObject* d = PyList_GetItem(found.get(), 0);
    return PyDict_CheckExact(d) ? Ref::borrow(d).release() : nullptr;
}

Ref getattr_opt(PyObject* o, PyObject* name) {
    return check_or_null(PyObject_GetAttr(o, name), PyExc_AttributeError);
}

Ref keywords(std::initializer_list<Kw> items) {
    Ref d = dict();
    for (const Kw& kw : items)
        if (kw.value) set_item(d.get(), kw.name, kw.value);
    return d;
}

Ref call_kw(PyObject* f, std::initializer_list<PyObject*> pos, std::initializer_list<Kw> kw) {
    Ref args = check(PyTuple_New((Py_ssize_t)pos.size()));
    Py_ssize_t i = 0;
    for (PyObject* item : pos) PyTuple_SetItem(args.get(), i++, Ref::borrow(item).release());
    for (const Kw& item : kw)
        if (item.value) return call_args(f, args.get(), keywords(kw).get());
    return call_args(f, args.get());
}

PyObject* translate_exception() noexcept {
    try {
        throw;
    } catch (Error& e) {
        e.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
    return nullptr;
}

}  // namespace cu
