// Pieces shared by the configuration units: the `with` statement over an
// opened file, and the names several of them look up.
#pragma once

#include "../bridge/module.hpp"

namespace cu::config {

extern const Name n_yaml, n_load, n_Loader, n_open, n_argparse, n_add_argument, n_logger,
    n__EnhanceSafeLoader;

// `with <file> as f: return body(f)`: __exit__ sees the error of the body
// and may suppress it (the result is then None), as in Python code.
template <class Body>
Ref with_file(PyObject* file, Body body) {
    static const Name n___enter__("__enter__"), n___exit__("__exit__");
    Ref exit = getattr(file, n___exit__);
    Ref entered = call_method(file, n___enter__);
    Ref result;
    try {
        result = body(entered.get());
    } catch (Error& err) {
        Ref value = Ref::borrow(err.value());
        Ref type = Ref::borrow(value ? (PyObject*)Py_TYPE(value.get()) : err.type());
        Ref tb = Ref::steal(value ? PyException_GetTraceback(value.get()) : nullptr);
        bool suppressed;
        {
            Handling handling(err);
            suppressed = truthy(call(exit.get(), type.get(), value ? value.get() : Py_None,
                                     tb ? tb.get() : Py_None).get());
        }
        if (suppressed) return none();
        throw;
    }
    call(exit.get(), Py_None, Py_None, Py_None);
    return result;
}

// yaml.load(<file>, Loader=_EnhanceSafeLoader), the loader as bound now.
Ref load_with_loader(PyObject* file, bool loader_by_keyword);

}  // namespace cu::config
