// Pieces of the generator protocol shared by the module's generator-like and
// coroutine-like C types.
#pragma once

#include "object.hpp"

namespace cu {

// Raises (typ, val, tb) as throw() does at a suspension point that does not
// handle it, with the interpreter's checks and messages for bad arguments.
[[noreturn]] void raise_thrown(PyObject* typ, PyObject* val, PyObject* tb);

}  // namespace cu
