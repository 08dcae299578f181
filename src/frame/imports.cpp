// The library imports of the module body, bound as module attributes in order.
// None is guarded: a missing package ends the import of this module.
//
// The nested-event-loop patch comes from the maintained `nest_asyncio2`,
// bound under the name `nest_asyncio` callers know: the unmaintained
// `nest_asyncio` replaces asyncio.run with a function that has no
// `loop_factory` parameter (3.12+), which breaks every library that passes it.
#include "frame.hpp"

#include <string>

namespace cu::frame {

namespace {

struct Import {
    const char* module;
    const char* names[9];  // names taken from the module; none: bind the module itself
    const char* as = nullptr;  // `import module as <as>`: the module bound under this name
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
    {"nest_asyncio2", {}, "nest_asyncio"},
    {"anyio.to_thread", {}},  // binds the top-level package `anyio`
    {"tracemalloc", {}},
};

// `from <mod> import <name>`: the attribute, else the submodule of that name
// already in sys.modules, else ImportError worded as the interpreter words it.
Ref import_from(PyObject* mod, const char* name) {
    static const Name n_name("__name__");
    Ref wanted = str(name);
    if (Ref attr = getattr_opt(mod, wanted.get())) return attr;
    Ref mod_name = getattr_opt(mod, n_name);
    if (mod_name && is_exact_str(mod_name.get())) {
        Ref full_name = check(PyUnicode_FromFormat("%U.%U", mod_name.get(), wanted.get()));
        if (Ref sub = loaded_module(full_name.get())) return sub;
    } else {
        mod_name = str("<unknown module name>");
    }
    Ref path = Ref::steal(PyModule_GetFilenameObject(mod));
    if (!path) PyErr_Clear();
    Ref msg = path ? check(PyUnicode_FromFormat("cannot import name %R from %R (%S)",
                                                wanted.get(), mod_name.get(), path.get()))
                   : check(PyUnicode_FromFormat("cannot import name %R from %R (unknown location)",
                                                wanted.get(), mod_name.get()));
    PyErr_SetImportError(msg.get(), mod_name.get(), path ? path.get() : Py_None);
    throw_error();
}

}  // namespace

void run_imports() {
    PyObject* globals = module::ns();
    for (const Import& imp : kImports) {
        if (!imp.names[0]) {
            // `import a.b` binds `a`, with `a.b` loaded.
            Ref top = check(PyImport_ImportModuleLevel(imp.module, globals, nullptr, nullptr, 0));
            std::string top_name(imp.module);
            top_name = top_name.substr(0, top_name.find('.'));
            module::bind(imp.as ? imp.as : top_name.c_str(), top.get());
            continue;
        }
        Ref fromlist = list();
        for (const char* const* n = imp.names; n < imp.names + 9 && *n; ++n)
            append(fromlist.get(), str(*n).get());
        // With a fromlist the import returns `a.b` itself rather than `a`.
        Ref mod = check(
            PyImport_ImportModuleLevel(imp.module, globals, nullptr, fromlist.get(), 0));
        for (const char* const* n = imp.names; n < imp.names + 9 && *n; ++n)
            module::bind(*n, import_from(mod.get(), *n).get());
    }
}

}  // namespace cu::frame
