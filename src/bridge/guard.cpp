#include "guard.hpp"

namespace cu {

namespace {

const Name n___dict__("__dict__");

// A static type cannot change, so only heap types are probed.  A heap type
// that cannot change either (3.10's immutable types) is probed as well,
// which costs a little and is still sound.
bool is_heap_type(PyObject* cls) {
    return PyType_GetFlags((PyTypeObject*)cls) & Py_TPFLAGS_HEAPTYPE;
}

// The interpreter's descriptor type of the instance-dict attribute.
PyObject* getset_type() {
    static Keep type;
    if (!type) {
        Ref attrs = getattr((PyObject*)&PyType_Type, n___dict__);
        Ref descr = check(PyObject_GetItem(attrs.get(), n___dict__.get()));
        type.set(Ref::borrow((PyObject*)Py_TYPE(descr.get())));
    }
    return type.get();
}

}  // namespace

PyObject* EntryHint::miss(PyObject* dict, PyObject* key) const {
    PyObject* found = dict_get(dict, key);
    if (!found) return found;
    unsigned n = ++misses_;
    if (n & (n - 1)) return found;
    Py_ssize_t p = 0;
    PyObject *k, *v;
    while (PyDict_Next(dict, &p, &k, &v))
        if (k == key) {
            pos_ = p - 1;
            misses_ = 0;
            break;
        }
    return found;
}

void DictRoute::take(PyObject* cls) {
    static const Name n___dictoffset__("__dictoffset__"), n___mro__("__mro__"),
        n___objclass__("__objclass__");
    get_ = nullptr;
    refused_ = false;
    cls_ = cls;
    offset_ = as_ssize_t(getattr(cls, n___dictoffset__).get());
    if (offset_ >= 0) return;
    // The first `__dict__` of the MRO is the one look-up finds; a class
    // cannot rebind it later (the metaclass's own `__dict__` refuses).  Only
    // the descriptor the interpreter made for one of these classes is used.
    Ref mro = getattr(cls, n___mro__);
    for (Py_ssize_t i = 0; PyTuple_Check(mro.get()) && i < PyTuple_Size(mro.get()); ++i) {
        PyObject* k = PyTuple_GetItem(mro.get(), i);
        Ref own = getattr(k, n___dict__);
        Ref descr = check_or_null(PyObject_GetItem(own.get(), n___dict__.get()), PyExc_KeyError);
        if (!descr) continue;
        Ref owner = getattr_opt(descr.get(), n___objclass__);
        refused_ = Py_TYPE(descr.get()) != (PyTypeObject*)getset_type() || !owner ||
                   !check_int(PySequence_Contains(mro.get(), owner.get()));
        if (refused_) return;
        // A static type's slots are readable from 3.10 on; managed dicts
        // came with 3.11, so an older interpreter keeps the look-up.
        get_ = (descrgetfunc)PyType_GetSlot(Py_TYPE(descr.get()), Py_tp_descr_get);
        if (!get_) PyErr_Clear();
        descr_.set(std::move(descr));
        return;
    }
}

Ref DictRoute::read(PyObject* obj, bool& ok) const {
    Ref d;
    ok = !refused_;
    if (offset_ > 0) {
        d = Ref::borrow(at_offset(obj));
    } else if (get_) {
        d = check(get_(descr_.get(), obj, cls_));
    } else if (offset_ < 0 && ok) {
        d = getattr_opt(obj, n___dict__);
        ok = bool(d);  // a dict that cannot be read may still shadow
    }
    ok = ok && (!d || PyDict_Check(d.get()));
    return d;
}

void ClassSnapshot::take(PyObject* cls, std::initializer_list<Attr> attrs) {
    static const Name n___mro__("__mro__"), n___set__("__set__");
    cls_.set(Ref::borrow(cls));
    never_ = ~Names(0);
    PyTypeObject* type = (PyTypeObject*)cls;
    if (!PyType_Check(cls) || !is_heap_type(cls) ||
        PyType_GetSlot(type, Py_tp_getattro) != (void*)PyObject_GenericGetAttr)
        return;
    // The own dict of every class in the MRO, where look-up searches; those
    // of the classes that can change are kept.
    Ref mro = getattr(cls, n___mro__);
    Py_ssize_t depth = PyTuple_Check(mro.get()) ? PyTuple_Size(mro.get()) : 0;
    std::vector<Ref> dicts;
    for (Py_ssize_t i = 0; i < depth; ++i) {
        PyObject* k = PyTuple_GetItem(mro.get(), i);
        dicts.push_back(Ref::steal(class_dict(k)));
        if (!dicts.back()) return;
        if (is_heap_type(k)) dicts_.emplace_back().set(dicts.back());
    }
    for (const Attr& a : attrs) {
        int bit = __builtin_ctz(a.bit);
        if (!a.name) {
            by_slot_[bit] = {a.slot, PyType_GetSlot(type, a.slot)};
            slots_ |= a.bit;
            never_ &= ~a.bit;
            continue;
        }
        ByName& e = by_name_[bit];
        e.name = a.name->get();
        PyObject* found = nullptr;
        Py_ssize_t at = 0;
        for (; at < depth && !(found = dict_get(dicts[at].get(), e.name)); ++at)
            if (is_heap_type(PyTuple_GetItem(mro.get(), at))) ++e.before;
        if (!found || (a.pinned && found != a.only)) continue;
        if (is_heap_type(PyTuple_GetItem(mro.get(), at))) e.dict = dicts[at].get();
        e.value.set(Ref::borrow(found));
        // A data descriptor on the class wins over the instance dict.
        if (!hasattr((PyObject*)Py_TYPE(found), n___set__)) shadowable_ |= a.bit;
        never_ &= ~a.bit;
    }
    route_.take(cls);
    getattro_ = (void*)PyObject_GenericGetAttr;
}

bool ClassSnapshot::unshadowed(PyObject* d, Names shadowable) const {
    if (PyDict_Size(d) == 0) return true;
    for (Names rest = shadowable; rest; rest &= rest - 1)
        if (check_int(PyDict_Contains(d, by_name_[__builtin_ctz(rest)].name))) return false;
    return true;
}

bool ClassSnapshot::unshadowed_managed(PyObject* obj, Names shadowable, Ref* attrs) const {
    bool ok;
    Ref d = route_.read(obj, ok);
    if (!ok) return false;
    bool holds = !d || unshadowed(d.get(), shadowable);
    if (attrs) *attrs = std::move(d);
    return holds;
}

namespace {

// The dict routes of the last few classes asked about, each class kept so
// that its address is not taken by another.
const DictRoute& route_of(PyTypeObject* type) {
    static struct {
        Keep cls;
        DictRoute route;
    } seen[4];
    static unsigned next = 0;
    for (auto& s : seen)
        if (s.cls.get() == (PyObject*)type) return s.route;
    auto& s = seen[next++ % 4];
    s.cls.set(Ref());
    s.route.take((PyObject*)type);
    s.cls.set(Ref::borrow((PyObject*)type));
    return s.route;
}

}  // namespace

bool resolves_to(PyObject* obj, const Name& name, PyObject* expected) {
    // A class with its own __getattribute__ (or a static type, whose slots the
    // 3.8 limited API cannot read) sees every look-up: no shortcut then.
    PyTypeObject* type = Py_TYPE(obj);
    if (!is_heap_type((PyObject*)type) ||
        PyType_GetSlot(type, Py_tp_getattro) != (void*)PyObject_GenericGetAttr)
        return false;
    Ref found = getattr_opt((PyObject*)type, name);
    if (!found || found.get() != expected) return false;
    bool ok;
    Ref attrs = route_of(type).read(obj, ok);
    return ok && (!attrs || !dict_get(attrs.get(), name));
}

}  // namespace cu
