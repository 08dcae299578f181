// The library imports of the module body, bound as module attributes in order.
// None is guarded: a missing package ends the import of this module.
#include "frame.hpp"

#include <string>

namespace cu::frame {

namespace {

struct Import {
    const char* module;
    const char* names[9];  // names taken from the module; none: bind the module itself
};

const Import kImports[] = {
    {"sys", {}},
    {"os", {}},
    {"argparse", {}},
    {"collections", {}},
    {"collections.abc", {"Iterable"}},
    {"copy", {}},
    {"datetime", {}},
    {"enum", {}},
    {"functools", {}},
    {"importlib", {}},
    {"io", {}},
    {"json", {}},
    {"logging", {}},
    {"shelve", {}},
    {"sqlite3", {}},
    {"time", {}},
    {"asyncio", {}},
    {"traceback", {}},
    {"types", {"ModuleType"}},
    {"warnings", {}},
    {"abc", {"abstractmethod"}},
    {"html.parser", {"HTMLParser"}},
    {"io", {"StringIO"}},
    {"typing", {"Any", "Callable", "Dict", "List", "Tuple", "Union", "Final", "Literal"}},
    {"requests", {}},
    {"yaml", {}},
    {"subprocess", {}},
    {"signal", {}},
    {"nest_asyncio", {}},
    {"anyio.to_thread", {}},  // binds the top-level package `anyio`
    {"tracemalloc", {}},
};

}  // namespace

void run_imports() {
    PyObject* globals = module::ns();
    for (const Import& imp : kImports) {
        if (!imp.names[0]) {
            // `import a.b` binds `a`, with `a.b` loaded.
            Ref top = check(PyImport_ImportModuleLevel(imp.module, globals, nullptr, nullptr, 0));
            std::string top_name(imp.module);
            top_name = top_name.substr(0, top_name.find('.'));
            module::bind(top_name.c_str(), top.get());
            continue;
        }
        Ref mod = check(PyImport_ImportModule(imp.module));
        for (const char* const* n = imp.names; n < imp.names + 9 && *n; ++n) {
            PyObject* v = PyObject_GetAttrString(mod.get(), *n);
            if (!v) {
                if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
                PyErr_Clear();
                raisef(PyExc_ImportError, "cannot import name '%s' from '%s'", *n, imp.module);
            }
            Ref value = Ref::steal(v);
            module::bind(*n, value.get());
        }
    }
}

}  // namespace cu::frame
