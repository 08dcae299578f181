// Building blocks for command lines: the key-value list actions, the yes/no
// argument type and the boolean option pair.
#include "config.hpp"
#include "../bridge/args.hpp"
#include "../bridge/entry.hpp"
#include "../logging/log.hpp"

namespace cu::config {

namespace {

const Name n_dest("dest"), n_strip("strip"), n_split("split"), n_Action("Action"),
    n_ArgumentTypeError("ArgumentTypeError"), n_str_to_bool("str_to_bool"), n_type("type"),
    n_nargs("nargs"), n_const("const"), n_default("default"), n_action("action"),
    n_store_false("store_false"), n_lower("lower");

// ==== list_to_keyvalue, list_to_keyvalue2 ====================================

const Signature call_params{
    "__call__", {"parser", "namespace", "values", "option_string"}, 3, true};

// Every occurrence of the option starts a new dict: the last one given wins
// whole, with no merge into the default or an earlier occurrence.
Ref store_pairs(PyObject* self, PyObject* args, PyObject* kwargs, const Name& separator,
                const Name& warning) {
    Bound<4> a(call_params, args, kwargs);
    PyObject *namespace_ = a[1], *values = a[2];
    setattr(namespace_, getattr(self, n_dest).get(), dict().get());
    static const Name empty("");
    Ref one = integer(1);
    Ref words = iter(values);
    while (Ref word = next(words.get())) {
        Ref value = call_method(word.get(), n_strip);
        if (truthy(check(PyObject_RichCompare(value.get(), empty, Py_EQ)).get())) continue;
        Ref tokens = call_method(value.get(), n_split, separator.get(), one.get());
        if (length(tokens.get()) != 2) {
            log::emit(log::n_warning, log::k_warning, warning, value.get());
            continue;
        }
        Ref key = get_item(tokens.get(), integer(0).get());
        Ref item = get_item(tokens.get(), one.get());
        Ref target = getattr(namespace_, getattr(self, n_dest).get());
        check_int(PyObject_SetItem(target.get(), key.get(), item.get()));
    }
    return none();
}

Ref colon_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const Name separator(":"), warning("parse list_to_keyvalue[%s] failed, skipped");
    return store_pairs(self, args, kwargs, separator, warning);
}

Ref equals_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const Name separator("="), warning("parse list_to_keyvalue2[%s] failed, skipped");
    return store_pairs(self, args, kwargs, separator, warning);
}

#define CU_ACTION_CALL_DOC(sep)                                                            \
    "__call__($self, /, parser, namespace, values, option_string=None)\n--\n\n"          \
    "Stores the words key" sep "value of `values` as a new dict on the namespace; "       \
    "words without \"" sep "\" are logged and skipped."

PyMethodDef colon_methods[] = {
    CU_VARARGS("__call__", colon_call, CU_ACTION_CALL_DOC(":")),
    CU_END,
};
PyMethodDef equals_methods[] = {
    CU_VARARGS("__call__", equals_call, CU_ACTION_CALL_DOC("=")),
    CU_END,
};

Ref make_action(const char* name, PyMethodDef* methods, const char* doc) {
    Ref base = getattr(module::global(n_argparse).get(), n_Action);
    return make_subclass(name, base.get(), methods, doc);
}

Ref make_colon() {
    return make_action("list_to_keyvalue", colon_methods,
                       "An argparse action turning words key:value into a dict.");
}
Ref make_equals() {
    return make_action("list_to_keyvalue2", equals_methods,
                       "An argparse action turning words key=value into a dict.");
}

// ==== str_to_bool ============================================================

Keep g_true_words, g_false_words;

Ref words(std::initializer_list<const char*> texts) {
    Ref out = check(PyTuple_New((Py_ssize_t)texts.size()));
    Py_ssize_t i = 0;
    for (const char* t : texts) PyTuple_SetItem(out.get(), i++, str(t).release());
    return out;
}

const Signature str_to_bool_params{"str_to_bool", {"v"}, 1};

Ref str_to_bool(PyObject*, PyObject* args, PyObject* kwargs) {
    Bound<1> a(str_to_bool_params, args, kwargs);
    PyObject* v = a[0];
    if (isinstance(v, (PyObject*)&PyBool_Type) || isinstance(v, (PyObject*)&PyLong_Type))
        return boolean(truthy(v));
    if (!g_true_words) {
        g_true_words.set(words({"yes", "true", "t", "y", "1", "on", "enable"}));
        g_false_words.set(words({"no", "false", "f", "n", "0", "off", "disable"}));
    }
    if (check_int(PySequence_Contains(g_true_words, call_method(v, n_lower).get())))
        return boolean(true);
    if (check_int(PySequence_Contains(g_false_words, call_method(v, n_lower).get())))
        return boolean(false);
    Ref error = getattr(module::global(n_argparse).get(), n_ArgumentTypeError);
    static const Name message("Boolean value expected.");
    raise(error.get(), call(error.get(), message.get()).get());
}

// ==== parser_add_bool ========================================================

const Signature add_bool_params{"parser_add_bool", {"given_parser", "key", "default"}, 2};

Ref parser_add_bool(PyObject*, PyObject* args, PyObject* kwargs) {
    Bound<3> a(add_bool_params, args, kwargs);
    PyObject *parser = a[0], *key = a[1];
    static const Name positive("--%s"), dash("--no-%s"), underscore("--no_%s"), optional("?");

    Ref option = check(PyUnicode_Format(positive, key));
    call_method_kw(parser, n_add_argument, {option.get()},
                   {{n_type, module::global(n_str_to_bool).get()}, {n_nargs, optional},
                    {n_const, Py_True}, {n_default, a.get(2, Py_False)}});

    Ref no_dash = check(PyUnicode_Format(dash, key));
    Ref no_underscore = check(PyUnicode_Format(underscore, key));
    call_method_kw(parser, n_add_argument, {no_dash.get(), no_underscore.get()},
                   {{n_dest, key}, {n_action, n_store_false}});
    return none();
}

PyMethodDef defs[] = {
    CU_VARARGS_SIG("str_to_bool", str_to_bool, "(v)",
                   "True or False for a bool, an int or a yes/no word (any case); "
                   "argparse.ArgumentTypeError for any other word."),
    CU_VARARGS_SIG("parser_add_bool", parser_add_bool, "(given_parser, key, default=False)",
                   "Adds --key [yes/no word] and its negations --no-key and --no_key."),
    CU_END,
};

}  // namespace

CU_DEFINITION("list_to_keyvalue", make_colon);
CU_DEFINITION("list_to_keyvalue2", make_equals);
CU_FUNCTIONS(defs);

}  // namespace cu::config
