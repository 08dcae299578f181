// Argument binding for functions whose parameters may be given by position or
// by keyword.  Cheaper than PyArg_ParseTupleAndKeywords (no format string, no
// per-call keyword list), with the interpreter's own wording for arity errors.
#pragma once

#include "object.hpp"

#include <cstddef>
#include <utility>

namespace cu {

// The arguments of one call as the interpreter hands them to a C method: an
// argument tuple and a keyword dict (or null), or, in the vector form that
// methods get from 3.10 (entry.hpp), an array of the positional values
// followed by one value per name of the tuple `kwnames` (or null).  Logic
// written over CallArgs runs on either form, so the tuple form passes a
// caller's tuple and dict on untouched.  Borrowed: valid during the call.
class CallArgs {
public:
    CallArgs(PyObject* args, PyObject* kwargs) noexcept : tuple_(args), kwargs_(kwargs) {}
    CallArgs(PyObject* const* stack, Py_ssize_t nargs, PyObject* kwnames) noexcept
        : stack_(stack), nargs_(nargs), kwargs_(kwnames), vector_(true) {}
    CallArgs(const CallArgs&) = delete;
    CallArgs& operator=(const CallArgs&) = delete;

    // The number of positional arguments, and positional argument i.
    Py_ssize_t size() const noexcept {
        return vector_ ? nargs_ : tuple_ ? PyTuple_Size(tuple_) : 0;
    }
    PyObject* operator[](Py_ssize_t i) const noexcept {
        return vector_ ? stack_[i] : PyTuple_GetItem(tuple_, i);
    }
    bool has_keywords() const noexcept {
        return kwargs_ && (vector_ ? PyTuple_Size(kwargs_) : PyDict_Size(kwargs_)) > 0;
    }
    // f(name, value) for each keyword argument, in the order given.
    template <class F>
    void each_keyword(F&& f) const {
        if (!kwargs_) return;
        if (vector_) {
            for (Py_ssize_t i = 0, n = PyTuple_Size(kwargs_); i < n; ++i)
                f(PyTuple_GetItem(kwargs_, i), stack_[nargs_ + i]);
            return;
        }
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs_, &pos, &key, &value)) f(key, value);
    }
    // The positional arguments as a tuple (borrowed): the caller's own, or
    // one made on first use and kept for the call.
    PyObject* tuple() const;
    // The positional arguments from `from` on, as a tuple.
    Ref tail(Py_ssize_t from) const;
    // f(*args, **kwargs).  The tuple form gives f the caller's tuple and dict
    // themselves, as PyObject_Call would; the vector form makes them, or
    // calls f without either when there are no keywords and few positional
    // arguments.  `own_kwargs` gives f a dict of its own in every form, for a
    // caller that passes the same keywords on again.
    Ref call(PyObject* f, bool own_kwargs = false) const;

private:
    PyObject* tuple_ = nullptr;         // tuple form
    PyObject* const* stack_ = nullptr;  // vector form
    Py_ssize_t nargs_ = 0;
    PyObject* kwargs_;                  // the dict, or the vector form's kwnames
    bool vector_ = false;
    mutable Ref made_;                  // the tuple the vector form made
};

struct Params {
    const char* function;      // used in messages: "<function>() takes ..."
    const Name* names;         // parameter names in positional order
    std::size_t count;
    std::size_t required;      // the first `required` parameters have no default
    bool method = false;       // counts `self` in arity messages, as Python does
};

// Params that keep their names inline, declared in one statement:
//     const Signature init_params{"__init__", {"stream", "mode"}, 1, true};
template <std::size_t N>
class Signature : public Params {
public:
    Signature(const char* function, const char* const (&names)[N], std::size_t required,
              bool method = false)
        : Signature(function, names, required, method, std::make_index_sequence<N>()) {}
    Signature(const Signature&) = delete;
    Signature& operator=(const Signature&) = delete;

private:
    template <std::size_t... I>
    Signature(const char* function, const char* const (&names)[N], std::size_t required,
              bool method, std::index_sequence<I...>)
        : Params{function, names_, N, required, method}, names_{Name(names[I])...} {}

    Name names_[N];
};
template <std::size_t N>
Signature(const char*, const char* const (&)[N], std::size_t, bool = false) -> Signature<N>;

// Binds `args`/`kwargs` to `out[0..count)` (borrowed references; null where an
// optional parameter was not given).  Raises TypeError as the interpreter does
// for surplus, missing, duplicate or unknown arguments.
void bind(const Params& p, const CallArgs& a, PyObject** out);
inline void bind(const Params& p, PyObject* args, PyObject* kwargs, PyObject** out) {
    bind(p, CallArgs(args, kwargs), out);
}

// As bind(), for a function that also takes *args and **kwargs: positional
// arguments beyond `count` go to `varargs` (a tuple) and unknown keywords to
// `varkw` (always a new dict, never the caller's own).  Either may be null:
// a null `varargs` refuses surplus positional arguments, a null `varkw`
// unknown keywords, as bind() does.
void bind_var(const Params& p, const CallArgs& a, PyObject** out, Ref* varargs, Ref* varkw);
inline void bind_var(const Params& p, PyObject* args, PyObject* kwargs, PyObject** out,
                     Ref* varargs, Ref* varkw) {
    bind_var(p, CallArgs(args, kwargs), out, varargs, varkw);
}

// The arguments of one call bound to `p` and held for the call (a keyword
// argument's dict could otherwise drop it): `a[i]` is parameter i, null where
// an optional one was not given, and `a.get(i, fallback)` the fallback there.
// With `varargs`/`varkw` it binds as bind_var(); a null `varargs` refuses
// surplus positional arguments as bind() does.
template <std::size_t N>
class Bound {
public:
    Bound(const Params& p, const CallArgs& a, Ref* varargs = nullptr, Ref* varkw = nullptr) {
        bind_var(p, a, raw_, varargs, varkw);
        for (std::size_t i = 0; i < N; ++i) held_[i] = Ref::borrow(raw_[i]);
    }
    Bound(const Params& p, PyObject* args, PyObject* kwargs, Ref* varargs = nullptr,
          Ref* varkw = nullptr)
        : Bound(p, CallArgs(args, kwargs), varargs, varkw) {}
    PyObject* operator[](std::size_t i) const noexcept { return raw_[i]; }
    PyObject* get(std::size_t i, PyObject* fallback) const noexcept {
        return raw_[i] ? raw_[i] : fallback;
    }

private:
    PyObject* raw_[N];
    Ref held_[N];
};

// `TypeError` for an argument of the wrong type:
// "<function>() argument '<param>' must be <expected>, not <type>".
[[noreturn]] void raise_wrong_type(const char* function, const char* param, const char* expected,
                                   PyObject* got);
// The same for a parameter that must be exactly `str`.
[[noreturn]] inline void raise_not_str(const char* function, const char* param, PyObject* got) {
    raise_wrong_type(function, param, "str", got);
}

inline void require_str(const char* function, const char* param, PyObject* v) {
    if (!is_exact_str(v)) raise_not_str(function, param, v);
}

}  // namespace cu
