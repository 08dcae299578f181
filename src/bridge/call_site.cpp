#include "call_site.hpp"
#include "module.hpp"

#include <cstdlib>

namespace cu {

namespace {

const Name n___qualname__("__qualname__"), n___module__("__module__"), n___name__("__name__"),
    n___mro__("__mro__"), n___dict__("__dict__"), n___iter__("__iter__"),
    n___getitem__("__getitem__"), n_keys("keys"),
    n_args("args"), n_builtins("builtins");

// (major, minor) of the running interpreter, as one number: 308, 311...
int runtime_version() {
    static int version = 0;
    if (!version) {
        const char* text = Py_GetVersion();
        char* end = nullptr;
        long major = std::strtol(text, &end, 10);
        long minor = (end && *end == '.') ? std::strtol(end + 1, nullptr, 10) : 0;
        version = (int)(major * 100 + minor);
    }
    return version;
}

// tp_name of type(o), which the limited API does not expose: a class made
// at run time carries its bare name, a static type "module.name" unless it
// is a builtin.
Ref type_text(PyObject* o) {
    PyObject* type = (PyObject*)Py_TYPE(o);
    Ref name = getattr(type, n___name__);
    if (PyType_GetFlags(Py_TYPE(o)) & Py_TPFLAGS_HEAPTYPE) return name;
    Ref module = getattr_opt(type, n___module__);
    if (!module || !PyUnicode_Check(module.get()) ||
        PyUnicode_Compare(module.get(), n_builtins) == 0)
        return name;
    return check(PyUnicode_FromFormat("%U.%U", module.get(), name.get()));
}

// The class in type(self).__mro__ whose own namespace defines `name`.
Ref defining_class(PyObject* self, PyObject* name) {
    Ref mro = getattr((PyObject*)Py_TYPE(self), n___mro__);
    Ref it = iter(mro.get());
    while (Ref cls = next(it.get())) {
        Ref attrs = getattr(cls.get(), n___dict__);
        if (check_int(PySequence_Contains(attrs.get(), name))) return cls;
    }
    return Ref();
}

// A method of this module's classes bound to an instance, named after its
// defining class as a Python method would be; null for anything else.
Ref own_method_name(PyObject* func) {
    if (!PyCFunction_Check(func)) return Ref();
    PyObject* self = PyCFunction_GetSelf(func);
    if (!self || PyType_Check(self) || PyModule_Check(self)) return Ref();
    Ref name = getattr(func, n___name__);
    Ref cls = defining_class(self, name.get());
    if (!cls) return Ref();
    Ref module = getattr_opt(cls.get(), n___module__);
    if (!module || !PyUnicode_Check(module.get()) ||
        PyUnicode_Compare(module.get(), module::name_obj()) != 0)
        return Ref();
    Ref qualname = getattr(cls.get(), n___qualname__);
    return check(PyUnicode_FromFormat("%U.%S.%U()", module.get(), qualname.get(), name.get()));
}

[[noreturn]] void raise_not_str_keys(const char* function) {
    if (runtime_version() >= 309) raise(PyExc_TypeError, "keywords must be strings");
    // Up to 3.8 the called Python function itself rejects them, by its name.
    raisef(PyExc_TypeError, "%s() keywords must be strings", function);
}

[[noreturn]] void raise_not_str_keys(const Callee& callee) {
    if (runtime_version() >= 309) raise_not_str_keys("");
    Ref func = callee.get();
    raise_not_str_keys(PyType_Check(func.get()) ? "__init__" : PyEval_GetFuncName(func.get()));
}

[[noreturn]] void raise_duplicate(PyObject* key, const Callee& callee) {
    Ref name = call_site_name(callee.get().get());
    if (!PyUnicode_Check(key))
        raisef(PyExc_TypeError, "%U keywords must be strings", name.get());
    raisef(PyExc_TypeError, "%U got multiple values for keyword argument '%S'", name.get(), key);
}

// Iterating a dict subclass that keeps dict's own __iter__ reads its storage
// directly, as the interpreter's merge does; any other mapping goes through
// keys() and item access.
bool reads_storage(PyObject* mapping) {
    if (PyDict_CheckExact(mapping)) return true;
    if (!PyDict_Check(mapping)) return false;
    Ref own = getattr((PyObject*)Py_TYPE(mapping), n___iter__);
    Ref plain = getattr((PyObject*)&PyDict_Type, n___iter__);
    return own.get() == plain.get();
}

void merge(PyObject* kw, PyObject* mapping, const Callee& callee) {
    if (reads_storage(mapping)) {
        Py_ssize_t size = PyDict_Size(mapping);
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(mapping, &pos, &k, &v)) {
            // Held: a key's __eq__ may change the mapping under us.
            Ref key = Ref::borrow(k), value = Ref::borrow(v);
            if (dict_get(kw, key.get())) raise_duplicate(key.get(), callee);
            set_item(kw, key.get(), value.get());
            if (PyDict_Size(mapping) != size)
                raise(PyExc_RuntimeError, "dict mutated during update");
        }
        return;
    }
    Ref keys = call_method(mapping, n_keys);
    Ref it = iter(keys.get());
    while (Ref key = next(it.get())) {
        if (dict_get(kw, key.get())) raise_duplicate(key.get(), callee);
        PyObject* value = PyObject_GetItem(mapping, key.get());
        if (!value) {
            // From 3.12 a KeyError of the mapping itself reads as a duplicate.
            if (runtime_version() < 312 || !PyErr_ExceptionMatches(PyExc_KeyError)) throw_error();
            Error err;
            Ref args = getattr_opt(err.value(), n_args);
            if (!args || !PyTuple_Check(args.get()) || PyTuple_Size(args.get()) != 1) {
                err.restore();
                throw_error();
            }
            raise_duplicate(PyTuple_GetItem(args.get(), 0), callee);
        }
        set_item(kw, key.get(), Ref::steal(value).get());
    }
}

}  // namespace

Ref call_site_name(PyObject* func) {
    if (runtime_version() < 309) {
        const char* name = PyEval_GetFuncName(func);
        const char* desc = PyEval_GetFuncDesc(func);
        return check(PyUnicode_FromFormat("%s%s", name, desc));
    }
    if (Ref own = own_method_name(func)) return own;
    Ref qualname = getattr_opt(func, n___qualname__);
    if (!qualname) return str_of(func);
    Ref module = getattr_opt(func, n___module__);
    if (module && module.get() != Py_None) {
        int other = PyObject_RichCompareBool(module.get(), n_builtins, Py_NE);
        if (check_int(other))
            return check(PyUnicode_FromFormat("%S.%S()", module.get(), qualname.get()));
    }
    return check(PyUnicode_FromFormat("%S()", qualname.get()));
}

Ref star_args(PyObject* args, const Callee& callee) {
    if (PyTuple_CheckExact(args)) return Ref::borrow(args);
    if (!PySequence_Check(args) && !hasattr((PyObject*)Py_TYPE(args), n___iter__)) {
        Ref name = call_site_name(callee.get().get());
        raisef(PyExc_TypeError, "%U argument after * must be an iterable, not %U", name.get(),
               type_text(args).get());
    }
    return check(PySequence_Tuple(args));
}

void star_kwargs(PyObject* kw, PyObject* mapping, const Callee& callee) {
    try {
        merge(kw, mapping, callee);
    } catch (Error& err) {
        if (!err.matches(PyExc_AttributeError)) throw;
        Ref name = call_site_name(callee.get().get());
        raisef(PyExc_TypeError, "%U argument after ** must be a mapping, not %U", name.get(),
               type_text(mapping).get());
    }
    if (!has_only_str_keys(kw)) raise_not_str_keys(callee);
}

Ref call_method_star_kwargs(PyObject* owner, const Name& name, PyObject* mapping) {
    Ref kw = dict();
    star_kwargs(kw.get(), mapping, Callee{nullptr, owner, &name});
    Ref no_args = tuple();
    return call_args(getattr(owner, name).get(), no_args.get(), kw.get());
}

void require_str_keywords(PyObject* kwargs, const char* function) {
    if (kwargs && !has_only_str_keys(kwargs)) raise_not_str_keys(function);
}

bool has_only_str_keys(PyObject* d) noexcept {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(d, &pos, &key, &value))
        if (!PyUnicode_Check(key)) return false;
    return true;
}

void unpack2(PyObject* pair, Ref& first, Ref& second) {
    PyObject* it = PyObject_GetIter(pair);
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyObject* type = (PyObject*)Py_TYPE(pair);
            Ref keep = Ref::borrow(type);
            Error err;
            if (!hasattr(type, n___iter__) && !hasattr(type, n___getitem__))
                raisef(PyExc_TypeError, "cannot unpack non-iterable %s object",
                       type_name(pair).c_str());
            err.restore();
        }
        throw_error();
    }
    Ref iterator = Ref::steal(it);
    first = next(iterator.get());
    if (!first) raise(PyExc_ValueError, "not enough values to unpack (expected 2, got 0)");
    second = next(iterator.get());
    if (!second) raise(PyExc_ValueError, "not enough values to unpack (expected 2, got 1)");
    if (next(iterator.get())) raise(PyExc_ValueError, "too many values to unpack (expected 2)");
}

}  // namespace cu
