// Generator-like C types: objects stepped by next() or send() that take
// throw() and close() as a generator (or, awaited, a coroutine) does.
//
// A concrete type is one struct `T : Generator<T>` that holds its own fields
// and supplies its own steps:
//
//   static constexpr const char* full_name  its type's full name, "common_utils.common_utils.x"
//   static constexpr bool coroutine         awaited (cr_* names, __await__) or iterated
//                                           (gi_* names, __iter__, a generator repr)
//   auto refs()                             a std::tie of its Ref fields
//   Ref advance(PyObject* value)            one step: the next value, or null (no error
//                                           set) at the end; `started` is already true
//   const char* name() const                __name__
//
// and may hide the defaults of qualname(), delegate() (an inner iterator that
// throw and close reach as through `yield from`, and cr_await shows),
// throw_here() (the thrown exception raised at the suspension point) and
// finish() (to release more than refs()).  The base calls them through T,
// never through itself.
//
// Reentrancy.  A step calls out to Python code (a body, an inner iterator, a
// child's pipes), and that code may reach this object again.  The guard
// refuses next, send, throw and close meanwhile, but not every path that
// releases the fields: tp_clear, when the collector breaks a cycle the object
// is in, finishes it whatever it is doing.  So a step never lends a field to
// a call that may run Python code: it copies the fields it hands out into
// local Refs first and reads the fields again only after the call, which
// keeps what the call uses alive whatever happens to the object meanwhile.
#pragma once

#include "entry.hpp"
#include "native.hpp"
#include "object.hpp"

namespace cu {

// Raises (typ, val, tb) as throw() does at a suspension point that does not
// handle it, with the interpreter's checks and messages for bad arguments.
[[noreturn]] void raise_thrown(PyObject* typ, PyObject* val, PyObject* tb);

// StopIteration without a value: the end of a generator that returns None.
[[noreturn]] void raise_stop();

// inner.throw / inner.close, or null when inner has none.
Ref thrower_of(PyObject* inner);
Ref closer_of(PyObject* inner);

// The running guard of one step.  It refuses reentry and marks the object
// running while it lives; unless the step calls keep_going(), it ends the
// object when it goes, as a generator ends when an exception leaves it or
// it returns.
template <class T>
class StepGuard {
public:
    explicit StepGuard(T& g) : g_(g) {
        g.refuse_reentry();
        g.running = true;
    }
    ~StepGuard() {
        g_.running = false;
        if (!keep_) g_.finish();
    }
    StepGuard(const StepGuard&) = delete;
    StepGuard& operator=(const StepGuard&) = delete;
    void keep_going() noexcept { keep_ = true; }

private:
    T& g_;
    bool keep_ = false;
};

template <class T>
class Generator {
public:
    bool started = false;   // the first step has begun
    bool finished = false;  // ended: the fields are released and every step ends at once
    bool running = false;   // inside a step

    // ---- defaults a concrete type may hide ----

    void finish() noexcept {
        finished = true;
        clear_refs(self().refs());
    }
    const char* qualname() const { return self().name(); }
    PyObject* delegate() const noexcept { return nullptr; }
    [[noreturn]] void throw_here(PyObject* typ, PyObject* val, PyObject* tb) {
        self().finish();
        raise_thrown(typ, val, tb);
    }

    // ---- the protocol ----

    // A cleared object may still be reached from a finaliser in its cycle:
    // it then ends at once instead of stepping emptied fields.
    void clear() noexcept { self().finish(); }

    void refuse_reentry() const {
        if (running)
            raise(PyExc_ValueError, T::coroutine ? "coroutine already executing"
                                                 : "generator already executing");
    }

    // One step: the next value, or null at the end of a generator.
    Ref resume(PyObject* value) {
        refuse_reentry();
        if (finished) {
            if (T::coroutine) raise(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
            return nullptr;
        }
        if (!started && value != Py_None)
            raise(PyExc_TypeError, T::coroutine
                                       ? "can't send non-None value to a just-started coroutine"
                                       : "can't send non-None value to a just-started generator");
        StepGuard<T> step(self());
        started = true;
        Ref out = self().advance(value);
        if (out) step.keep_going();
        return out;
    }

    Ref throw_in(PyObject* args) {
        refuse_reentry();
        PyObject *typ, *val = nullptr, *tb = nullptr;
        if (!PyArg_UnpackTuple(args, "throw", 1, 3, &typ, &val, &tb)) throw_error();
        if (Ref inner = Ref::borrow(self().delegate())) {
            if (PyErr_GivenExceptionMatches(typ, PyExc_GeneratorExit)) {
                close_inner(inner.get());
            } else if (Ref thrower = lookup(thrower_of, inner.get())) {
                StepGuard<T> step(self());
                Ref out = call_inner(thrower.get(), args);
                step.keep_going();
                return out;
            }
        }
        self().throw_here(typ, val, tb);
    }

    void close() {
        refuse_reentry();
        if (Ref inner = Ref::borrow(self().delegate())) close_inner(inner.get());
        self().finish();
    }

    // What inner's method answered, as `yield from` passes it on: a
    // coroutine's result is the inner StopIteration's value; a generator's
    // return value is always None.
    static Ref call_inner(PyObject* method, PyObject* args) {
        if (T::coroutine) return call_args(method, args);
        PyObject* out = PyObject_Call(method, args, nullptr);
        if (!out && PyErr_ExceptionMatches(PyExc_StopIteration)) {
            PyErr_Clear();
            raise_stop();
        }
        return check(out);
    }

private:
    T& self() noexcept { return static_cast<T&>(*this); }
    const T& self() const noexcept { return static_cast<const T&>(*this); }

    // A look-up that fails ends the object.
    Ref lookup(Ref (*method_of)(PyObject*), PyObject* inner) {
        try {
            return method_of(inner);
        } catch (...) {
            self().finish();
            throw;
        }
    }

    void close_inner(PyObject* inner) {
        if (Ref closer = lookup(closer_of, inner)) {
            StepGuard<T> step(self());
            call(closer.get());
        }
    }
};

// The type of a generator-like `T`: slots, methods and getters.
template <class T>
class GeneratorType {
public:
    using N = Native<T>;

private:
    static T& gen(PyObject* self) noexcept { return N::fields(self); }

    static PyObject* iternext(PyObject* self) noexcept {
        try {
            return gen(self).resume(Py_None).release();
        } catch (...) {
            return translate_exception();
        }
    }
    static Ref send(PyObject* self, PyObject* value) {
        Ref out = gen(self).resume(value);
        if (!out) raise_stop();
        return out;
    }
    static Ref throw_(PyObject* self, PyObject* args, PyObject* kwargs) {
        if (kwargs && PyDict_Size(kwargs)) raise(PyExc_TypeError, "throw() takes no keyword arguments");
        return gen(self).throw_in(args);
    }
    static Ref close(PyObject* self) {
        gen(self).close();
        return none();
    }

    static PyObject* repr(PyObject* self) noexcept {
        return PyUnicode_FromFormat("<generator object %s at %p>", gen(self).qualname(), self);
    }
    static PyObject* get_name(PyObject* self, void*) noexcept {
        return PyUnicode_FromString(gen(self).name());
    }
    static PyObject* get_qualname(PyObject* self, void*) noexcept {
        return PyUnicode_FromString(gen(self).qualname());
    }
    static PyObject* get_running(PyObject* self, void*) noexcept {
        return boolean(gen(self).running).release();
    }
    static PyObject* get_await(PyObject* self, void*) noexcept {
        PyObject* inner = gen(self).delegate();
        return Ref::borrow(inner ? inner : Py_None).release();
    }
    // asyncio's stack helpers read cr_frame; there is no Python frame to show.
    static PyObject* get_frame(PyObject*, void*) noexcept { return none().release(); }

    // An instance made by calling the type would have no step to run.
    static PyObject* refuse_new(PyTypeObject*, PyObject*, PyObject*) noexcept {
        PyErr_Format(PyExc_TypeError, "cannot create '%s' instances", T::full_name);
        return nullptr;
    }

    static inline PyMethodDef methods[] = {
        CU_O("send", send,
             T::coroutine ? "send($self, value, /)\n--\n\n"
                            "Sends value into the awaited call; returns the next value it yields."
                          : "send($self, value, /)\n--\n\n"
                            "Resumes the generator; returns the next value or raises StopIteration."),
        CU_VARARGS("throw", throw_,
                   T::coroutine ? "throw($self, typ, val=None, tb=None, /)\n--\n\n"
                                  "Raises an exception in the awaited call."
                                : "throw($self, typ, val=None, tb=None, /)\n--\n\n"
                                  "Raises an exception in the generator."),
        CU_NOARGS("close", close,
                  T::coroutine ? "close($self, /)\n--\n\n"
                                 "Closes the awaited call; the coroutine cannot be resumed afterwards."
                               : "close($self, /)\n--\n\n"
                                 "Ends the generator; later steps raise StopIteration."),
        CU_END,
    };

    static inline PyGetSetDef getset[] = {
        {"__name__", get_name, nullptr, nullptr, nullptr},
        {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
        {T::coroutine ? "cr_running" : "gi_running", get_running, nullptr, nullptr, nullptr},
        // A generator's table ends here; a coroutine's introspection for asyncio follows.
        {T::coroutine ? "cr_await" : nullptr, get_await, nullptr, nullptr, nullptr},
        {"cr_frame", get_frame, nullptr, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };

    static inline PyType_Slot slots[] = {
        {Py_tp_iternext, (void*)iternext},  // one step
        {Py_tp_methods, methods},           // send, throw, close
        {Py_tp_getset, getset},             // names, running, introspection
        {Py_tp_new, (void*)refuse_new},     // made by the module only
        {Py_tp_traverse, (void*)N::traverse},
        {Py_tp_clear, (void*)N::clear},
        {Py_tp_dealloc, (void*)N::dealloc},
        // A coroutine is awaited (__await__ gives itself) and its table ends
        // here, keeping object's repr; a generator is its own iterator.
        T::coroutine ? PyType_Slot{Py_am_await, (void*)PyObject_SelfIter}
                     : PyType_Slot{Py_tp_iter, (void*)PyObject_SelfIter},
        T::coroutine ? PyType_Slot{0, nullptr} : PyType_Slot{Py_tp_repr, (void*)repr},
        {0, nullptr},
    };

public:
    static inline PyType_Spec layout = {T::full_name, sizeof(typename N::Object), 0,
                                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots};

    // A new type of this layout (each unit makes and keeps its own once).
    static Ref make_type() { return check(PyType_FromSpec(&layout)); }
};

}  // namespace cu
