// Shared by the key maker, the in-memory LRU cache and the shelf cache.
#pragma once

#include "../bridge/closure.hpp"
#include "../bridge/module.hpp"

#include <memory>

namespace cu::cache {

extern const Name n__make_key, n__CacheInfo, n_hits, n_misses, n_get, n_put, n_cache_info,
    n___name__;

// The separator tuple that _make_key puts between positional and keyword
// arguments: one object made at import, shared by every key.
PyObject* kwd_mark() noexcept;

// True when the module's `_make_key` is still the one defined here, so that
// a decorator may build its store key without calling it.
bool make_key_is_own();

// `_make_key(args, kwds, kwd_mark, fasttypes, hash)` with the defaults given
// as null.
Ref make_key(PyObject* args, PyObject* kwds, PyObject* mark = nullptr,
             PyObject* fasttypes = nullptr, PyObject* hash = nullptr);

// The key under which the decorators store a call: the single int or str
// argument itself, else the flattened argument tuple (positional arguments,
// the separator, then each keyword name and value), which compares equal
// only to an equal argument list.  A hash of it would let two argument lists
// that hash alike share one entry.
Ref store_key(PyObject* args, PyObject* kwargs);

// True when `_CacheInfo` is still the record type made here, untouched:
// building one then runs no code of the caller's.
bool cache_info_is_own();

// `_CacheInfo(hits, misses, maxsize, currsize)` through the module name.
Ref cache_info(PyObject* hits, PyObject* misses, PyObject* maxsize, PyObject* currsize);

// The decorated function of a cache's `__call__`: `call` as a function
// named decorating_function, wrapped with `functools.wraps(func)`, its
// `cache_info` attribute the cache's bound method.
Ref decorate(PyObject* cache, PyObject* func, std::unique_ptr<Callback> call,
             const char* qualname);

// The keyword dict a Python `**kwargs` parameter would see: a new dict.
Ref fresh_kwargs(PyObject* kwargs);

}  // namespace cu::cache
