// Function decorators: deprecated.
#include "../bridge/args.hpp"
#include "../bridge/closure.hpp"
#include "../bridge/entry.hpp"
#include "../bridge/module.hpp"

namespace cu::runtime {

namespace {

const Name n_warnings("warnings"), n_functools("functools"), n_wraps("wraps"),
    n_simplefilter("simplefilter"), n_warn("warn"), n_always("always"), n_default("default"),
    n_DeprecationWarning("DeprecationWarning"), n_category("category"),
    n_stacklevel("stacklevel"), n___name__("__name__");

// ==== deprecated =============================================================

class DeprecatedCall : public Callback {
public:
    explicit DeprecatedCall(Ref func) : func_(std::move(func)) {}

    Ref call(PyObject* args, PyObject* kwargs) override {
        Ref warnings = module::global(n_warnings);
        Ref category = module::global(n_DeprecationWarning);
        call_method(warnings.get(), n_simplefilter, n_always.get(), category.get());

        Ref name = getattr(func_.get(), n___name__);
        static const Name empty_spec("");
        Ref formatted = check(PyObject_Format(name.get(), empty_spec));
        Ref message = check(PyUnicode_FromFormat("Call to deprecated function %U.",
                                                 formatted.get()));
        Ref kw = dict();
        set_item(kw.get(), n_category, category.get());
        // This wrapper has no Python frame of its own, so level 1 is already
        // the line that called the deprecated function.
        set_item(kw.get(), n_stacklevel, integer(1).get());
        Ref pos = tuple(message.get());
        call_args(getattr(warnings.get(), n_warn).get(), pos.get(), kw.get());

        call_method(warnings.get(), n_simplefilter, n_default.get(), category.get());
        Ref func = func_;  // the call may rebind nothing here, but keep it alive regardless
        return call_args(func.get(), args, kwargs);
    }

    int traverse(visitproc visit, void* arg) override {
        Py_VISIT(func_.get());
        return 0;
    }

private:
    Ref func_;
};

const Name deprecated_names[] = {Name("func")};
const Params deprecated_params{"deprecated", deprecated_names, 1, 1};

Ref deprecated(PyObject*, PyObject* args, PyObject* kwargs) {
    PyObject* func;
    bind(deprecated_params, args, kwargs, &func);
    Ref wrapper = make_closure(std::make_unique<DeprecatedCall>(Ref::borrow(func)), "new_func",
                               "deprecated.<locals>.new_func");
    Ref wraps = call_method(module::global(n_functools).get(), n_wraps, func);
    return call(wraps.get(), wrapper.get());
}

PyMethodDef defs[] = {
    CU_VARARGS("deprecated", deprecated,
               "deprecated(func)\n--\n\n"
               "Wraps func so that every call first emits a DeprecationWarning naming it."),
    CU_END,
};

Ref make_deprecated() { return make_function(&defs[0]); }

}  // namespace

CU_DEFINITION("deprecated", make_deprecated);

}  // namespace cu::runtime
