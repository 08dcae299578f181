// Proofs that a fast path cannot be observed.
//
// A fast path runs a method's C code directly, or reads a value from C
// fields, in place of an attribute look-up and call.  That is allowed only
// while the look-up would find exactly what the path stands for: callers may
// rebind methods on the class or on the instance, patch a base, subclass, or
// give the class its own __getattribute__.  The 3.8 limited API offers no
// type version tag and no dict watcher, so each use proves it again, with the
// cheapest probes that are sound.
#pragma once

#include "object.hpp"

#include <cstdint>
#include <initializer_list>
#include <utility>
#include <vector>

namespace cu {

// Where a key was last seen in a dict, to read its value without hashing or
// comparing.  A dict holds each key once, so a live entry with this very key
// is what a look-up would find, whichever dict it is.  A move (deletion,
// resize, another dict) shows as a mismatch: look up, and find the new place
// by identity; after misses in a row the scan runs at ever longer intervals
// (a key equal to the name but another object is never found by it).
class EntryHint {
public:
    // `dict[key]` (borrowed) or null; errors of the look-up throw.
    [[gnu::always_inline]] PyObject* get(PyObject* dict, PyObject* key) const {
        Py_ssize_t p = pos_;
        PyObject *k, *v;
        if (p >= 0 && PyDict_Next(dict, &p, &k, &v) && k == key) return v;
        return miss(dict, key);
    }

private:
    PyObject* miss(PyObject* dict, PyObject* key) const;
    mutable Py_ssize_t pos_ = -1;
    mutable unsigned misses_ = 0;  // since the last hit; scans on 1, 2, 4, 8...
};

// How the instances of one class keep their dict, to read it as attribute
// look-up does: at the offset the type publishes, or (3.11's managed dicts)
// through the class's own `__dict__` descriptor, whose getter is called
// directly rather than found by a look-up on the instance.
class DictRoute {
public:
    void take(PyObject* cls);
    // The instance dict (null when there is none); `ok` is false when it
    // cannot be read soundly (not a dict, a `__dict__` of the class's own).
    Ref read(PyObject* obj, bool& ok) const;
    Py_ssize_t offset() const noexcept { return offset_; }
    // The dict slot of an instance whose class publishes a positive offset.
    PyObject* at_offset(PyObject* obj) const noexcept {
        return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset_);
    }

private:
    Py_ssize_t offset_ = 0;
    Keep descr_;                    // the `__dict__` descriptor, managed dicts only
    descrgetfunc get_ = nullptr;    // its getter, when it is the interpreter's own
    PyObject* cls_ = nullptr;
    bool refused_ = false;          // the class's `__dict__` is its own: no route
};

// What a class was made with, to prove later that it still holds: the class,
// the own dicts of the classes of its MRO that can change (owned), the offset
// of its instances' dict and the attributes its fast paths rely on.
//
// Each attribute is one bit of `Names`; a fast path names the set it relies
// on, and holds() proves that set for one object.
class ClassSnapshot {
public:
    using Names = std::uint32_t;

    // One expected attribute.  By name, it is what look-up on the class finds
    // when the snapshot is taken, or only `only` (null: nothing will do), for
    // a snapshot taken after callers could have patched the class.  A type
    // slot stands for the dunders that fill it.
    struct Attr {
        Attr(Names bit, const Name& name) noexcept : bit(bit), name(&name) {}
        Attr(Names bit, const Name& name, PyObject* only) noexcept
            : bit(bit), name(&name), only(only), pinned(true) {}
        Attr(Names bit, int slot) noexcept : bit(bit), slot(slot) {}
        Names bit;
        const Name* name = nullptr;
        int slot = 0;
        PyObject* only = nullptr;
        bool pinned = false;
    };

    // Records `cls` (a heap type with the generic attribute look-up) and the
    // attributes; until then, or when its class dicts cannot be reached,
    // nothing holds.  Once only.
    void take(PyObject* cls, std::initializer_list<Attr> attrs);

    PyObject* cls() const noexcept { return cls_.get(); }

    // True when `obj` is an instance of exactly the class, which still looks
    // attributes up generically, and each attribute of `names` resolves for
    // `obj` as recorded: the entry of the class that defines it is the same
    // object, no class before it in the MRO has gained the name, a slot holds
    // the same function, and the instance dict does not shadow a name that is
    // not a data descriptor.  `attrs`, when given, receives the instance dict
    // it read (null when there is none).  Throws only when a probe raises.
    [[gnu::always_inline]] bool holds(PyObject* obj, Names names, Ref* attrs = nullptr) const {
        PyTypeObject* type = Py_TYPE(obj);
        if ((PyObject*)type != cls_.get() || (names & never_) ||
            PyType_GetSlot(type, Py_tp_getattro) != getattro_)
            return false;
        if (!each_holds(type, names, std::make_index_sequence<32>())) return false;
        Names shadowable = names & shadowable_;
        if (!shadowable && !attrs) return true;
        // The instance dict, read through the offset the type publishes, as
        // look-up itself reads it; one kept elsewhere (3.11's managed dicts)
        // is asked for.
        if (route_.offset() <= 0) return unshadowed_managed(obj, shadowable, attrs);
        PyObject* d = route_.at_offset(obj);
        if (attrs) *attrs = Ref::borrow(d);
        return !d || unshadowed(d, shadowable);
    }

private:
    // Unrolled, so that the constant `names` of each use leaves only the
    // probes it names.
    template <std::size_t... I>
    [[gnu::always_inline]] bool each_holds(PyTypeObject* type, Names names, std::index_sequence<I...>) const {
        return ((!(names >> I & 1) || entry_holds(type, I)) && ...);
    }
    [[gnu::always_inline]] bool entry_holds(PyTypeObject* type, int i) const {
        if (slots_ >> i & 1) return PyType_GetSlot(type, by_slot_[i].id) == by_slot_[i].fn;
        const ByName& e = by_name_[i];
        for (int j = 0; j < e.before; ++j)
            if (check_int(PyDict_Contains(dicts_[j], e.name))) return false;
        return !e.dict || e.at.get(e.dict, e.name) == e.value.get();
    }
    // The instance dict `d` holds none of `shadowable`.
    bool unshadowed(PyObject* d, Names shadowable) const;
    bool unshadowed_managed(PyObject* obj, Names shadowable, Ref* attrs) const;

    // By name: absent from the first `before` of dicts_, then `value` in
    // `dict`, the defining class's own (null when that class cannot change).
    struct ByName {
        PyObject* name = nullptr;  // interned, kept by its Name
        PyObject* dict = nullptr;  // one of dicts_
        EntryHint at;              // where the name was last seen in `dict`
        Keep value;                // held, so that no other object takes its address
        int before = 0;
    };
    struct BySlot {
        int id = 0;
        void* fn = nullptr;
    };

    Keep cls_;
    void* getattro_ = nullptr;
    std::vector<Keep> dicts_;  // own dicts of the classes of the MRO that can change
    DictRoute route_;
    Names never_ = 0, slots_ = 0, shadowable_ = 0;
    ByName by_name_[32];
    BySlot by_slot_[32];
};

// True when `obj.<name>` resolves to `expected` as found on its type: the
// class attribute is that very object, the instance __dict__ does not shadow
// it and the class has the generic attribute look-up.  For a class not known
// in advance (any subclass); a fast path of one exact class uses a
// ClassSnapshot, which is cheaper.
bool resolves_to(PyObject* obj, const Name& name, PyObject* expected);

}  // namespace cu
