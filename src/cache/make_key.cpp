// The key maker and the statistics record shared by both caches.
#include "cache.hpp"
#include "../bridge/args.hpp"
#include "../bridge/entry.hpp"
#include "../bridge/guard.hpp"

namespace cu::cache {

const Name n__make_key("_make_key"), n__CacheInfo("_CacheInfo"), n_hits("hits"),
    n_misses("misses"), n_get("get"), n_put("put"), n_cache_info("cache_info"),
    n___name__("__name__");

namespace {

// The defaults, evaluated once as a def statement evaluates them.
Keep g_kwds, g_mark, g_fasttypes, g_hash, g_make_key;

// The record type as made.  Calling it runs its __new__ and __init__ (tuple's
// own cannot change), proven on a record of its own.
ClassSnapshot g_info;
Keep g_info_sample;
enum : ClassSnapshot::Names { k_new = 1u << 0, k_init = 1u << 1 };

bool is_fast_type(PyObject* o, PyObject* fasttypes) {
    PyTypeObject* t = Py_TYPE(o);
    if (fasttypes == g_fasttypes.get()) return t == &PyLong_Type || t == &PyUnicode_Type;
    return check_int(PySequence_Contains(fasttypes, (PyObject*)t)) != 0;
}

// args + mark + (name, value) for each keyword, for an exact tuple and dict.
Ref flatten(PyObject* args, PyObject* kwds, PyObject* mark) {
    Py_ssize_t n = PyTuple_Size(args), m = PyTuple_Size(mark), k = PyDict_Size(kwds);
    Ref key = check(PyTuple_New(n + m + 2 * k));
    Py_ssize_t i = 0;
    auto put = [&](PyObject* item) {
        PyTuple_SetItem(key.get(), i++, Ref::borrow(item).release());
    };
    for (Py_ssize_t j = 0; j < n; ++j) put(PyTuple_GetItem(args, j));
    for (Py_ssize_t j = 0; j < m; ++j) put(PyTuple_GetItem(mark, j));
    Py_ssize_t pos = 0;
    PyObject *name, *value;
    while (PyDict_Next(kwds, &pos, &name, &value)) {
        put(name);
        put(value);
    }
    return key;
}

const Signature make_key_params{"_make_key", {"args", "kwds", "kwd_mark", "fasttypes", "hash"}, 1};

Ref make_key_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    PyObject* a[5];
    bind(make_key_params, args, kwargs, a);
    return make_key(a[0], a[1], a[2], a[3], a[4]);
}

PyMethodDef defs[] = {
    CU_VARARGS("_make_key", make_key_entry,
               "Folds a call's positional and keyword arguments into one key: a single int "
               "or str argument itself, else hash() of the flattened argument tuple."),
    CU_END,
};

// The defaults are objects a text signature cannot spell, so the signature
// is built with them.
Ref make_signature() {
    static const Name n_Parameter("Parameter"), n_Signature("Signature"),
        n_POSITIONAL_OR_KEYWORD("POSITIONAL_OR_KEYWORD"), n_default("default");
    Ref inspect = check(PyImport_ImportModule("inspect"));
    Ref parameter = getattr(inspect.get(), n_Parameter);
    Ref kind = getattr(parameter.get(), n_POSITIONAL_OR_KEYWORD);
    PyObject* defaults[5] = {nullptr, g_kwds, g_mark, g_fasttypes, g_hash};
    Ref params = list();
    for (int i = 0; i < 5; ++i) {
        Ref param = call_kw(parameter.get(), {make_key_params.names[i], kind.get()},
                            {{n_default, defaults[i]}});  // no default for the first
        append(params.get(), param.get());
    }
    return call(getattr(inspect.get(), n_Signature).get(), params.get());
}

Ref make_make_key() {
    static const Name n_hash("hash"), n___signature__("__signature__");
    g_kwds.set(dict());
    Ref separator = check(PyObject_CallObject((PyObject*)&PyBaseObject_Type, nullptr));
    g_mark.set(tuple(separator.get()));
    g_fasttypes.set(check(PySet_New(nullptr)));
    check_int(PySet_Add(g_fasttypes, (PyObject*)&PyLong_Type));
    check_int(PySet_Add(g_fasttypes, (PyObject*)&PyUnicode_Type));
    g_hash.set(module::global(n_hash));
    Ref fn = make_function(&defs[0]);
    setattr(fn.get(), n___signature__, make_signature().get());
    g_make_key.set(fn);
    return fn;
}

Ref make_cache_info_type() {
    static const Name n_collections("collections"), n_namedtuple("namedtuple"),
        n_module("module");
    Ref fields = list();
    for (const char* f : {"hits", "misses", "maxsize", "currsize"}) append(fields.get(), str(f).get());
    Ref namedtuple = getattr(module::global(n_collections).get(), n_namedtuple);
    Ref cls = call_kw(namedtuple.get(), {str("CacheInfo").get(), fields.get()},
                      {{n_module, module::name_obj()}});
    static const Name n___new__("__new__"), n___init__("__init__");
    g_info.take(cls.get(), {{k_new, n___new__}, {k_init, n___init__}});
    Ref zero = integer(0);
    g_info_sample.set(call(cls.get(), zero.get(), zero.get(), zero.get(), zero.get()));
    return cls;
}

}  // namespace

PyObject* kwd_mark() noexcept { return g_mark.get(); }

bool make_key_is_own() {
    PyObject* found = module::lookup(n__make_key);
    return found && found == g_make_key.get();
}

Ref make_key(PyObject* args, PyObject* kwds, PyObject* mark, PyObject* fasttypes,
             PyObject* hash) {
    if (!kwds) kwds = g_kwds;
    if (!mark) mark = g_mark;
    if (!fasttypes) fasttypes = g_fasttypes;
    if (!hash) hash = g_hash;
    Ref key = Ref::borrow(args);
    if (truthy(kwds)) {
        if (PyTuple_CheckExact(args) && PyDict_CheckExact(kwds) && PyTuple_CheckExact(mark)) {
            key = flatten(args, kwds, mark);
        } else {
            // `key += kwd_mark` and `key += item`, as written: a list given as
            // args is extended in place.
            static const Name n_items("items");
            key = check(PyNumber_InPlaceAdd(key.get(), mark));
            Ref it = iter(call_method(kwds, n_items).get());
            while (Ref item = next(it.get())) key = check(PyNumber_InPlaceAdd(key.get(), item.get()));
        }
    }
    if (length(key.get()) == 1) {
        Ref index = integer(0);
        Ref only = get_item(key.get(), index.get());
        if (is_fast_type(only.get(), fasttypes)) return only;
    }
    if (hash == g_hash.get()) {
        Py_hash_t h = PyObject_Hash(key.get());
        if (h == -1) throw_error();
        return check(PyLong_FromSsize_t(h));
    }
    return call(hash, key.get());
}

Ref store_key(PyObject* args, PyObject* kwargs) {
    if (!kwargs || PyDict_Size(kwargs) == 0) {
        if (PyTuple_Size(args) == 1) {
            PyObject* only = PyTuple_GetItem(args, 0);
            if (Py_TYPE(only) == &PyLong_Type || Py_TYPE(only) == &PyUnicode_Type)
                return Ref::borrow(only);
        }
        return Ref::borrow(args);
    }
    return flatten(args, kwargs, g_mark);
}

bool cache_info_is_own() {
    PyObject* found = module::lookup(n__CacheInfo);
    return found && found == g_info.cls() && g_info.holds(g_info_sample.get(), k_new | k_init);
}

Ref cache_info(PyObject* hits, PyObject* misses, PyObject* maxsize, PyObject* currsize) {
    return call(module::global(n__CacheInfo).get(), hits, misses, maxsize, currsize);
}

Ref fresh_kwargs(PyObject* kwargs) {
    return kwargs ? check(PyDict_Copy(kwargs)) : dict();
}

CU_DEFINITION("_make_key", make_make_key);
CU_DEFINITION("_CacheInfo", make_cache_info_type);

}  // namespace cu::cache
