// Running a batch of awaitables to completion from synchronous code, for the
// concurrent modes of the pipeline and the loop processor.
#pragma once

#include "../bridge/module.hpp"

namespace cu::runtime {

// The results of `awaitables` (a sequence), in their order.
Ref gather_and_run(PyObject* awaitables);

}  // namespace cu::runtime
