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

    // Every step reads `warnings` and `DeprecationWarning` from the namespace
    // itself, in the order a Python body would: a showwarning hook or the
    // target's __name__ may rebind them between the steps.
    Ref call(PyObject* args, PyObject* kwargs) override {
        filter(n_always);

        Ref warn = getattr(module::global(n_warnings).get(), n_warn);
        static const Name empty_spec("");
        Ref name = getattr(func_.get(), n___name__);
        Ref formatted = check(PyObject_Format(name.get(), empty_spec));
        Ref message = check(PyUnicode_FromFormat("Call to deprecated function %U.",
                                                 formatted.get()));
        Ref kw = dict();
        set_item(kw.get(), n_category, module::global(n_DeprecationWarning).get());
        // This wrapper has no Python frame of its own, so level 1 is already
        // the line that called the deprecated function.
        set_item(kw.get(), n_stacklevel, integer(1).get());
        Ref pos = tuple(message.get());
        call_args(warn.get(), pos.get(), kw.get());

        filter(n_default);
        return call_args(func_.get(), args, kwargs);
    }

    int traverse(visitproc visit, void* arg) override {
        Py_VISIT(func_.get());
        return 0;
    }

private:
    static void filter(const Name& action) {
        Ref simplefilter = getattr(module::global(n_warnings).get(), n_simplefilter);
        cu::call(simplefilter.get(), action.get(), module::global(n_DeprecationWarning).get());
    }

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
