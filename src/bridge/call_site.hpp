// Argument unpacking as a call site of Python code does it,
// `f(*args, k=v, **mapping)`.  The plain C calls differ where callers can see
// it: they override a duplicate keyword silently, pass non-str keys on and
// fail on a non-mapping with an AttributeError.  Here each of those is the
// TypeError the running interpreter raises, in its own wording.
#pragma once

#include "object.hpp"

namespace cu {

// The called object, for messages only: given directly, or as `owner.attr`
// looked up when a message needs it (so a fast path that never looks the
// attribute up still names it as the interpreter would).
struct Callee {
    PyObject* func = nullptr;
    PyObject* owner = nullptr;
    const Name* attr = nullptr;

    Ref get() const { return func ? Ref::borrow(func) : getattr(owner, *attr); }
};

// How the interpreter's call-site messages name `func`: "f()" or
// "type object" up to 3.8, "module.Class.f()" from 3.9.  A method of one of
// this module's classes is named as if defined in Python, by its defining
// class.
Ref call_site_name(PyObject* func);

// The positional arguments `f(*args)` receives.
Ref star_args(PyObject* args, const Callee& callee);

// Adds the entries of `mapping` to `kw` as `f(..., **mapping)` does; `kw`
// holds the keywords written before it in the call.
void star_kwargs(PyObject* kw, PyObject* mapping, const Callee& callee);

// owner.name(**mapping), the keywords merged as that call site merges them.
Ref call_method_star_kwargs(PyObject* owner, const Name& name, PyObject* mapping);

// Whether every key of the dict `d` is a str.
bool has_only_str_keys(PyObject* d) noexcept;

// Rejects non-str keys among the keyword arguments a C function received, as
// a Python function named `function` with a **kwargs parameter would.
void require_str_keywords(PyObject* kwargs, const char* function);

// `first, second = pair`, with the interpreter's errors for a non-iterable
// or a wrong count.
void unpack2(PyObject* pair, Ref& first, Ref& second);

}  // namespace cu
