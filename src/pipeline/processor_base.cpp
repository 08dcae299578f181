// ProcessorBase: the processor contract (name, readiness, init, process, the
// description as a dict and the printed form) and FunctionProcessor, the step
// that wraps one plain callable.
//
// Both are classes built the way a class statement builds them, so Python
// subclasses behave as with any Python base: their own __init__, process,
// as_dict and attributes, deepcopy and pickling of the instance __dict__.
#include "processor_base.hpp"
#include "../bridge/args.hpp"
#include "../bridge/entry.hpp"

namespace cu::pipeline {

const Name n_model_args("model_args"), n_spark_session("spark_session"), n_name("name"),
    n_ready("ready"), n__model_args("_model_args"), n__spark_session("_spark_session"),
    n__name("_name"), n__ready("_ready"), n__user_function("_user_function"),
    n_process("process"), n_as_dict("as_dict"), n_is_ready("is_ready"),
    n_set_ready("set_ready"), n_init("init"), n___class__("__class__"),
    n___name__("__name__"), n___init__("__init__"), n_ProcessorBase("ProcessorBase"),
    n_FunctionProcessor("FunctionProcessor");

Keep g_processor_base;
Keep g_function_processor;

namespace {
Keep g_fp_process;     // FunctionProcessor.process as set on the class
Keep g_base_name;      // ProcessorBase.name as set on the class
Keep g_base_is_ready;  // ProcessorBase.is_ready as set on the class

// The processor classes of this module, each with what look-up found on it
// when it was made.
struct OwnClass {
    ClassSnapshot snapshot;
    Keep found[4];  // by bit: name, is_ready, process, _one_process
};
OwnClass g_own[12];
int g_own_count = 0;
}  // namespace

// Only where instances keep their dict at a fixed offset (up to 3.10): with
// the managed dicts of later versions, reading an instance dict is an
// attribute look-up of its own, and the snapshot's probes then cost more
// than the interpreter's own cached look-up that resolves_to and the method
// calls use.
Ref own_processor_class(Ref cls) {
    static const Name n__one_process("_one_process"), n___dictoffset__("__dictoffset__");
    static const Name* const names[] = {&n_name, &n_is_ready, &n_process, &n__one_process};
    if (g_own_count == 12 || as_ssize_t(getattr(cls.get(), n___dictoffset__).get()) <= 0) return cls;
    OwnClass& own = g_own[g_own_count++];
    own.snapshot.take(cls.get(), {{b_name, n_name}, {b_is_ready, n_is_ready},
                                  {b_process, n_process}, {b_one_process, n__one_process}});
    for (int i = 0; i < 4; ++i) own.found[i].set(getattr_opt(cls.get(), *names[i]));
    return cls;
}

namespace {
const OwnClass* own_class(PyObject* obj) {
    for (int i = 0; i < g_own_count; ++i)
        if (g_own[i].snapshot.cls() == (PyObject*)Py_TYPE(obj)) return &g_own[i];
    return nullptr;
}
}  // namespace

bool resolves(PyObject* obj, ClassSnapshot::Names bit, const Name& name, PyObject* expected) {
    if (const OwnClass* own = own_class(obj))
        return own->found[__builtin_ctz(bit)].get() == expected && own->snapshot.holds(obj, bit);
    return resolves_to(obj, name, expected);
}

bool has_base_name(PyObject* p) { return resolves(p, b_name, n_name, g_base_name.get()); }

// Where no snapshot proves the base method, the method call is cheaper than
// resolves_to and the direct read together.
Ref ready_of(PyObject* p) {
    const OwnClass* own = own_class(p);
    if (own && own->found[1].get() == g_base_is_ready.get() && own->snapshot.holds(p, b_is_ready))
        return getattr(p, n__ready);
    return call_method(p, n_is_ready);
}

Ref step_name(PyObject* p) {
    const OwnClass* own = own_class(p);
    if (own && own->found[0].get() == g_base_name.get() && own->snapshot.holds(p, b_name))
        return base_name_of(p);
    return call_method(p, n_name);
}

void require_callable(PyObject* fn) {
    if (PyCallable_Check(fn)) return;
    Ref text = str_of(fn);
    raisef(PyExc_ValueError, "function '%U' is not callable", text.get());
}

Ref call_process(PyObject* p, PyObject* args, PyObject* kwargs) {
    if (resolves(p, b_process, n_process, g_fp_process.get()))
        return call_args(getattr(p, n__user_function).get(), args, kwargs);
    return call_args(getattr(p, n_process).get(), args, kwargs);
}

Ref class_name(PyObject* self) {
    return getattr(getattr(self, n___class__).get(), n___name__);
}

namespace {

const Name n_json("json"), n_dumps("dumps");

// ==== ProcessorBase ==========================================================

Ref base_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* model_args = kwargs ? dict_get(kwargs, n_model_args) : nullptr;
    if (!model_args) model_args = PyTuple_Size(args) > 0 ? PyTuple_GetItem(args, 0) : Py_None;
    Ref keep_model_args = Ref::borrow(model_args);  // kwargs may be mutated by setattr hooks
    PyObject* session = kwargs ? dict_get(kwargs, n_spark_session) : nullptr;
    Ref keep_session = Ref::borrow(session ? session : Py_None);
    PyObject* name = kwargs ? dict_get(kwargs, n_name) : nullptr;
    Ref name_value = name ? Ref::borrow(name) : class_name(self);
    PyObject* ready = kwargs ? dict_get(kwargs, n_ready) : nullptr;
    Ref ready_value = Ref::borrow(ready ? ready : Py_False);

    setattr(self, n__model_args, keep_model_args.get());
    setattr(self, n__spark_session, keep_session.get());
    setattr(self, n__name, name_value.get());
    setattr(self, n__ready, ready_value.get());
    return none();
}

Ref base_del(PyObject*) { return none(); }

// The key is read before name() and is_ready() run, in the order a dict
// display evaluates them; overrides of either may observe it.
Ref base_as_dict(PyObject* self) {
    Ref key = class_name(self);
    Ref name = call_method(self, n_name);
    Ref ready = call_method(self, n_is_ready);
    Ref inner = dict();
    set_item(inner.get(), "name", name.get());
    set_item(inner.get(), "ready", ready.get());
    Ref outer = dict();
    set_item(outer.get(), key.get(), inner.get());
    return outer;
}

// list(d.items()): an override of as_dict may return any mapping-like object,
// so only an exact dict takes the direct route.
Ref items_list(PyObject* description) {
    if (PyDict_CheckExact(description)) return check(PyDict_Items(description));
    static const Name n_items("items");
    Ref items = call_method(description, n_items);
    return check(PySequence_List(items.get()));
}

Ref base_repr(PyObject* self) {
    Ref description = call_method(self, n_as_dict);
    Ref items = items_list(description.get());
    Ref first = get_item(items.get(), integer(0).get());  // IndexError for an empty description
    Ref key = get_item(first.get(), integer(0).get());
    Ref value = get_item(first.get(), integer(1).get());
    Ref text = call_method(module::global(n_json).get(), n_dumps, value.get());
    return check(PyUnicode_FromFormat("<%S %S>", key.get(), text.get()));
}

const Signature set_ready_params{"set_ready", {"ready"}, 1};

Ref base_set_ready(PyObject* self, PyObject* args, PyObject* kwargs) {
    Bound<1> a(set_ready_params, args, kwargs);
    setattr(self, n__ready, a[0]);
    return none();
}

Ref base_is_ready(PyObject* self) { return getattr(self, n__ready); }

}  // namespace

Ref base_name_of(PyObject* self) {
    Ref name = getattr(self, n__name);
    if (name.get() != Py_None && !is_exact_str(name.get()))
        raisef(PyExc_TypeError, "name() attribute '_name' must be str, not %s",
               type_name(name.get()).c_str());
    return name;
}

namespace {

Ref base_init_method(PyObject* self) {
    call_method(self, n_set_ready, Py_True);
    return boolean(true);
}

Ref base_process(PyObject*, PyObject*, PyObject*) {
    raise(PyExc_NotImplementedError, "Can't use 'process()' on a ProcessorBase!");
}

Ref base_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return call_args(getattr(self, n_process).get(), args, kwargs);
}

PyMethodDef base_methods[] = {
    CU_VARARGS_SIG("__init__", base_init, "($self, /, *args, **kwargs)", ""),
    CU_NOARGS_SIG("__del__", base_del, "($self, /)", ""),
    CU_NOARGS_SIG("as_dict", base_as_dict, "($self, /)",
                  "{class name: {'name': name(), 'ready': is_ready()}}"),
    CU_NOARGS_SIG("__repr__", base_repr, "($self, /)", ""),
    CU_VARARGS_SIG("set_ready", base_set_ready, "($self, /, ready)", ""),
    CU_NOARGS_SIG("is_ready", base_is_ready, "($self, /)", ""),
    CU_NOARGS_SIG("name", base_name_of, "($self, /)", ""),
    CU_NOARGS_SIG("init", base_init_method, "($self, /)",
                  "Prepares the processor; True when it is ready for process()."),
    CU_VARARGS_SIG("process", base_process, "($self, /, *args, **kwargs)", ""),
    CU_VARARGS_SIG("__call__", base_call, "($self, /, *args, **kwargs)", ""),
    CU_END,
};

Ref make_processor_base() {
    Ref cls = own_processor_class(make_subclass(
        "ProcessorBase", (PyObject*)&PyBaseObject_Type, base_methods,
        "Base of every processor: a named unit of work that is prepared once by init() and "
        "run by process()."));
    add_pickle_support(cls.get());
    g_base_name.set(getattr(cls.get(), n_name));
    g_base_is_ready.set(getattr(cls.get(), n_is_ready));
    g_processor_base.set(cls);
    return cls;
}

// ==== FunctionProcessor ======================================================

const Signature fp_init_params{"__init__", {"user_function"}, 0};

Ref fp_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    Bound<1> a(fp_init_params, args, kwargs);
    PyObject* user_function = a[0];
    Ref base_init = getattr(super_of(g_function_processor.get(), self).get(), n___init__);
    call_kw(base_init.get(), {}, {{n_ready, Py_True}});
    setattr(self, n__user_function, Py_None);
    if (user_function && user_function != Py_None) call(self, user_function);
    return none();
}

const Signature fp_call_params{"__call__", {"user_function"}, 1};

Ref fp_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    Bound<1> a(fp_call_params, args, kwargs);
    PyObject* user_function = a[0];
    require_callable(user_function);
    if (isinstance(user_function, module::global(n_ProcessorBase).get())) {
        Ref text = str_of(user_function);
        raisef(PyExc_ValueError, "'%U' is a ProcessorBase object", text.get());
    }
    // The name is made before anything is stored, so a callable without
    // __name__ leaves the processor as it was.
    Ref fn_name = getattr(user_function, n___name__);
    static const Name empty_spec("");
    Ref formatted = check(PyObject_Format(fn_name.get(), empty_spec));
    Ref name = check(PyUnicode_FromFormat("%U()", formatted.get()));
    setattr(self, n__user_function, user_function);
    setattr(self, n__name, name.get());
    return Ref::borrow(self);
}

Ref fp_process(PyObject* self, PyObject* args, PyObject* kwargs) {
    return call_args(getattr(self, n__user_function).get(), args, kwargs);
}

Ref fp_as_dict(PyObject* self) {
    Ref key = getattr(self, n__name);
    Ref ready = call_method(self, n_is_ready);
    Ref out = dict();
    set_item(out.get(), key.get(), ready.get());
    return out;
}

PyMethodDef fp_methods[] = {
    CU_VARARGS_SIG("__init__", fp_init, "($self, /, user_function=None)", ""),
    CU_VARARGS_SIG("__call__", fp_call, "($self, /, user_function)",
                   "Binds user_function; the processor takes its name."),
    CU_VARARGS_SIG("process", fp_process, "($self, /, *args, **kwargs)",
                   "Calls the bound function with the given arguments."),
    CU_NOARGS_SIG("as_dict", fp_as_dict, "($self, /)", "{name: is_ready()}"),
    CU_END,
};

Ref make_function_processor() {
    Ref cls = own_processor_class(make_subclass("FunctionProcessor",
                                                module::global(n_ProcessorBase).get(), fp_methods,
                                                "A processor that runs one plain callable."));
    g_fp_process.set(getattr(cls.get(), n_process));
    g_function_processor.set(cls);
    return cls;
}

}  // namespace

CU_DEFINITION("ProcessorBase", make_processor_base);
CU_DEFINITION("FunctionProcessor", make_function_processor);

}  // namespace cu::pipeline
