// Function-like objects backed by C++ state: the wrappers that decorators
// return.  They behave as plain functions do where callers can tell: they
// have a __dict__ (so functools.wraps can copy the target's metadata onto
// them), accept weak references, and bind as methods when set on a class.
#pragma once

#include "object.hpp"

#include <memory>

namespace cu {

class Callback {
public:
    virtual ~Callback() = default;
    virtual Ref call(PyObject* args, PyObject* kwargs) = 0;
    // Visits every Python object the callback owns (for the cycle collector).
    virtual int traverse(visitproc, void*) { return 0; }
};

// A new wrapper running `cb`, with __name__ and __qualname__ set.
Ref make_closure(std::unique_ptr<Callback> cb, const char* name, const char* qualname);

}  // namespace cu
