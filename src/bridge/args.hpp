// Argument binding for functions whose parameters may be given by position or
// by keyword.  Cheaper than PyArg_ParseTupleAndKeywords (no format string, no
// per-call keyword list), with the interpreter's own wording for arity errors.
#pragma once

#include "object.hpp"

#include <cstddef>

namespace cu {

struct Params {
    const char* function;      // used in messages: "<function>() takes ..."
    const Name* names;         // parameter names in positional order
    std::size_t count;
    std::size_t required;      // the first `required` parameters have no default
    bool method = false;       // counts `self` in arity messages, as Python does
};

// Binds `args`/`kwargs` to `out[0..count)` (borrowed references; null where an
// optional parameter was not given).  Raises TypeError as the interpreter does
// for surplus, missing, duplicate or unknown arguments.
void bind(const Params& p, PyObject* args, PyObject* kwargs, PyObject** out);

// As bind(), for a function that also takes *args and **kwargs: positional
// arguments beyond `count` go to `varargs` (a tuple) and unknown keywords to
// `varkw` (always a new dict, never the caller's own).
void bind_var(const Params& p, PyObject* args, PyObject* kwargs, PyObject** out, Ref* varargs,
              Ref* varkw);

// `TypeError` for a parameter that must be exactly `str`:
// "<function>() argument '<param>' must be str, not <type>".
[[noreturn]] void raise_not_str(const char* function, const char* param, PyObject* got);

inline void require_str(const char* function, const char* param, PyObject* v) {
    if (!is_exact_str(v)) raise_not_str(function, param, v);
}

// Rejects any positional or keyword argument (for `name()`-style methods
// registered as varargs).
void no_args(const char* function, PyObject* args, PyObject* kwargs);

}  // namespace cu
