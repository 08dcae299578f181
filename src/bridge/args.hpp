// Argument binding for functions whose parameters may be given by position or
// by keyword.  Cheaper than PyArg_ParseTupleAndKeywords (no format string, no
// per-call keyword list), with the interpreter's own wording for arity errors.
#pragma once

#include "object.hpp"

#include <cstddef>
#include <utility>

namespace cu {

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
void bind(const Params& p, PyObject* args, PyObject* kwargs, PyObject** out);

// As bind(), for a function that also takes *args and **kwargs: positional
// arguments beyond `count` go to `varargs` (a tuple) and unknown keywords to
// `varkw` (always a new dict, never the caller's own).  Either may be null:
// a null `varargs` refuses surplus positional arguments, a null `varkw`
// unknown keywords, as bind() does.
void bind_var(const Params& p, PyObject* args, PyObject* kwargs, PyObject** out, Ref* varargs,
              Ref* varkw);

// The arguments of one call bound to `p` and held for the call (a keyword
// argument's dict could otherwise drop it): `a[i]` is parameter i, null where
// an optional one was not given, and `a.get(i, fallback)` the fallback there.
// With `varargs`/`varkw` it binds as bind_var(); a null `varargs` refuses
// surplus positional arguments as bind() does.
template <std::size_t N>
class Bound {
public:
    Bound(const Params& p, PyObject* args, PyObject* kwargs, Ref* varargs = nullptr,
          Ref* varkw = nullptr) {
        bind_var(p, args, kwargs, raw_, varargs, varkw);
        for (std::size_t i = 0; i < N; ++i) held_[i] = Ref::borrow(raw_[i]);
    }
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
