// inspect.signature() of the module's classes.
//
// A class's __init__ is set as a C method descriptor (see make_class).  Some
// interpreters' inspect bind that descriptor to the class itself to read the
// class's signature, which fails; others read it unbound and drop `self`.
// The class therefore carries a `__signature__` descriptor that gives the
// latter answer on every interpreter, and only where the ordinary route would
// reach one of the module's own __init__ methods: for instances, subclasses
// with an __init__, __new__ or metaclass __call__ of their own, and classes
// whose bases or metaclass define a __signature__, the look-up goes on exactly
// as if the descriptor were not there.
#pragma once

#include "object.hpp"

namespace cu {

// Records `init`, the C method descriptor just set as `cls.__init__`, as one
// of the module's own, and gives `cls` the signature descriptor unless a base
// of it already carries one.
void give_class_signature(PyObject* cls, PyObject* init);

}  // namespace cu
