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

}  // namespace

void ClassSnapshot::take(PyObject* cls, std::initializer_list<Attr> attrs) {
    static const Name n___mro__("__mro__"), n___dictoffset__("__dictoffset__"),
        n___set__("__set__");
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
    dictoffset_ = as_ssize_t(getattr(cls, n___dictoffset__).get());
    getattro_ = (void*)PyObject_GenericGetAttr;
}

bool ClassSnapshot::unshadowed(PyObject* d, Names shadowable) const {
    if (PyDict_Size(d) == 0) return true;
    for (Names rest = shadowable; rest; rest &= rest - 1)
        if (check_int(PyDict_Contains(d, by_name_[__builtin_ctz(rest)].name))) return false;
    return true;
}

bool ClassSnapshot::unshadowed_managed(PyObject* obj, Names shadowable, Ref* attrs) const {
    Ref d = dictoffset_ < 0 ? getattr_opt(obj, n___dict__) : Ref();
    if (d && !PyDict_Check(d.get())) return false;
    bool holds = !d || unshadowed(d.get(), shadowable);
    if (attrs) *attrs = std::move(d);
    return holds;
}

bool resolves_to(PyObject* obj, const Name& name, PyObject* expected) {
    // A class with its own __getattribute__ (or a static type, whose slots the
    // 3.8 limited API cannot read) sees every look-up: no shortcut then.
    PyTypeObject* type = Py_TYPE(obj);
    if (!is_heap_type((PyObject*)type) ||
        PyType_GetSlot(type, Py_tp_getattro) != (void*)PyObject_GenericGetAttr)
        return false;
    Ref found = getattr_opt((PyObject*)type, name);
    if (!found || found.get() != expected) return false;
    Ref attrs = getattr_opt(obj, n___dict__);
    return attrs && PyDict_Check(attrs.get()) && !dict_get(attrs.get(), name);
}

}  // namespace cu
