// LRUCache: an ordered mapping of cached results, least recently used first,
// which is also a memoising decorator.
//
// The decorated function's hit is the hot path.  Its counters live in C
// fields behind the `hits`, `misses`, `maxsize` and `report_times`
// descriptors: as Python ints in the instance dict, every hit past the
// small-int range would allocate a new int (and, under tracemalloc, record a
// traceback for it).  The mapping operations, counters and methods are used
// directly only while the guards below prove that nothing was overridden,
// patched or shadowed; otherwise each step takes the attribute route that
// Python code takes.
#include "cache.hpp"
#include "../bridge/args.hpp"
#include "../bridge/closure.hpp"
#include "../bridge/entry.hpp"
#include "../bridge/guard.hpp"
#include "../logging/log.hpp"

#include <climits>
#include <cstddef>

namespace cu::cache {

namespace {

const Name n_maxsize("maxsize"), n_report_times("report_times"), n_move_to_end("move_to_end"),
    n_popitem("popitem"), n_last("last"), n___init__("__init__"), n_collections("collections"),
    n_OrderedDict("OrderedDict");

struct Counters {
    long long hits, misses, maxsize, report_times;
};

// ==== guards =================================================================

// What LRUCache was made with.  Each attribute that a direct step stands for
// is one bit; each proof below names the set one step relies on.
ClassSnapshot lru;
enum : ClassSnapshot::Names {
    k_contains = 1u << 0, k_subscript = 1u << 1, k_ass_subscript = 1u << 2, k_length = 1u << 3,
    k_get = 1u << 4, k_put = 1u << 5, k_cache_info = 1u << 6,
    k_hits = 1u << 7, k_misses = 1u << 8, k_maxsize = 1u << 9, k_report_times = 1u << 10,
    k_move_to_end = 1u << 11, k_popitem = 1u << 12,
};
// get's steps: the key test and the read on the mapping, the counters;
// move_to_end besides on a hit.
constexpr ClassSnapshot::Names get_steps = k_contains | k_subscript | k_hits | k_misses;
// What a decorated call reads before it knows whether it hit: get itself,
// its steps and the counters of the statistics line.
constexpr ClassSnapshot::Names call_steps = get_steps | k_get | k_report_times;
constexpr ClassSnapshot::Names report_reads = k_hits | k_misses | k_report_times;
// put's steps: the test for the key, storing, the size and its bound.
constexpr ClassSnapshot::Names put_steps = k_contains | k_ass_subscript | k_length | k_maxsize;
// What cache_info() reads besides the size and its bound.
constexpr ClassSnapshot::Names record_reads = k_cache_info | k_hits | k_misses;

FastMethod g_move_to_end, g_popitem;  // OrderedDict's own
Keep g_od_reduce;
Py_ssize_t g_offset = 0;  // of the counters in an instance

Counters& counters(PyObject* self) {
    return *reinterpret_cast<Counters*>(reinterpret_cast<char*>(self) + g_offset);
}

// Keys whose hashing and comparison run no code of the caller's: one
// dict probe then stands for the several look-ups get and put make.  The
// separator is a plain object, compared by identity.
PyObject* g_separator = nullptr;  // kept by the module

[[gnu::always_inline]] inline bool inert_leaf(PyObject* o, PyTypeObject* t) {
    return t == &PyLong_Type || t == &PyUnicode_Type || o == Py_None || o == g_separator ||
           t == &PyFloat_Type || t == &PyBool_Type || t == &PyBytes_Type;
}

bool inert_tuple(PyObject* o, int depth) {
    Py_ssize_t n = PyTuple_Size(o);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyTuple_GetItem(o, i);
        PyTypeObject* t = Py_TYPE(item);
        if (inert_leaf(item, t)) continue;
        if (t != &PyTuple_Type || depth >= 3 || !inert_tuple(item, depth + 1)) return false;
    }
    return true;
}

[[gnu::always_inline]] inline bool inert(PyObject* o) {
    PyTypeObject* t = Py_TYPE(o);
    return inert_leaf(o, t) || (t == &PyTuple_Type && inert_tuple(o, 0));
}

// ==== steps ==================================================================

// self.<name> += 1; `own` when the counter's descriptor is proven.
void bump(PyObject* self, long long Counters::*field, const Name& name, bool own) {
    if (own) {
        long long& v = counters(self).*field;
        if (v == LLONG_MAX) raisef(PyExc_OverflowError, "%s counter overflow", name.text());
        ++v;
        return;
    }
    Ref one = integer(1);
    Ref v = check(PyNumber_InPlaceAdd(getattr(self, name).get(), one.get()));
    setattr(self, name, v.get());
}

// self.move_to_end(key); `own` when it is proven OrderedDict's and the key
// runs no code of the caller's.
void move_to_end(PyObject* self, PyObject* key, bool own) {
    if (own)
        g_move_to_end(self, key);
    else
        call_method(self, n_move_to_end, key);
}

// ==== get and put ============================================================

// get's steps for a key whose hashing and comparison run no code: `found`
// is its entry, read from the mapping before the proof (the read runs no
// code either, and the proof then covers move_to_end only on a hit).
Ref get_inert(PyObject* self, PyObject* key, PyObject* found) {
    if (!found) {
        bump(self, &Counters::misses, n_misses, true);
        return none();
    }
    Ref value = Ref::borrow(found);
    bump(self, &Counters::hits, n_hits, true);
    g_move_to_end(self, key);
    return value;
}

// get's steps as written, each proven again after every call that may run
// the key's own code.
Ref get_steps_of(PyObject* self, PyObject* key) {
    if (!check_int(PySequence_Contains(self, key))) {
        bump(self, &Counters::misses, n_misses, lru.holds(self, k_misses));
        return none();
    }
    bump(self, &Counters::hits, n_hits, lru.holds(self, k_hits));
    move_to_end(self, key, lru.holds(self, k_move_to_end));
    return get_item(self, key);
}

// `probe_direct`: neither the key nor the class's steps run code of the
// caller's, so the key's presence is read from the mapping itself.
void put_core(PyObject* self, PyObject* key, PyObject* value, bool probe_direct) {
    bool present = probe_direct ? dict_get(self, key) != nullptr
                                : check_int(PySequence_Contains(self, key)) != 0;
    if (present) move_to_end(self, key, probe_direct && lru.holds(self, k_move_to_end));
    check_int(PyObject_SetItem(self, key, value));
    // Storing over a key released the value it replaced, whose finalizer may
    // have run; so may a move_to_end reached by attribute.
    bool bound_own = probe_direct && (!present || lru.holds(self, put_steps));
    Py_ssize_t size = length(self);
    bool over;
    if (bound_own) {
        over = size > counters(self).maxsize;
    } else {
        Ref n = check(PyLong_FromSsize_t(size));
        over = check_int(PyObject_RichCompareBool(n.get(), getattr(self, n_maxsize).get(), Py_GT));
    }
    if (!over) return;
    // The record's argument is made before the level test, as a Python call
    // makes it; when making it runs no code of the caller's and the record
    // is sure to be dropped, it is not made at all, and nothing runs between
    // the proof and popitem.
    bool record_unseen = bound_own && cache_info_is_own() &&
                         !log::may_emit(log::n_debug, log::k_debug) &&
                         lru.holds(self, record_reads | k_popitem);
    if (!record_unseen) {
        Ref info = call_method(self, n_cache_info);
        CU_LOG(debug, "LRUCache cache clean, cache_info=%s", info.get());
    }
    if (record_unseen || lru.holds(self, k_popitem))
        g_popitem(self, Py_False);
    else
        call_method_kw(self, n_popitem, {}, {{n_last, Py_False}});
}

// ==== the decorated function =================================================

class LruCall : public Callback {
public:
    LruCall(Ref cache, Ref func) : cache_(std::move(cache)), func_(std::move(func)) {}

    Ref call(PyObject* args, PyObject* kwargs) override {
        PyObject* self = cache_.get();
        Ref key = make_key_is_own()
                      ? store_key(args, kwargs)
                      : cu::call(module::global(n__make_key).get(), args,
                                 fresh_kwargs(kwargs).get());

        bool key_inert = inert(key.get());
        PyObject* found = key_inert ? dict_get(self, key.get()) : nullptr;
        bool call_own = found ? lru.holds(self, call_steps | k_move_to_end)
                              : lru.holds(self, call_steps);
        Ref result = !call_own   ? call_method(self, n_get, key.get())
                     : key_inert ? get_inert(self, key.get(), found)
                                 : get_steps_of(self, key.get());

        // The key's code may have run in get's steps.
        bool counters_own = call_own && (key_inert || lru.holds(self, report_reads));
        if (report_due(self, counters_own)) {
            Ref name = getattr(func_.get(), n___name__);
            Ref info = call_method(self, n_cache_info);
            CU_LOG(info, "LRUCache '%s()' cache_info=%s", name.get(), info.get());
        }
        if (result.get() != Py_None) return result;

        Ref value = call_args(func_.get(), args, kwargs);
        if (value.get() == Py_None) return value;
        if (lru.holds(self, put_steps | k_put))
            put_core(self, key.get(), value.get(), key_inert);
        else
            call_method(self, n_put, key.get(), value.get());
        return value;
    }

    int traverse(visitproc visit, void* arg) override {
        Py_VISIT(cache_.get());
        Py_VISIT(func_.get());
        return 0;
    }

private:
    // (self.hits + self.misses) % self.report_times == 0; `own` when the
    // three counters' descriptors are proven.
    static bool report_due(PyObject* self, bool own) {
        if (own) {
            const Counters& c = counters(self);
            long long total;
            if (c.report_times > 0 && !__builtin_add_overflow(c.hits, c.misses, &total))
                return total % c.report_times == 0;
        }
        Ref total = check(PyNumber_Add(getattr(self, n_hits).get(), getattr(self, n_misses).get()));
        Ref rest = check(PyNumber_Remainder(total.get(), getattr(self, n_report_times).get()));
        Ref zero = integer(0);
        return check_int(PyObject_RichCompareBool(rest.get(), zero.get(), Py_EQ)) != 0;
    }

    Ref cache_, func_;
};

// ==== methods ================================================================

// An int for a parameter that takes exactly int: "LRUCache() argument
// 'maxsize' must be int, not bool".
long long exact_int(PyObject* v, const char* param) {
    if (Py_TYPE(v) != &PyLong_Type)
        raisef(PyExc_TypeError, "LRUCache() argument '%s' must be int, not %s", param,
               type_name(v).c_str());
    return as_long_long(v);
}

const Signature init_params{"__init__", {"maxsize", "report_times"}, 0, true};

Ref lru_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    Bound<2> a(init_params, args, kwargs);
    call_super(lru.cls(), self, n___init__);
    long long maxsize = a[0] ? exact_int(a[0], "maxsize") : 128;
    long long report_times = a[1] ? exact_int(a[1], "report_times") : 1000;
    // Every call would divide by it.
    if (report_times <= 0)
        raisef(PyExc_ValueError, "LRUCache() argument 'report_times' must be greater than 0, got %lld",
               report_times);
    if (maxsize < 0) maxsize = 0;
    setattr(self, n_maxsize, Ref(check(PyLong_FromLongLong(maxsize))).get());
    setattr(self, n_hits, Ref(integer(0)).get());
    setattr(self, n_misses, Ref(integer(0)).get());
    setattr(self, n_report_times, Ref(check(PyLong_FromLongLong(report_times))).get());
    return none();
}

const Signature call_params{"__call__", {"user_function"}, 1, true};

Ref lru_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    Bound<1> a(call_params, args, kwargs);
    PyObject* func = a[0];
    return decorate(self, func, std::make_unique<LruCall>(Ref::borrow(self), Ref::borrow(func)),
                    "LRUCache.__call__.<locals>.decorating_function");
}

const Signature get_params{"get", {"key"}, 1, true};

Ref lru_get(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* key;
    bind(get_params, args, kwargs, &key);
    if (inert(key)) {
        PyObject* found = dict_get(self, key);
        if (found ? lru.holds(self, get_steps | k_move_to_end) : lru.holds(self, get_steps))
            return get_inert(self, key, found);
    }
    return get_steps_of(self, key);
}

const Signature put_params{"put", {"key", "value"}, 2, true};

Ref lru_put(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[2];
    bind(put_params, args, kwargs, a);
    put_core(self, a[0], a[1], lru.holds(self, put_steps) && inert(a[0]));
    return none();
}

Ref lru_cache_info(PyObject* self) {
    Ref hits = getattr(self, n_hits), misses = getattr(self, n_misses),
        maxsize = getattr(self, n_maxsize);
    Ref size = check(PyLong_FromSsize_t(length(self)));
    return cache_info(hits.get(), misses.get(), maxsize.get(), size.get());
}

// The counters are not in the instance dict, so copies and pickles carry
// them in the state that OrderedDict's reduction gives.
Ref lru_reduce(PyObject* self) {
    Ref reduced = cu::call(g_od_reduce.get(), self);
    if (!PyTuple_Check(reduced.get()) || PyTuple_Size(reduced.get()) < 3) return reduced;
    Ref state = dict();
    for (const Name* n : {&n_maxsize, &n_hits, &n_misses, &n_report_times})
        set_item(state.get(), *n, getattr(self, *n).get());
    PyObject* own = PyTuple_GetItem(reduced.get(), 2);
    if (own != Py_None) check_int(PyDict_Update(state.get(), own));
    Py_ssize_t n = PyTuple_Size(reduced.get());
    Ref out = check(PyTuple_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = i == 2 ? state.get() : PyTuple_GetItem(reduced.get(), i);
        PyTuple_SetItem(out.get(), i, Ref::borrow(item).release());
    }
    return out;
}

Ref lru_setstate(PyObject* self, PyObject* state) {
    Ref items = check(PyMapping_Items(state));
    Ref it = iter(items.get());
    while (Ref pair = next(it.get())) {
        Ref name = get_item(pair.get(), Ref(integer(0)).get());
        Ref value = get_item(pair.get(), Ref(integer(1)).get());
        check_int(PyObject_SetAttr(self, name.get(), value.get()));
    }
    return none();
}

PyMethodDef lru_methods[] = {
    CU_VARARGS_SIG("__init__", lru_init, "($self, /, maxsize=128, report_times=1000)", ""),
    CU_VARARGS_SIG("__call__", lru_call, "($self, /, user_function)",
                   "Wraps user_function so that its results are kept in this cache."),
    CU_VARARGS_SIG("get", lru_get, "($self, /, key)",
                   "The cached value for key (now the most recently used), or None."),
    CU_VARARGS_SIG("put", lru_put, "($self, /, key, value)",
                   "Stores value under key, dropping the least recently used entry when full."),
    CU_NOARGS_SIG("cache_info", lru_cache_info, "($self, /)",
                  "CacheInfo(hits, misses, maxsize, currsize)."),
    CU_NOARGS("__reduce__", lru_reduce, nullptr),
    CU_O("__setstate__", lru_setstate, nullptr),
    CU_END,
};

// ==== the base that holds the counters =======================================

using Field = long long Counters::*;

PyObject* counter_get(PyObject* self, void* field) noexcept {
    return PyLong_FromLongLong(counters(self).*(*static_cast<Field*>(field)));
}

int counter_set(PyObject* self, PyObject* value, void* field) noexcept {
    try {
        if (!value) raisef(PyExc_AttributeError, "cannot delete a cache statistic");
        if (!PyLong_Check(value))
            raisef(PyExc_TypeError, "cache statistics are int, not %s", type_name(value).c_str());
        counters(self).*(*static_cast<Field*>(field)) = as_long_long(value);
        return 0;
    } catch (...) {
        translate_exception();
        return -1;
    }
}

Field f_hits = &Counters::hits, f_misses = &Counters::misses, f_maxsize = &Counters::maxsize,
      f_report_times = &Counters::report_times;

PyGetSetDef counter_getset[] = {
    {"hits", counter_get, counter_set, nullptr, (void*)&f_hits},
    {"misses", counter_get, counter_set, nullptr, (void*)&f_misses},
    {"maxsize", counter_get, counter_set, nullptr, (void*)&f_maxsize},
    {"report_times", counter_get, counter_set, nullptr, (void*)&f_report_times},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// dict's own key test and item read, set as slots of this base (filled in
// when it is made).  Found through a dict method, they leave LRUCache with
// the generic slots, which look `__contains__`/`__getitem__` up on every use
// and do not change when a caller patches either name; found as this base's
// slot wrappers, they are dict's functions themselves, and a patch of either
// name turns the slot generic, which the guards see.  OrderedDict's popitem
// on a subclass (up to 3.10) goes through both slots as well.
PyType_Slot base_slots[] = {
    {Py_tp_doc, (void*)"The counters of an LRUCache."},
    {Py_sq_contains, nullptr},
    {Py_mp_subscript, nullptr},
    {0, nullptr},
};

PyType_Spec base_spec = {
    "common_utils.common_utils._LRUCacheBase",
    0,  // set from OrderedDict's size when made
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    base_slots,
};

Py_ssize_t ssize_attr(PyObject* o, const char* name) {
    return as_ssize_t(getattr(o, name).get());
}

Ref make_lru_cache() {
    Ref od = getattr(module::global(n_collections).get(), n_OrderedDict);
    Py_ssize_t size = ssize_attr(od.get(), "__basicsize__");
    constexpr Py_ssize_t align = alignof(Counters);
    g_offset = (size + align - 1) / align * align;
    base_spec.basicsize = (int)(g_offset + sizeof(Counters));
    Ref bases = tuple(od.get());
    {
        // dict's subscript, as a heap subclass inherits it (a static type's
        // slots are readable only from 3.10 on).
        PyType_Slot plain[] = {{0, nullptr}};
        PyType_Spec probe = {base_spec.name, 0, 0, Py_TPFLAGS_DEFAULT, plain};
        Ref probe_cls = check(PyType_FromSpecWithBases(&probe, bases.get()));
        base_slots[1].pfunc = (void*)PyDict_Contains;
        base_slots[2].pfunc = PyType_GetSlot((PyTypeObject*)probe_cls.get(), Py_mp_subscript);
        if (!base_slots[2].pfunc) raise(PyExc_SystemError, "OrderedDict has no subscript");
    }
    Ref base = check(PyType_FromSpecWithBases(&base_spec, bases.get()));
    g_separator = PyTuple_GetItem(kwd_mark(), 0);
    Ref cls = make_subclass("LRUCache", base.get(), lru_methods,
                            "A least-recently-used cache of bounded size: an ordered mapping, "
                            "least recently used first, and a memoising decorator.");

    for (PyGetSetDef* def = counter_getset; def->name; ++def) {
        Ref descr = check(PyDescr_NewGetSet((PyTypeObject*)base.get(), def));
        setattr(cls.get(), def->name, descr.get());
    }
    lru.take(cls.get(), {
        {k_contains, Py_sq_contains}, {k_subscript, Py_mp_subscript},
        {k_ass_subscript, Py_mp_ass_subscript}, {k_length, Py_mp_length},
        {k_get, n_get}, {k_put, n_put}, {k_cache_info, n_cache_info},
        {k_hits, n_hits}, {k_misses, n_misses}, {k_maxsize, n_maxsize},
        {k_report_times, n_report_times}, {k_move_to_end, n_move_to_end}, {k_popitem, n_popitem},
    });
    Ref sample = cu::call(od.get());
    g_move_to_end.set(getattr(od.get(), n_move_to_end).get(),
                      getattr(sample.get(), n_move_to_end).get());
    g_popitem.set(getattr(od.get(), n_popitem).get(), getattr(sample.get(), n_popitem).get());
    g_od_reduce.set(getattr(od.get(), "__reduce__"));
    return cls;
}

}  // namespace

CU_DEFINITION("LRUCache", make_lru_cache);

}  // namespace cu::cache
