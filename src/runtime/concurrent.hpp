// Running a batch of awaitables to completion from synchronous code, for the
// concurrent modes of the pipeline and the loop processor.
#pragma once

#include "../bridge/module.hpp"

namespace cu::runtime {

// The results of `awaitables` (a sequence), in their order.  They run at once
// on the event loop that `asyncio.run` drives (nested in the caller's loop if
// one is running).  When any of them fails, the others are still awaited to
// the end, then the error that happened first is raised, unchanged.
Ref gather_and_run(PyObject* awaitables);

// An awaitable that, when first driven, calls factory(*args) from the tuple
// (factory, *args) and then delegates to the awaitable it returned.
Ref deferred_awaitable(Ref factory_call);

}  // namespace cu::runtime
