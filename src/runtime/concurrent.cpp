#include "concurrent.hpp"

namespace cu::runtime {

namespace {
const Name n_asyncio("asyncio"), n_gather("gather"), n_run("run");
}  // namespace

Ref gather_and_run(PyObject* awaitables) {
    Ref asyncio = module::global(n_asyncio);
    Ref items = check(PySequence_Tuple(awaitables));
    Ref gathered = call_args(getattr(asyncio.get(), n_gather).get(), items.get());
    return call_method(asyncio.get(), n_run, gathered.get());
}

}  // namespace cu::runtime
