#include "args.hpp"
#include "call_site.hpp"
#include "entry.hpp"

namespace cu {

namespace {

bool same_name(PyObject* key, PyObject* name) {
    if (key == name) return true;
    if (!PyUnicode_Check(key)) raise(PyExc_TypeError, "keywords must be strings");
    int c = PyUnicode_Compare(key, name);
    if (c == -1 && PyErr_Occurred()) throw_error();
    return c == 0;
}

const char* plural(std::size_t n) { return n == 1 ? "" : "s"; }

[[noreturn]] void too_many(const Params& p, Py_ssize_t given) {
    Py_ssize_t self = p.method ? 1 : 0;
    given += self;
    if (p.required == p.count)
        raisef(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given",
               p.function, (Py_ssize_t)p.count + self, plural(p.count + self), given,
               given == 1 ? "was" : "were");
    raisef(PyExc_TypeError, "%s() takes from %zd to %zd positional arguments but %zd %s given",
           p.function, (Py_ssize_t)p.required + self, (Py_ssize_t)p.count + self, given,
           given == 1 ? "was" : "were");
}

[[noreturn]] void missing(const Params& p, PyObject** out) {
    std::string names;
    std::size_t n = 0;
    for (std::size_t i = 0; i < p.required; ++i) if (!out[i]) ++n;
    std::size_t seen = 0;
    for (std::size_t i = 0; i < p.required; ++i) {
        if (out[i]) continue;
        if (seen) names += (seen + 1 == n) ? (n > 2 ? ", and " : " and ") : ", ";
        names += "'";
        names += p.names[i].text();
        names += "'";
        ++seen;
    }
    raisef(PyExc_TypeError, "%s() missing %zd required positional argument%s: %s",
           p.function, (Py_ssize_t)n, plural(n), names.c_str());
}

}  // namespace

void bind_var(const Params& p, const CallArgs& a, PyObject** out, Ref* varargs, Ref* varkw) {
    Py_ssize_t nargs = a.size();
    if (!varargs && nargs > (Py_ssize_t)p.count) too_many(p, nargs);
    Py_ssize_t named = nargs < (Py_ssize_t)p.count ? nargs : (Py_ssize_t)p.count;
    for (std::size_t i = 0; i < p.count; ++i)
        out[i] = (Py_ssize_t)i < named ? a[(Py_ssize_t)i] : nullptr;
    if (varargs) *varargs = a.tail(named);
    if (varkw) *varkw = dict();
    a.each_keyword([&](PyObject* key, PyObject* value) {
        std::size_t i = 0;
        for (; i < p.count; ++i)
            if (same_name(key, p.names[i].get())) break;
        if (i == p.count) {
            if (!varkw)
                raisef(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                       p.function, key);
            set_item(varkw->get(), key, value);
            return;
        }
        if (out[i])
            raisef(PyExc_TypeError, "%s() got multiple values for argument '%s'", p.function,
                   p.names[i].text());
        out[i] = value;
    });
    for (std::size_t i = 0; i < p.required; ++i)
        if (!out[i]) missing(p, out);
}

void bind(const Params& p, const CallArgs& a, PyObject** out) {
    bind_var(p, a, out, nullptr, nullptr);
}

// ==== CallArgs ===============================================================

PyObject* CallArgs::tuple() const {
    if (!vector_) return tuple_;
    if (!made_) made_ = tail(0);
    return made_.get();
}

Ref CallArgs::tail(Py_ssize_t from) const {
    Py_ssize_t n = size();
    if (from >= n) return cu::tuple();
    if (!vector_) return check(PyTuple_GetSlice(tuple_, from, n));
    Ref out = check(PyTuple_New(n - from));
    for (Py_ssize_t i = from; i < n; ++i)
        PyTuple_SetItem(out.get(), i - from, Ref::borrow(stack_[i]).release());
    return out;
}

Ref CallArgs::call(PyObject* f, bool own_kwargs) const {
    if (!vector_) {
        Ref kw;
        if (own_kwargs && has_keywords()) kw = check(PyDict_Copy(kwargs_));
        return call_tuple(f, tuple_, own_kwargs ? kw.get() : kwargs_);
    }
    if (!has_keywords()) {
        // The interpreter calls f with the values in an array: no tuple.
        switch (nargs_) {
            case 0: return check(PyObject_CallFunctionObjArgs(f, nullptr));
            case 1: return check(PyObject_CallFunctionObjArgs(f, stack_[0], nullptr));
            case 2: return check(PyObject_CallFunctionObjArgs(f, stack_[0], stack_[1], nullptr));
        }
        return call_args(f, tuple());
    }
    Ref kw = dict();
    each_keyword([&](PyObject* key, PyObject* value) { set_item(kw.get(), key, value); });
    return call_args(f, tuple(), kw.get());
}

void raise_wrong_type(const char* function, const char* param, const char* expected,
                      PyObject* got) {
    raisef(PyExc_TypeError, "%s() argument '%s' must be %s, not %s", function, param, expected,
           type_name(got).c_str());
}

// ==== the two entries of a CU_ARGS row ======================================

namespace {

// The rows settled so far, by their vector entry.
struct Twin {
    VectorEntry vector;
    PyCFunctionWithKeywords tuple_form;
};
Twin g_twins[32];
int g_twin_count = 0;

}  // namespace

void settle_row(PyMethodDef* def) {
    if (!(def->ml_flags & kMethBothForms)) return;
    auto vector = reinterpret_cast<VectorEntry>(reinterpret_cast<void (*)()>(def->ml_meth));
    PyCFunctionWithKeywords tuple_form = nullptr;
    vector(nullptr, reinterpret_cast<PyObject* const*>(&tuple_form), -1, nullptr);
    int flags = def->ml_flags & ~kMethBothForms;
    if (runtime_version() >= 310) {
        def->ml_flags = flags | kMethFastcall;
        if (g_twin_count < 32) g_twins[g_twin_count++] = {vector, tuple_form};
    } else {
        def->ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tuple_form));
        def->ml_flags = flags | METH_VARARGS;
    }
}

Ref call_tuple(PyObject* f, PyObject* args, PyObject* kwargs) {
    if (g_twin_count && PyCFunction_Check(f) && PyCFunction_GetSelf(f)) {
        auto fn = reinterpret_cast<VectorEntry>(reinterpret_cast<void (*)()>(PyCFunction_GetFunction(f)));
        for (int i = 0; i < g_twin_count; ++i)
            if (g_twins[i].vector == fn)
                return check(g_twins[i].tuple_form(PyCFunction_GetSelf(f), args, kwargs));
    }
    return call_args(f, args, kwargs);
}

}  // namespace cu
