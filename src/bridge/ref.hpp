// Owned references and the error model shared by every subsystem.
//
// A C-API call that fails leaves a Python error set; `check()` turns that into
// a C++ `Error` which carries the fetched error with it.  Every entry point
// from Python (see entry.hpp) catches it and restores the exact same error, so
// an exception raised by user code passes through with its type, value,
// traceback and context untouched.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <utility>

namespace cu {

// ==== owned reference ========================================================

class Ref {
public:
    Ref() noexcept = default;
    Ref(std::nullptr_t) noexcept {}
    Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    ~Ref() { Py_XDECREF(p_); }

    Ref& operator=(Ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;  // the old value is released by `o` after the swap
    }

    static Ref steal(PyObject* p) noexcept { Ref r; r.p_ = p; return r; }
    static Ref borrow(PyObject* p) noexcept { Py_XINCREF(p); return steal(p); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { PyObject* p = p_; p_ = nullptr; return p; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// A reference held for the life of the process: module-level state such as a
// default value evaluated at definition time or a class object.  It is never
// released, since static destructors run after the interpreter has gone.
class Keep {
public:
    constexpr Keep() noexcept = default;
    void set(Ref r) noexcept {
        Ref old = Ref::steal(p_);
        p_ = r.release();
    }
    PyObject* get() const noexcept { return p_; }
    operator PyObject*() const noexcept { return p_; }

private:
    PyObject* p_ = nullptr;
};

// ==== errors =================================================================

// A Python error moved out of the interpreter's error indicator.
class Error : public std::exception {
public:
    // Takes the currently set Python error (there must be one).
    Error() noexcept { PyErr_Fetch(&type_, &value_, &tb_); }
    Error(const Error&) = delete;
    Error(Error&& o) noexcept
        : type_(o.type_), value_(o.value_), tb_(o.tb_) {
        o.type_ = o.value_ = o.tb_ = nullptr;
    }
    ~Error() override {
        Py_XDECREF(type_);
        Py_XDECREF(value_);
        Py_XDECREF(tb_);
    }
    const char* what() const noexcept override { return "Python error"; }

    // Puts the error back into the interpreter; the object is empty afterwards.
    void restore() noexcept {
        PyErr_Restore(type_, value_, tb_);
        type_ = value_ = tb_ = nullptr;
    }
    bool matches(PyObject* exc_type) const noexcept {
        return type_ && PyErr_GivenExceptionMatches(type_, exc_type);
    }
    // The exception instance (normalised on first use).
    PyObject* value() noexcept {
        PyErr_NormalizeException(&type_, &value_, &tb_);
        if (tb_ && value_) PyException_SetTraceback(value_, tb_);
        return value_;
    }
    PyObject* type() const noexcept { return type_; }

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* tb_ = nullptr;
};

[[noreturn]] inline void throw_error() { throw Error(); }

// While alive, `err` is the exception being handled, as inside an `except`
// block of Python code: sys.exc_info() reports it, and an exception raised
// meanwhile (by C code or by Python code called from here) takes it as its
// __context__.  The handled exception of the caller is put back afterwards.
class Handling {
public:
    explicit Handling(Error& err) noexcept {
        PyErr_GetExcInfo(&type_, &value_, &tb_);
        PyObject* value = err.value();
        PyObject* type = value ? (PyObject*)Py_TYPE(value) : err.type();
        PyObject* tb = value ? PyException_GetTraceback(value) : nullptr;  // new reference
        Py_XINCREF(type);
        Py_XINCREF(value);
        PyErr_SetExcInfo(type, value, tb);
    }
    ~Handling() { PyErr_SetExcInfo(type_, value_, tb_); }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* tb_ = nullptr;
};

// Raises `type(msg)` as a C++ Error.
[[noreturn]] inline void raise(PyObject* type, const char* msg) {
    PyErr_SetString(type, msg);
    throw Error();
}
[[noreturn]] inline void raise(PyObject* type, PyObject* value) {
    PyErr_SetObject(type, value);
    throw Error();
}
[[noreturn]] void raisef(PyObject* type, const char* fmt, ...);

// Checks the result of a C-API call that returns a new reference.
inline Ref check(PyObject* p) {
    if (!p) throw_error();
    return Ref::steal(p);
}
// Checks a C-API call that returns a borrowed reference or an int status.
inline PyObject* check_borrowed(PyObject* p) {
    if (!p) throw_error();
    return p;
}
inline int check_int(int r) {
    if (r < 0) throw_error();
    return r;
}

}  // namespace cu
