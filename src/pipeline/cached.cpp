// LRUCacheProcessor: a pipeline that remembers its results in an LRUCache,
// keyed by chosen parts of each call.
#include "pipeline.hpp"
#include "../bridge/args.hpp"
#include "../bridge/entry.hpp"
#include "../cache/cache.hpp"
#include "../logging/log.hpp"

namespace cu::pipeline {

namespace {

const Name n__cache_arg_all_keys("_cache_arg_all_keys"), n__cache_arg_keys("_cache_arg_keys"),
    n__cache_kwarg_keys("_cache_kwarg_keys"), n__cache("_cache"), n_LRUCache("LRUCache"),
    n_maxsize("maxsize"), n_Processor("Processor"), n_get("get"), n_put("put"),
    n_in_data("in_data"), n_cache_size("cache_size"), n_cache_keys("cache_keys");

Keep g_cached;

// ==== construction ===========================================================

const Signature init_params{"__init__", {"cache_keys", "cache_size"}, 0, true};

Ref cached_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    Ref rest_args, rest_kwargs;
    Bound<2> a(init_params, args, kwargs, &rest_args, &rest_kwargs);
    Ref cache_keys = a[0] ? Ref::borrow(a[0]) : Ref(str("in_data"));
    Ref cache_size = a[1] ? Ref::borrow(a[1]) : integer(128);
    if (Py_TYPE(cache_size.get()) != &PyLong_Type)
        raise_wrong_type("__init__", "cache_size", "int", cache_size.get());

    super_init(g_cached, self, rest_args.get(), rest_kwargs.get());

    if (PyUnicode_Check(cache_keys.get()) || PyLong_Check(cache_keys.get())) {
        Ref wrapped = list();
        append(wrapped.get(), cache_keys.get());
        cache_keys = wrapped;
    }
    if (length(cache_keys.get()) == 0) raise(PyExc_ValueError, "cache_keys len is 0");

    Ref kwarg_keys = list(), arg_keys = list(), ignored = list();
    Ref it = iter(cache_keys.get());
    while (Ref entry = next(it.get())) {
        PyTypeObject* t = Py_TYPE(entry.get());
        if (t == &PyUnicode_Type) {
            if (!equal(entry.get(), n_in_data)) append(kwarg_keys.get(), entry.get());
        } else if (t == &PyLong_Type) {
            append(arg_keys.get(), entry.get());
        } else {
            append(ignored.get(), entry.get());
        }
    }
    Ref whole_marker = integer(-1);
    bool whole = check_int(PySequence_Contains(cache_keys.get(), whole_marker.get())) ||
                 check_int(PySequence_Contains(cache_keys.get(), n_in_data));
    if (whole) arg_keys = list();
    // With no key part every call would share one key, and so the first
    // result.
    if (!whole && PyList_Size(arg_keys.get()) == 0 && PyList_Size(kwarg_keys.get()) == 0)
        raisef(PyExc_ValueError,
               "cache_keys select no key part: only int and str entries count, ignored %R",
               ignored.get());

    setattr(self, n__cache_kwarg_keys, kwarg_keys.get());
    setattr(self, n__cache_arg_all_keys, boolean(whole).get());
    setattr(self, n__cache_arg_keys, arg_keys.get());
    Ref cache = call_kw(module::global(n_LRUCache).get(), {}, {{n_maxsize, cache_size.get()}});
    setattr(self, n__cache, cache.get());
    return none();
}

// ==== process ================================================================

// The key parts of one call, in order: the input, chosen elements of it,
// chosen keyword arguments.
Ref key_parts(PyObject* self, PyObject* in_data, PyObject* kwargs) {
    Ref parts = list();
    if (truthy(getattr(self, n__cache_arg_all_keys).get())) append(parts.get(), in_data);
    Ref arg_keys = getattr(self, n__cache_arg_keys);
    if (truthy(arg_keys.get())) {
        Ref it = iter(arg_keys.get());
        while (Ref k = next(it.get())) append(parts.get(), get_item(in_data, k.get()).get());
    }
    Ref kwarg_keys = getattr(self, n__cache_kwarg_keys);
    Ref it = iter(kwarg_keys.get());
    while (Ref name = next(it.get())) {
        PyObject* v = kwargs ? dict_get(kwargs, name.get()) : nullptr;
        if (!v) raise(PyExc_KeyError, name.get());
        append(parts.get(), v);
    }
    return check(PyList_AsTuple(parts.get()));
}

const Signature process_params{"process", {"in_data"}, 0, true};

Ref cached_process(PyObject* self, PyObject* args, PyObject* kwargs) {
    Ref rest_args, rest_kwargs;
    Bound<1> a(process_params, args, kwargs, &rest_args, &rest_kwargs);
    PyObject* in_data = a.get(0, Py_None);

    Ref key_args = key_parts(self, in_data, rest_kwargs.get());
    // The store is keyed by the parts themselves (a single int or str part
    // by itself): a hash of them would let parts that hash alike share a
    // result.
    Ref key = cache::make_key_is_own()
                  ? cache::store_key(key_args.get(), nullptr)
                  : call(module::global(cache::n__make_key).get(), key_args.get());
    Ref store = getattr(self, n__cache);
    Ref out = call_method(store.get(), n_get, key.get());
    if (out.get() != Py_None) {
        Ref name = call_method(self, n_name);
        CU_LOG(debug, "processor '%s' target cache, return data directly. key_args=%s",
               name.get(), key_args.get());
        return out;
    }
    Ref name = call_method(self, n_name);
    CU_LOG(debug, "processor '%s' do NOT target cache, key_args=%s", name.get(),
           key_args.get());
    // Processor.process(self, in_data, *args, **kwargs)
    Ref run = getattr(module::global(n_Processor).get(), n_process);
    Ref pos = prepend(self, prepend(in_data, rest_args.get()).get());
    out = call_args(run.get(), pos.get(), rest_kwargs.get());
    if (out.get() != Py_None) call_method(getattr(self, n__cache).get(), n_put, key.get(), out.get());
    return out;
}

// ==== description ============================================================

Ref cached_as_dict(PyObject* self) {
    Ref cls_name = class_name(self);
    Ref inner = base_description(g_cached.get(), self);
    Ref maxsize = getattr(getattr(self, n__cache).get(), n_maxsize);
    check_int(PyObject_SetItem(inner.get(), n_cache_size, maxsize.get()));
    Ref keys = list();
    if (truthy(getattr(self, n__cache_arg_all_keys).get())) append(keys.get(), n_in_data);
    Ref arg_keys = getattr(self, n__cache_arg_keys);
    if (truthy(arg_keys.get())) {
        static const Name element("in_data[%d]");
        Ref it = iter(arg_keys.get());
        while (Ref k = next(it.get()))
            append(keys.get(), check(PyUnicode_Format(element, tuple(k.get()).get())).get());
    }
    Ref it = iter(getattr(self, n__cache_kwarg_keys).get());
    while (Ref name = next(it.get())) append(keys.get(), name.get());
    check_int(PyObject_SetItem(inner.get(), n_cache_keys, keys.get()));
    Ref out = dict();
    check_int(PyObject_SetItem(out.get(), cls_name.get(), inner.get()));
    return out;
}

PyMethodDef methods[] = {
    CU_VARARGS_SIG("__init__", cached_init,
                   "($self, /, cache_keys='in_data', cache_size=128, *args, **kwargs)",
                   "A pipeline (given as to ContextProcessor) whose results are kept in an "
                   "LRUCache keyed by the input, elements of it (int entries) or keyword "
                   "arguments (str entries)."),
    CU_VARARGS_SIG("process", cached_process, "($self, /, in_data=None, *args, **kwargs)",
                   "The stored result for this call's key, else the pipeline's output "
                   "(stored unless None)."),
    CU_NOARGS_SIG("as_dict", cached_as_dict, "($self, /)", ""),
    CU_END,
};

Ref make_cached_processor() {
    static const Name n_ContextProcessor("ContextProcessor");
    return make_subclass("LRUCacheProcessor", module::global(n_ContextProcessor).get(), methods,
                         "A pipeline that remembers its results by key.", &g_cached);
}

}  // namespace

CU_DEFINITION("LRUCacheProcessor", make_cached_processor);

}  // namespace cu::pipeline
