#include "args.hpp"

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

void bind_var(const Params& p, PyObject* args, PyObject* kwargs, PyObject** out, Ref* varargs,
              Ref* varkw) {
    Py_ssize_t nargs = args ? PyTuple_Size(args) : 0;
    if (!varargs && nargs > (Py_ssize_t)p.count) too_many(p, nargs);
    Py_ssize_t named = nargs < (Py_ssize_t)p.count ? nargs : (Py_ssize_t)p.count;
    for (std::size_t i = 0; i < p.count; ++i)
        out[i] = (Py_ssize_t)i < named ? PyTuple_GetItem(args, (Py_ssize_t)i) : nullptr;
    if (varargs) *varargs = nargs > named ? check(PyTuple_GetSlice(args, named, nargs)) : tuple();
    if (varkw) *varkw = dict();
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            std::size_t i = 0;
            for (; i < p.count; ++i)
                if (same_name(key, p.names[i].get())) break;
            if (i == p.count) {
                if (!varkw)
                    raisef(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                           p.function, key);
                set_item(varkw->get(), key, value);
                continue;
            }
            if (out[i])
                raisef(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                       p.function, p.names[i].text());
            out[i] = value;
        }
    }
    for (std::size_t i = 0; i < p.required; ++i)
        if (!out[i]) missing(p, out);
}

void bind(const Params& p, PyObject* args, PyObject* kwargs, PyObject** out) {
    bind_var(p, args, kwargs, out, nullptr, nullptr);
}

void raise_wrong_type(const char* function, const char* param, const char* expected,
                      PyObject* got) {
    raisef(PyExc_TypeError, "%s() argument '%s' must be %s, not %s", function, param, expected,
           type_name(got).c_str());
}

}  // namespace cu
