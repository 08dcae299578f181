// Thin throwing wrappers over the object protocol: attributes, calls,
// strings, containers.  Each returns an owned `Ref` or a plain value and
// throws `Error` when the interpreter reports a failure.
#pragma once

#include "ref.hpp"

#include <climits>
#include <initializer_list>
#include <string>

namespace cu {

// ==== interned names =========================================================

// An attribute or keyword name, interned on first use and kept for the life
// of the process.  Declare them `static` at namespace scope or in a function.
class Name {
public:
    constexpr explicit Name(const char* text) noexcept : text_(text) {}
    PyObject* get() const {
        if (!obj_) {
            obj_ = PyUnicode_InternFromString(text_);
            if (!obj_) throw_error();
        }
        return obj_;
    }
    operator PyObject*() const { return get(); }
    const char* text() const noexcept { return text_; }

private:
    const char* text_;
    mutable PyObject* obj_ = nullptr;
};

// ==== conversions ============================================================

inline Ref str(const char* s) { return check(PyUnicode_FromString(s)); }
inline Ref str(const std::string& s) {
    return check(PyUnicode_FromStringAndSize(s.data(), (Py_ssize_t)s.size()));
}
inline Ref str_of(PyObject* o) { return check(PyObject_Str(o)); }
inline Ref repr_of(PyObject* o) { return check(PyObject_Repr(o)); }
inline Ref integer(long v) { return check(PyLong_FromLong(v)); }
inline Ref floating(double v) { return check(PyFloat_FromDouble(v)); }
inline Ref boolean(bool v) { return Ref::borrow(v ? Py_True : Py_False); }
inline Ref none() { return Ref::borrow(Py_None); }

// UTF-8 copy of a str object.
std::string utf8(PyObject* s);
// `str(o)` as UTF-8.
std::string to_string(PyObject* o);
// `type(o).__name__` as UTF-8 (never throws; "?" when unavailable).
std::string type_name(PyObject* o) noexcept;

inline bool truthy(PyObject* o) { return check_int(PyObject_IsTrue(o)) != 0; }
inline bool is_exact_str(PyObject* o) noexcept { return Py_TYPE(o) == &PyUnicode_Type; }
inline bool isinstance(PyObject* o, PyObject* cls) {
    return check_int(PyObject_IsInstance(o, cls)) != 0;
}
inline bool issubclass(PyObject* o, PyObject* cls) {
    return check_int(PyObject_IsSubclass(o, cls)) != 0;
}
inline bool equal(PyObject* a, PyObject* b) {
    return check_int(PyObject_RichCompareBool(a, b, Py_EQ)) != 0;
}

// The value of a C-API conversion that reports failure as -1 with an error
// set, or `Error`.
template <class T>
inline T converted(T (*convert)(PyObject*), PyObject* o) {
    T v = convert(o);
    if (v == T(-1) && PyErr_Occurred()) throw_error();
    return v;
}

// Python ints as C integers: the value, or `Error` (a wrong type, or an
// OverflowError with the interpreter's own wording for that C type).
inline long as_long(PyObject* o) { return converted(PyLong_AsLong, o); }
inline long long as_long_long(PyObject* o) { return converted(PyLong_AsLongLong, o); }
inline Py_ssize_t as_ssize_t(PyObject* o) { return converted(PyLong_AsSsize_t, o); }
// The value held to the long long range: an int beyond it gives the nearest
// bound instead of an OverflowError.
inline long long as_long_long_clamped(PyObject* o) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (v == -1 && PyErr_Occurred()) throw_error();
    return overflow == 0 ? v : overflow > 0 ? LLONG_MAX : LLONG_MIN;
}
inline double as_double(PyObject* o) { return converted(PyFloat_AsDouble, o); }

// ==== one expected error =====================================================

// For a C-API call that may fail in an expected way, as `try: ... except
// exc: ...` in Python: the failed call's error, if it is an `exc` (or a
// subclass), is cleared; any other error throws unchanged.
inline void clear_expected(PyObject* exc) {
    if (!PyErr_ExceptionMatches(exc)) throw_error();
    PyErr_Clear();
}
// The new reference a call returned, or a null Ref when it failed with `exc`.
inline Ref check_or_null(PyObject* result, PyObject* exc) {
    if (!result) clear_expected(exc);
    return Ref::steal(result);
}
// The same for a call that reports by status: false when it failed with `exc`.
inline bool check_int_or_false(int status, PyObject* exc) {
    if (status >= 0) return true;
    clear_expected(exc);
    return false;
}

// ==== attributes =============================================================

inline Ref getattr(PyObject* o, PyObject* name) { return check(PyObject_GetAttr(o, name)); }
inline Ref getattr(PyObject* o, const char* name) { return check(PyObject_GetAttrString(o, name)); }
// Like getattr(o, name, None) but only AttributeError is swallowed (null Ref).
Ref getattr_opt(PyObject* o, PyObject* name);
inline void setattr(PyObject* o, PyObject* name, PyObject* v) {
    check_int(PyObject_SetAttr(o, name, v));
}
inline void setattr(PyObject* o, const char* name, PyObject* v) {
    check_int(PyObject_SetAttrString(o, name, v));
}
inline bool hasattr(PyObject* o, PyObject* name) { return bool(getattr_opt(o, name)); }

// sys.modules[name], or null when no such module is loaded.
inline Ref loaded_module(PyObject* name) {
    PyObject* mod = PyImport_GetModule(name);
    if (!mod && PyErr_Occurred()) throw_error();
    return Ref::steal(mod);
}

// The dict a class keeps its own attributes in, as a new reference (null
// when it cannot be reached), for guards that probe several names on every
// call: a probe of it is what attribute look-up finds first for an instance
// of exactly that class, without the look-up's own cost.  Read-only.
PyObject* class_dict(PyObject* cls);

// ==== calls ==================================================================

template <class... A>
inline Ref call(PyObject* f, A... args) {
    return check(PyObject_CallFunctionObjArgs(f, static_cast<PyObject*>(args)..., nullptr));
}
inline Ref call_args(PyObject* f, PyObject* args, PyObject* kwargs = nullptr) {
    return check(PyObject_Call(f, args, kwargs));
}
template <class... A>
inline Ref call_method(PyObject* o, PyObject* name, A... args) {
    return check(PyObject_CallMethodObjArgs(o, name, static_cast<PyObject*>(args)..., nullptr));
}

// One keyword argument of a call: its name and a borrowed value.  A null
// value leaves the keyword out, as a caller that passes it only when it has one.
struct Kw {
    PyObject* name;
    PyObject* value;
};
// The dict of keyword arguments `{name: value, ...}`, in the order given.
Ref keywords(std::initializer_list<Kw> items);
// f(*pos, **kw), with the same argument tuple and dict as a hand-built call
// (no dict when every keyword is left out).
Ref call_kw(PyObject* f, std::initializer_list<PyObject*> pos, std::initializer_list<Kw> kw);
// o.name(*pos, **kw): the attribute is looked up first, as a Python call does.
inline Ref call_method_kw(PyObject* o, PyObject* name, std::initializer_list<PyObject*> pos,
                          std::initializer_list<Kw> kw) {
    return call_kw(getattr(o, name).get(), pos, kw);
}

// super(cls, self), for a method defined on `cls` that reaches its bases, and
// super(cls, self).name(*args).
inline Ref super_of(PyObject* cls, PyObject* self) {
    return call((PyObject*)&PySuper_Type, cls, self);
}
template <class... A>
inline Ref call_super(PyObject* cls, PyObject* self, PyObject* name, A... args) {
    return call_method(super_of(cls, self).get(), name, args...);
}
// super(cls, self).__init__(*args, **kwargs), with `args` a tuple and
// `kwargs` a dict or null.
inline Ref super_init(PyObject* cls, PyObject* self, PyObject* args, PyObject* kwargs = nullptr) {
    static const Name n___init__("__init__");
    return call_args(getattr(super_of(cls, self).get(), n___init__).get(), args, kwargs);
}

// A builtin method called through its C function with the arguments in an
// array, as the interpreter's own call sites call it: no argument tuple is
// built (under tracemalloc, a new tuple also records a traceback).  Made from
// the unbound method and the same method bound to a sample instance, which
// gives the C function.  Only a method of the fast keyword convention is
// called directly (its flags are stable ABI from 3.10 and have had this value
// and meaning since 3.7; the 3.8 limited headers just do not name them);
// any other goes through the method object.  `self` must be an instance of
// the method's class, as the method object itself would insist.
class FastMethod {
public:
    void set(PyObject* unbound, PyObject* bound_sample);
    PyObject* get() const noexcept { return unbound_.get(); }
    Ref operator()(PyObject* self, PyObject* arg) const {
        if (fn_) {
            PyObject* args[1] = {arg};
            return check(fn_(self, args, 1, nullptr));
        }
        return call(unbound_.get(), self, arg);
    }

private:
    using Fn = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
    Keep unbound_;
    Fn fn_ = nullptr;
};

// ==== containers =============================================================

template <class... A>
inline Ref tuple(A... items) {
    return check(PyTuple_Pack(sizeof...(A), static_cast<PyObject*>(items)...));
}
inline Ref dict() { return check(PyDict_New()); }
inline Ref list() { return check(PyList_New(0)); }

// One empty dict kept for a hot path that makes a throw-away dict per call.
// A dict given back while nothing else refers to it is emptied and handed out
// by the next take(); anything else is simply released.  Only exact dicts with
// no other holder are kept, so a caller cannot tell a reused dict from a new
// one, and the path is spared an allocation (under tracemalloc, also the
// traceback every new object records).  take() moves the dict out, so a
// reentrant or nested use gets a dict of its own.
class SpareDict {
public:
    constexpr SpareDict() noexcept = default;
    Ref take() {
        if (p_) return Ref::steal(std::exchange(p_, nullptr));
        return dict();
    }
    void give(Ref d) noexcept {
        if (!d || Py_REFCNT(d.get()) != 1 || !PyDict_CheckExact(d.get())) return;
        PyDict_Clear(d.get());  // may run finalizers, which may take and give too
        if (!p_ && Py_REFCNT(d.get()) == 1) p_ = d.release();
    }

private:
    PyObject* p_ = nullptr;  // owned; never released, as with Keep
};

inline void set_item(PyObject* d, PyObject* key, PyObject* v) {
    check_int(PyDict_SetItem(d, key, v));
}
inline void set_item(PyObject* d, const char* key, PyObject* v) {
    check_int(PyDict_SetItemString(d, key, v));
}
inline void append(PyObject* l, PyObject* v) { check_int(PyList_Append(l, v)); }
// Borrowed item of a dict, null when absent; errors from __eq__/__hash__ throw.
inline PyObject* dict_get(PyObject* d, PyObject* key) {
    PyObject* v = PyDict_GetItemWithError(d, key);
    if (!v && PyErr_Occurred()) throw_error();
    return v;
}
inline Py_ssize_t length(PyObject* o) {
    Py_ssize_t n = PyObject_Size(o);
    if (n < 0) throw_error();
    return n;
}
inline Ref get_item(PyObject* o, PyObject* key) { return check(PyObject_GetItem(o, key)); }
inline Ref iter(PyObject* o) { return check(PyObject_GetIter(o)); }
// Next item of an iterator, null Ref at the end.
inline Ref next(PyObject* it) {
    PyObject* v = PyIter_Next(it);
    if (!v && PyErr_Occurred()) throw_error();
    return Ref::steal(v);
}

}  // namespace cu
