// _EnhanceSafeLoader: the safe YAML loader with two extra tags, `!include`
// (the content of another YAML file, relative to the including file) and
// `!alias` (the value at a dotted path from the document's root).  Loading
// is otherwise the library's own safe loading: the class only adds its
// constructor for the two tags, so a document without them costs nothing more.
#include "config.hpp"
#include "../bridge/args.hpp"
#include "../bridge/entry.hpp"

namespace cu::config {

const Name n_yaml("yaml"), n_load("load"), n_Loader("Loader"), n_open("open"),
    n_argparse("argparse"), n_add_argument("add_argument"), n_logger("logger"),
    n__EnhanceSafeLoader("_EnhanceSafeLoader");

Ref load_with_loader(PyObject* file, bool loader_by_keyword) {
    Ref loader = module::global(n__EnhanceSafeLoader);
    Ref load = getattr(module::global(n_yaml).get(), n_load);
    if (!loader_by_keyword) return call(load.get(), file, loader.get());
    return call_kw(load.get(), {file}, {{n_Loader, loader.get()}});
}

namespace {

Keep g_loader;  // the class as defined here, for super()

const Name n_os("os"), n_path("path"), n_split("split"), n_join("join"), n_name("name"),
    n__root("_root"), n___init__("__init__"), n_construct_scalar("construct_scalar"),
    n_construct_object("construct_object"), n_constructed_objects("constructed_objects"),
    n_find_alias("find_alias"), n_nodes("nodes"), n_Node("Node"), n_ScalarNode("ScalarNode"),
    n_SequenceNode("SequenceNode"), n_MappingNode("MappingNode"), n_tag("tag"), n_value("value"),
    n_items("items"), n_keys("keys"), n_SEP_DOT("SEP_DOT"), n_int("int"), n_exception("exception"),
    n_add_constructor("add_constructor"), n_include_udf("include_udf"), n_alias_udf("alias_udf");

Ref node_class(const Name& name) {
    Ref nodes = getattr(module::global(n_yaml).get(), n_nodes);
    return getattr(nodes.get(), name);
}

// `a == b` as an `if` tests it: the comparison's result, then its truth.
bool same(PyObject* a, PyObject* b) {
    return truthy(check(PyObject_RichCompare(a, b, Py_EQ)).get());
}

// ==== __init__ ===============================================================

const Signature init_params{"__init__", {"stream"}, 1, true};

Ref loader_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    Bound<1> a(init_params, args, kwargs);
    PyObject* stream = a[0];
    Ref path = getattr(module::global(n_os).get(), n_path);
    Ref parts = call_method(path.get(), n_split, getattr(stream, n_name).get());
    setattr(self, n__root, get_item(parts.get(), integer(0).get()).get());
    call_super(g_loader, self, n___init__, stream);
    return none();
}

// ==== !include ===============================================================

const Signature include_params{"include_udf", {"node"}, 1, true};
const Signature alias_params{"alias_udf", {"node"}, 1, true};

Ref include_udf(PyObject* self, PyObject* args, PyObject* kwargs) {
    Bound<1> a(include_params, args, kwargs);
    Ref name = call_method(self, n_construct_scalar, a[0]);
    Ref path = getattr(module::global(n_os).get(), n_path);
    Ref filename = call_method(path.get(), n_join, getattr(self, n__root).get(), name.get());
    static const Name read_mode("r");
    Ref file = call(module::global(n_open).get(), filename.get(), read_mode.get());
    return with_file(file.get(), [](PyObject* f) { return load_with_loader(f, false); });
}

// ==== find_alias =============================================================

// The walk recurses through self.find_alias once per path segment.  Calls of
// built-in methods are not depth-checked on every interpreter, and a node
// graph may be cyclic (an anchor used inside itself), so a long path could
// otherwise exhaust the C stack; the interpreter's own limit bounds it.
thread_local int t_depth = 0;

struct DepthGuard {
    DepthGuard() {
        if (t_depth >= Py_GetRecursionLimit())
            raise(PyExc_RecursionError, "maximum recursion depth exceeded while finding an alias");
        ++t_depth;
    }
    ~DepthGuard() { --t_depth; }
};

[[noreturn]] void alias_failed(PyObject* tokens, PyObject* node) {
    static const Name fmt("find alias failed,tokens={} node={}");
    static const Name n_format("format");
    Ref message = call_method(fmt.get(), n_format, tokens, node);
    raise(PyExc_ValueError, message.get());
}

Ref rest_of(PyObject* tokens) { return check(PySequence_GetSlice(tokens, 1, PY_SSIZE_T_MAX)); }

// node[int(tokens[0])] walked on with the rest; a ValueError or IndexError
// from here or deeper is reported as this list level's failure.
Ref find_in_list(PyObject* self, PyObject* items, PyObject* tokens, PyObject* node) {
    try {
        Ref first = get_item(tokens, integer(0).get());
        Ref idx = call(module::global(n_int).get(), first.get());
        Ref item = get_item(items, idx.get());
        return call_method(self, n_find_alias, item.get(), rest_of(tokens).get());
    } catch (Error& err) {
        if (!err.matches(PyExc_ValueError) && !err.matches(PyExc_IndexError)) throw;
        Handling handling(err);
        alias_failed(tokens, node);
    }
}

// The walk on from the value under the key tokens[0] of a mapping node (its
// key nodes constructed) or of a dict; null when no key matches.
Ref find_in_mapping(PyObject* self, PyObject* node, PyObject* tokens, bool is_node) {
    Ref first = get_item(tokens, integer(0).get());
    Ref pairs = iter(is_node ? getattr(node, n_value).get() : call_method(node, n_items).get());
    while (Ref pair = next(pairs.get())) {
        Ref key = get_item(pair.get(), integer(0).get());
        if (is_node) key = call_method(self, n_construct_scalar, key.get());
        if (same(key.get(), first.get())) {
            Ref value = get_item(pair.get(), integer(1).get());
            return call_method(self, n_find_alias, value.get(), rest_of(tokens).get());
        }
    }
    return Ref();
}

const Signature find_params{"find_alias", {"node", "tokens"}, 2, true};

Ref find_alias(PyObject* self, PyObject* args, PyObject* kwargs) {
    Bound<2> a(find_params, args, kwargs);
    PyObject *node = a[0], *tokens = a[1];
    DepthGuard guard;

    if (length(tokens) == 0) return Ref::borrow(node);

    if (isinstance(node, node_class(n_ScalarNode).get()) &&
        same(getattr(node, n_tag).get(), str("!include").get())) {
        Ref built = getattr(self, n_constructed_objects);
        Ref pairs = iter(call_method(built.get(), n_items).get());
        while (Ref pair = next(pairs.get())) {
            Ref node_file = get_item(pair.get(), integer(0).get());
            if (same(node_file.get(), node)) {
                Ref value = get_item(pair.get(), integer(1).get());
                return call_method(self, n_find_alias, value.get(), tokens);
            }
        }
    } else if (isinstance(node, node_class(n_SequenceNode).get())) {
        return find_in_list(self, getattr(node, n_value).get(), tokens, node);
    } else if (isinstance(node, (PyObject*)&PyList_Type) ||
               isinstance(node, (PyObject*)&PyTuple_Type)) {
        return find_in_list(self, node, tokens, node);
    } else if (isinstance(node, node_class(n_MappingNode).get())) {
        if (Ref found = find_in_mapping(self, node, tokens, true)) return found;
    } else if (isinstance(node, (PyObject*)&PyDict_Type)) {
        if (Ref found = find_in_mapping(self, node, tokens, false)) return found;
    }
    alias_failed(tokens, node);
}

// ==== !alias =================================================================

Ref alias_udf(PyObject* self, PyObject* args, PyObject* kwargs) {
    Bound<1> a(alias_params, args, kwargs);
    Ref text = call_method(self, n_construct_scalar, a[0]);
    static const Name n_split_name("split");
    Ref tokens = call_method(text.get(), n_split_name, module::global(n_SEP_DOT).get());
    // The document's root node is registered before anything inside it is built.
    Ref built = getattr(self, n_constructed_objects);
    Ref keys = iter(call_method(built.get(), n_keys).get());
    Ref root = next(keys.get());
    if (!root) raise(PyExc_StopIteration, Py_None);
    try {
        Ref value = call_method(self, n_find_alias, root.get(), tokens.get());
        if (isinstance(value.get(), node_class(n_Node).get()))
            value = call_method(self, n_construct_object, value.get());
        return value;
    } catch (Error& err) {
        if (!err.matches(PyExc_ValueError)) throw;
        // A path that leads nowhere is a configuration mistake: it is logged
        // with its traceback and ends the load, rather than leaving a gap.
        Handling handling(err);
        static const Name fmt("find alias failed, alias=%s, error=%s");
        Ref message = str_of(err.value());
        Ref logger = module::global(n_logger);
        call_method(logger.get(), n_exception, fmt.get(), tokens.get(), message.get());
        throw;
    }
}

PyMethodDef methods[] = {
    CU_VARARGS_SIG("__init__", loader_init, "($self, /, stream)",
                   "A loader for the named file `stream`; includes are taken relative to it."),
    CU_VARARGS_SIG("include_udf", include_udf, "($self, /, node)",
                   "The content of the YAML file the node names, loaded with this loader."),
    CU_VARARGS_SIG("find_alias", find_alias, "($self, /, node, tokens)",
                   "The node or value at the end of the path `tokens`, starting at `node`."),
    CU_VARARGS_SIG("alias_udf", alias_udf, "($self, /, node)",
                   "The value at the node's dotted path from the document's root."),
    CU_END,
};

Ref make_loader() {
    Ref safe_loader = getattr(module::global(n_yaml).get(), "SafeLoader");
    Ref cls = make_subclass("_EnhanceSafeLoader", safe_loader.get(), methods,
                            "The safe YAML loader with the tags !include and !alias.", &g_loader);
    // add_constructor copies the inherited table first: the tags stay ours.
    static const Name include_tag("!include"), alias_tag("!alias");
    call_method(cls.get(), n_add_constructor, include_tag.get(),
                getattr(cls.get(), n_include_udf).get());
    call_method(cls.get(), n_add_constructor, alias_tag.get(),
                getattr(cls.get(), n_alias_udf).get());
    return cls;
}

}  // namespace

CU_DEFINITION("_EnhanceSafeLoader", make_loader);

}  // namespace cu::config
