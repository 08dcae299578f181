// Function-like objects: the wrappers that decorators return and the
// module's own functions.  Both have a __dict__ (where __name__, __qualname__,
// __module__, __doc__ and __annotations__ live, and where functools.wraps can
// copy a target's metadata), accept weak references, and are copied and
// pickled by reference as Python functions are.  They differ in binding:
// decorator wrappers bind as methods when set on a class, the module's
// functions do not (see make_native_function).
#pragma once

#include "native.hpp"
#include "object.hpp"

#include <memory>

namespace cu {

class Callback {
public:
    virtual ~Callback() = default;
    virtual Ref call(PyObject* args, PyObject* kwargs) = 0;
    // Visits every Python object the callback owns (for the cycle collector),
    // usually as `return visit_refs(visit, arg, a_, b_);`.
    virtual int traverse(visitproc, void*) { return 0; }
};

// A new wrapper running `cb`, with __name__ and __qualname__ set.
Ref make_closure(std::unique_ptr<Callback> cb, const char* name, const char* qualname);

// A function running the C entry of `def` (a static method-table row with
// METH_VARARGS | METH_KEYWORDS, METH_VARARGS, METH_NOARGS or METH_O), which
// receives `self` as its first argument.  `def->ml_doc` may start with a
// text signature ("name(a, b=None)\n--\n\n"): it becomes __text_signature__
// and the rest __doc__.  `annotations` (a dict, or null for none) becomes
// __annotations__ and also shows in inspect.signature.
Ref make_native_function(PyMethodDef* def, PyObject* self, PyObject* module_name,
                         PyObject* annotations);

}  // namespace cu
