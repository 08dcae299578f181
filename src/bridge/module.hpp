// The module namespace and the definition registry.
//
// Every function reads module-level names (the module logger, constants,
// other functions and classes, imported modules) from the namespace at call
// time, because callers rebind them.  `global()` is that look-up: the module
// dict first, then the builtins, as Python's own global look-up does.
//
// Subsystems contribute their functions and classes with CU_DEFINITION; the
// frame binds them in the order of its definition table (src/frame).
#pragma once

#include "guard.hpp"  // the proofs that makers take and fast paths use
#include "object.hpp"

#include <initializer_list>
#include <utility>
#include <vector>

namespace cu {

namespace module {

PyObject* object() noexcept;     // the module object (borrowed)
PyObject* ns() noexcept;         // its namespace dict (borrowed)
PyObject* name_obj() noexcept;   // its __name__ as bound at creation (borrowed)

// Value bound to `name` in the namespace, else in the builtins; NameError.
Ref global(const Name& name);
// Borrowed namespace entry or null (no builtins, no error for absence).
PyObject* lookup(const Name& name);
// Binds `name` in the namespace.
void bind(const char* name, PyObject* value);

void set(PyObject* module);      // called once by the frame

}  // namespace module

// ==== definitions ============================================================

using Maker = Ref (*)();

// A parameter name (or "return") and its annotation text.
using Annotation = std::pair<const char*, const char*>;
// The annotations of one function of a method table, by its name.
struct Annotated {
    const char* function;
    std::initializer_list<Annotation> annotations;
};

// Records that `name` (one of the frame's definition table) is made by
// `make`.  Runs from static initialisers, before the module is imported.
bool register_definition(const char* name, Maker make) noexcept;
// Records every row of `defs` (null-terminated, static) as the definition of
// its own name, made by make_function with the annotations `annotated` gives
// that name.
bool register_functions(PyMethodDef* defs,
                        std::initializer_list<Annotated> annotated = {}) noexcept;
// The definition registered for `name`, made now; null when there is none.
Ref make_definition(const char* name);
// Names registered but absent from `table` (null-terminated): a typo guard.
const char* unlisted_definition(const char* const* table) noexcept;

#define CU_DEFINITION_CAT2(a, b) a##b
#define CU_DEFINITION_CAT(a, b) CU_DEFINITION_CAT2(a, b)
#define CU_DEFINITION(name, maker)                                     \
    static const bool CU_DEFINITION_CAT(cu_definition_, __COUNTER__) = \
        ::cu::register_definition(name, maker)
// CU_FUNCTIONS(defs) or CU_FUNCTIONS(defs, {{"name", {{"param", "int"}}}}):
// the module functions of a method table, as register_functions.
#define CU_FUNCTIONS(...)                                              \
    static const bool CU_DEFINITION_CAT(cu_definition_, __COUNTER__) = \
        ::cu::register_functions(__VA_ARGS__)

// ==== building blocks for makers =============================================

// A module-level function from a static method-table row, carrying
// `annotations` in __annotations__ (as strings, in the order given; empty
// without any).  It behaves as a builtin function does (it does not bind as
// a method when set on a class; its repr is "<built-in function name>"),
// with __name__, __qualname__, __module__, __doc__ and __text_signature__
// from the row, and a __dict__ for attributes such as those.
Ref make_function(PyMethodDef* def, std::initializer_list<Annotation> annotations = {});
Ref make_function(PyMethodDef* def, const std::vector<Annotation>& annotations);

// A class built the way a `class` statement builds it: the base's metaclass
// is called with (name, bases, namespace), so the result has the ordinary
// Python class behaviour (instance __dict__ and weak references, deepcopy,
// pickling, subclassing with super()).  The C methods of `methods`
// (null-terminated, static) are then set on it as method descriptors, which
// also fills the slots of dunders such as __init__, __repr__ and __call__.
// A C __init__ also gives the class its inspect.signature (signature.hpp).
Ref make_class(const char* name, PyObject* bases, PyMethodDef* methods,
               const char* doc = nullptr);

// make_class with the one base `base`; the class is also kept in `keep` when
// given, for methods that reach its bases through super().
Ref make_subclass(const char* name, PyObject* base, PyMethodDef* methods, const char* doc,
                  Keep* keep = nullptr);

// Sets further static method rows on an existing class.
void add_methods(PyObject* cls, PyMethodDef* methods);

}  // namespace cu
