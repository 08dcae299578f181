// Wall-clock stamps for step timing: `time.time()` read through the module
// namespace, without allocating when it is the standard function.
#pragma once

#include "../bridge/module.hpp"

namespace cu::runtime {

struct Stamp {
    double seconds = 0;  // valid when `patched` is null
    Ref patched;         // what a replaced time.time() returned
};

Stamp time_now();
// end - start as a Python object (a float unless time.time was replaced).
Ref elapsed(const Stamp& start, const Stamp& end);

}  // namespace cu::runtime
