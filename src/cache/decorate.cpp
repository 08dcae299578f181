// The decorated function that both caches hand out.
#include "cache.hpp"

namespace cu::cache {

Ref decorate(PyObject* cache, PyObject* func, std::unique_ptr<Callback> call,
             const char* qualname) {
    static const Name n_functools("functools"), n_wraps("wraps");
    Ref wrapper = make_closure(std::move(call), "decorating_function", qualname);
    Ref wraps = call_method(module::global(n_functools).get(), n_wraps, func);
    Ref wrapped = cu::call(wraps.get(), wrapper.get());
    setattr(wrapped.get(), n_cache_info, getattr(cache, n_cache_info).get());
    return wrapped;
}

}  // namespace cu::cache
