#include "module.hpp"
#include "closure.hpp"
#include "signature.hpp"

#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

namespace cu {

namespace module {

namespace {
PyObject* g_module = nullptr;  // owned for the life of the process
PyObject* g_ns = nullptr;      // borrowed from g_module
PyObject* g_name = nullptr;    // owned
}  // namespace

PyObject* object() noexcept { return g_module; }
PyObject* ns() noexcept { return g_ns; }
PyObject* name_obj() noexcept { return g_name; }

void set(PyObject* m) {
    Py_INCREF(m);
    g_module = m;
    g_ns = check_borrowed(PyModule_GetDict(m));
    g_name = getattr(m, "__name__").release();
}

namespace {
// Where each name was last seen in the namespace, by the address of its
// Name: names that share a place only cost each other a hashed look-up.
EntryHint g_hints[256];

inline PyObject* entry(const Name& name) {
    auto at = reinterpret_cast<std::uintptr_t>(&name);
    return g_hints[(at >> 4 ^ at >> 12) & 255].get(g_ns, name.get());
}
}  // namespace

PyObject* lookup(const Name& name) { return entry(name); }

Ref global(const Name& name) {
    if (PyObject* v = entry(name)) return Ref::borrow(v);
    if (PyObject* builtins = PyEval_GetBuiltins())
        if (PyObject* v = dict_get(builtins, name.get())) return Ref::borrow(v);
    raisef(PyExc_NameError, "name '%s' is not defined", name.text());
}

void bind(const char* name, PyObject* value) { set_item(g_ns, name, value); }

}  // namespace module

// ==== definitions ============================================================

namespace {

// A definition: made by `make`, or a module function from the row `def`.
struct Definition {
    const char* name;
    Maker make;
    PyMethodDef* def;
    std::vector<Annotation> annotations;
};

std::vector<Definition>& registry() {
    static std::vector<Definition> r;
    return r;
}

}  // namespace

bool register_definition(const char* name, Maker make) noexcept {
    try {
        registry().push_back({name, make, nullptr, {}});
        return true;
    } catch (...) {
        return false;
    }
}

bool register_functions(PyMethodDef* defs, std::initializer_list<Annotated> annotated) noexcept {
    try {
        for (PyMethodDef* def = defs; def->ml_name; ++def) {
            Definition d{def->ml_name, nullptr, def, {}};
            for (const Annotated& a : annotated)
                if (std::strcmp(a.function, def->ml_name) == 0) d.annotations = a.annotations;
            registry().push_back(std::move(d));
        }
        return true;
    } catch (...) {
        return false;
    }
}

Ref make_definition(const char* name) {
    for (const Definition& d : registry())
        if (std::strcmp(d.name, name) == 0)
            return d.make ? d.make() : make_function(d.def, d.annotations);
    return Ref();
}

const char* unlisted_definition(const char* const* table) noexcept {
    for (const Definition& d : registry()) {
        bool listed = false;
        for (const char* const* t = table; *t && !listed; ++t)
            listed = std::strcmp(*t, d.name) == 0;
        if (!listed) return d.name;
    }
    return nullptr;
}

// ==== building blocks ========================================================

Ref make_function(PyMethodDef* def, std::initializer_list<Annotation> annotations) {
    return make_function(def, std::vector<Annotation>(annotations));
}

Ref make_function(PyMethodDef* def, const std::vector<Annotation>& annotations) {
    Ref notes = dict();
    for (auto& [name, text] : annotations) set_item(notes.get(), name, str(text).get());
    return make_native_function(def, module::object(), module::name_obj(), notes.get());
}

void add_methods(PyObject* cls, PyMethodDef* methods) {
    for (PyMethodDef* def = methods; def && def->ml_name; ++def) {
        Ref attr;
        if (def->ml_flags & METH_CLASS) {
            attr = check(PyDescr_NewClassMethod((PyTypeObject*)cls, def));
        } else if (def->ml_flags & METH_STATIC) {
            // No PyStaticMethod_New in the limited API: wrap through the builtin.
            Ref fn = check(PyCFunction_NewEx(def, nullptr, module::name_obj()));
            Ref builtins = check(PyImport_ImportModule("builtins"));
            attr = call(getattr(builtins.get(), "staticmethod").get(), fn.get());
        } else {
            attr = check(PyDescr_NewMethod((PyTypeObject*)cls, def));
        }
        setattr(cls, def->ml_name, attr.get());
        if (!(def->ml_flags & (METH_CLASS | METH_STATIC)) && std::strcmp(def->ml_name, "__init__") == 0)
            give_class_signature(cls, attr.get());
    }
}

Ref make_class(const char* name, PyObject* bases, PyMethodDef* methods, const char* doc) {
    Ref ns = dict();
    set_item(ns.get(), "__module__", module::name_obj());
    Ref qualname = str(name);
    set_item(ns.get(), "__qualname__", qualname.get());
    if (doc) set_item(ns.get(), "__doc__", str(doc).get());
    PyObject* meta = PyTuple_Size(bases) ? (PyObject*)Py_TYPE(PyTuple_GetItem(bases, 0))
                                         : (PyObject*)&PyType_Type;
    Ref cls = call(meta, qualname.get(), bases, ns.get());
    add_methods(cls.get(), methods);
    return cls;
}

Ref make_subclass(const char* name, PyObject* base, PyMethodDef* methods, const char* doc,
                  Keep* keep) {
    Ref bases = tuple(base);
    Ref cls = make_class(name, bases.get(), methods, doc);
    if (keep) keep->set(cls);
    return cls;
}

}  // namespace cu
