// C types whose instances carry C++ fields: the object header followed by
// one `Fields` value, constructed when the object is made and destroyed when
// it is freed.  The type is a garbage-collected heap type made from a
// PyType_Spec; its GC and release slots come from here.
#pragma once

#include "ref.hpp"

#include <new>
#include <tuple>
#include <type_traits>

namespace cu {

// tp_dealloc of a GC heap type: `Clear` empties the object, `Destroy` (if
// any) ends the life of its C++ fields, then the memory is freed and the
// reference the instance held on its heap type is released.
template <int (*Clear)(PyObject*), void (*Destroy)(PyObject*) = nullptr>
void dealloc(PyObject* self) noexcept {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Clear(self);
    if constexpr (Destroy != nullptr) Destroy(self);
    reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free))(self);
    Py_DECREF(tp);
}

// Empties every Ref of `refs` (a std::tie of fields).  Assigning null empties
// a field before its old value is released, so code run by that release
// finds the field empty.
template <class... R>
void clear_refs(std::tuple<R&...> refs) noexcept {
    std::apply([](auto&... r) { ((r = nullptr), ...); }, refs);
}

// Visits each of `refs` that holds an object, as Py_VISIT does: the body of
// a tp_traverse or of a Callback's traverse().
template <class... R>
int visit_refs(visitproc visit, void* arg, const R&... refs) {
    int err = 0;
    ((err = refs ? visit(refs.get(), arg) : 0) || ...);
    return err;
}

// The slots of a type whose instances hold a `Fields` value.  `Fields` is
// default-constructible and names its references in `refs()`, a std::tie of
// its Ref members, which the collector traverses.  tp_clear calls its
// `clear()` if it has one, else empties `refs()`.
template <class Fields>
class Native {
public:
    struct Object {
        PyObject_HEAD
        Fields f;
    };

    static Fields& fields(PyObject* self) noexcept { return reinterpret_cast<Object*>(self)->f; }

    // A new instance of `type` (made from a PyType_Spec of basicsize sizeof(Object))
    // with default fields.
    static Ref make(PyObject* type) {
        Ref self = check(PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(type), 0));
        new (&fields(self.get())) Fields();
        return self;
    }

    static int traverse(PyObject* self, visitproc visit, void* arg) noexcept {
        return std::apply([&](auto&... r) { return visit_refs(visit, arg, r...); },
                          fields(self).refs());
    }

    static int clear(PyObject* self) noexcept {
        if constexpr (has_clear<Fields>::value)
            fields(self).clear();
        else
            clear_refs(fields(self).refs());
        return 0;
    }

    static void destroy(PyObject* self) noexcept { fields(self).~Fields(); }

    static constexpr void (*dealloc)(PyObject*) noexcept = cu::dealloc<clear, destroy>;

private:
    template <class F, class = void>
    struct has_clear : std::false_type {};
    template <class F>
    struct has_clear<F, std::void_t<decltype(std::declval<F&>().clear())>> : std::true_type {};
};

}  // namespace cu
