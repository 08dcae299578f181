// The standard job parser and the merging of its defaults, a YAML file and
// the command line, in that order of precedence.
#include "config.hpp"
#include "../bridge/args.hpp"
#include "../bridge/call_site.hpp"
#include "../bridge/entry.hpp"
#include "../logging/log.hpp"

namespace cu::config {

namespace {

const Name n_ArgumentParser("ArgumentParser"), n_ArgumentDefaultsHelpFormatter(
    "ArgumentDefaultsHelpFormatter"), n_description("description"),
    n_formatter_class("formatter_class"), n_type("type"), n_default("default"),
    n_metavar("metavar"), n_help("help"), n_nargs("nargs"), n_action("action"), n_str("str"),
    n_int("int"), n_float("float"), n_bool("bool"), n_list("list"), n_dict("dict"),
    n_parser_add_bool("parser_add_bool"), n_str_to_bool("str_to_bool"),
    n_list_to_keyvalue("list_to_keyvalue"), n__actions("_actions"), n_dest("dest"),
    n_items("items"), n_set_defaults("set_defaults"), n_parse_known_args("parse_known_args"),
    n_args("args"), n_config_yaml("config_yaml"), n_my_config_yaml("my_config_yaml"),
    n_has_config_yaml("has_config_yaml"), n_encoding("encoding"),
    n_init_default_parser("init_default_parser"),
    n_parse_args_and_yaml_argument("parse_args_and_yaml_argument"),
    n_parse_args_and_yaml("parse_args_and_yaml"), n_task_name("task_name"),
    n_change_config_name("change_config_name"), n_get("get"), n_default_prefix("default_prefix");

// `a, b = pair`, with the interpreter's messages for a wrong count.
void unpack2(PyObject* pair, Ref* first, Ref* second) {
    Ref it = iter(pair);
    Ref got[3];
    int n = 0;
    while (n < 3 && (got[n] = next(it.get()))) ++n;
    if (n < 2) raisef(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", n);
    if (n > 2) raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    *first = got[0];
    *second = got[1];
}

// parser.add_argument(*options, **{key: value, ...})
void add_argument(PyObject* parser, std::initializer_list<PyObject*> options,
                  std::initializer_list<std::pair<const Name*, PyObject*>> settings) {
    Ref pos = check(PyTuple_New((Py_ssize_t)options.size()));
    Py_ssize_t i = 0;
    for (PyObject* o : options) PyTuple_SetItem(pos.get(), i++, Ref::borrow(o).release());
    Ref kw = dict();
    for (auto& [key, value] : settings) set_item(kw.get(), *key, value);
    call_args(getattr(parser, n_add_argument).get(), pos.get(), kw.get());
}

// ==== init_default_parser ====================================================

const Name default_parser_names[] = {Name("description"), Name("task_name"),
                                     Name("change_config_name")};
const Params default_parser_params{"init_default_parser", default_parser_names, 3, 0};

Ref init_default_parser(PyObject*, PyObject* args, PyObject* kwargs) {
    PyObject* a[3];
    bind(default_parser_params, args, kwargs, a);
    static const Name default_description("ARGS"), default_task("default");
    Ref description = Ref::borrow(a[0] ? a[0] : default_description.get());
    Ref task_name = Ref::borrow(a[1] ? a[1] : default_task.get());
    Ref change_config_name = Ref::borrow(a[2] ? a[2] : Py_False);

    Ref argparse = module::global(n_argparse);
    Ref kw = dict();
    set_item(kw.get(), n_description, description.get());
    set_item(kw.get(), n_formatter_class,
             getattr(argparse.get(), n_ArgumentDefaultsHelpFormatter).get());
    Ref none_args = tuple();
    Ref parser = call_args(getattr(argparse.get(), n_ArgumentParser).get(), none_args.get(),
                           kw.get());
    PyObject* p = parser.get();

    static const Name empty(""), file_metavar("FILE"),
        config_help("YAML config file specifying default arguments");
    Ref str_type = module::global(n_str);
    if (truthy(change_config_name.get())) {
        static const Name a1("--my-config-yaml"), a2("--my-config"), a3("--my_config_yaml");
        add_argument(p, {a1, a2, a3}, {{&n_type, str_type.get()}, {&n_default, empty},
                                       {&n_metavar, file_metavar}, {&n_help, config_help}});
    } else {
        static const Name a1("--config-yaml"), a2("--config"), a3("--config_yaml");
        add_argument(p, {a1, a2, a3}, {{&n_type, str_type.get()}, {&n_default, empty},
                                       {&n_metavar, file_metavar}, {&n_help, config_help}});
    }
    {
        Ref add_bool = module::global(n_parser_add_bool);
        Ref kw_true = dict();
        set_item(kw_true.get(), n_default, Py_True);
        Ref pos = tuple(p, n_has_config_yaml.get());
        call_args(add_bool.get(), pos.get(), kw_true.get());
    }
    {
        static const Name n_debug("debug");
        Ref add_bool = module::global(n_parser_add_bool);
        Ref kw_false = dict();
        set_item(kw_false.get(), n_default, Py_False);
        Ref pos = tuple(p, n_debug.get());
        call_args(add_bool.get(), pos.get(), kw_false.get());
    }
    static const Name level1("--log-level"), level2("--log_level"), info("INFO"),
        level_help("log level"), dir1("--log-dir"), dir2("--log_dir"), here("./"),
        dir_help("log dir"), task1("--task-name"), task2("--task_name"), task_help("task name"),
        biz("--biz_date"), biz_help("biz_date");
    add_argument(p, {level1, level2},
                 {{&n_type, str_type.get()}, {&n_default, info}, {&n_help, level_help}});
    add_argument(p, {dir1, dir2},
                 {{&n_type, str_type.get()}, {&n_default, here}, {&n_help, dir_help}});
    Ref task_text = check(PyObject_Format(task_name.get(), empty));
    add_argument(p, {task1, task2},
                 {{&n_type, str_type.get()}, {&n_default, task_text.get()}, {&n_help, task_help}});
    add_argument(p, {biz}, {{&n_type, str_type.get()}, {&n_default, empty}, {&n_help, biz_help}});
    return parser;
}

// ==== parse_args_and_yaml_argument ===========================================

const Name argument_names[] = {Name("given_parser"), Name("cfg")};
const Params argument_params{"parse_args_and_yaml_argument", argument_names, 2, 2};

// The option a YAML value of this type gets; false when it gets none.
bool add_option_for(PyObject* parser, PyObject* key, PyObject* k_str, PyObject* v) {
    Ref str_type = module::global(n_str), bool_type = module::global(n_bool),
        int_type = module::global(n_int), float_type = module::global(n_float);
    static const Name empty(""), plus("+");
    if (isinstance(v, str_type.get())) {
        add_argument(parser, {k_str}, {{&n_type, str_type.get()}, {&n_default, empty}});
    } else if (isinstance(v, bool_type.get())) {
        Ref kw = dict();
        set_item(kw.get(), n_default, Py_False);
        Ref pos = tuple(parser, key);
        call_args(module::global(n_parser_add_bool).get(), pos.get(), kw.get());
    } else if (isinstance(v, int_type.get())) {
        add_argument(parser, {k_str}, {{&n_type, int_type.get()}, {&n_default, integer(0).get()}});
    } else if (isinstance(v, float_type.get())) {
        add_argument(parser, {k_str},
                     {{&n_type, float_type.get()}, {&n_default, floating(0.0).get()}});
    } else if (isinstance(v, module::global(n_list).get())) {
        // Only the first element decides the element type.
        PyObject* element_type = nullptr;
        Ref first;
        if (length(v) == 0 ||
            isinstance((first = get_item(v, integer(0).get())).get(), str_type.get()))
            element_type = str_type.get();
        else if (isinstance(first.get(), bool_type.get()))
            element_type = nullptr;
        else if (isinstance(first.get(), int_type.get()))
            element_type = int_type.get();
        else if (isinstance(first.get(), float_type.get()))
            element_type = float_type.get();
        else
            return false;
        Ref type = element_type ? Ref::borrow(element_type) : module::global(n_str_to_bool);
        add_argument(parser, {k_str},
                     {{&n_nargs, plus}, {&n_type, type.get()}, {&n_default, list().get()}});
    } else if (isinstance(v, module::global(n_dict).get())) {
        add_argument(parser, {k_str},
                     {{&n_nargs, plus},
                      {&n_action, module::global(n_list_to_keyvalue).get()},
                      {&n_default, dict().get()}});
    } else if (v == Py_None) {
        CU_LOG(debug, "parse arg:%s is none, use str instand of None", key);
        add_argument(parser, {k_str}, {{&n_type, str_type.get()}, {&n_default, Py_None}});
    } else {
        CU_LOG(info, "ACTION: cannot automaic detect data type, argument: %s", key);
        return false;
    }
    return true;
}

Ref parse_args_and_yaml_argument(PyObject*, PyObject* args, PyObject* kwargs) {
    PyObject* a[2];
    bind(argument_params, args, kwargs, a);
    PyObject *parser = a[0], *cfg = a[1];
    Ref keep_parser = Ref::borrow(parser), keep_cfg = Ref::borrow(cfg);

    Ref given_args = check(PySet_New(nullptr));
    {
        Ref actions = iter(getattr(parser, n__actions).get());
        while (Ref action = next(actions.get()))
            check_int(PySet_Add(given_args.get(), getattr(action.get(), n_dest).get()));
    }
    static const Name option_fmt("--%s");
    Ref pairs = iter(call_method(cfg, n_items).get());
    while (Ref pair = next(pairs.get())) {
        Ref k, v;
        unpack2(pair.get(), &k, &v);
        if (check_int(PySequence_Contains(given_args.get(), k.get()))) continue;
        Ref k_str = check(PyUnicode_Format(option_fmt, k.get()));
        add_option_for(parser, k.get(), k_str.get(), v.get());
    }
    return given_args;
}

// ==== parse_args_and_yaml ====================================================

const Name yaml_names[] = {Name("given_parser"), Name("parser_args"), Name("task_name"),
                           Name("change_config_name")};
const Params yaml_params{"parse_args_and_yaml", yaml_names, 4, 2};

Ref parse_known(PyObject* parser, PyObject* parser_args) {
    Ref kw = dict();
    set_item(kw.get(), n_args, parser_args);
    Ref none_args = tuple();
    return call_args(getattr(parser, n_parse_known_args).get(), none_args.get(), kw.get());
}

Ref parse_args_and_yaml(PyObject*, PyObject* args, PyObject* kwargs) {
    PyObject* a[4];
    bind(yaml_params, args, kwargs, a);
    PyObject *parser = a[0], *parser_args = a[1];
    Ref keep_parser = Ref::borrow(parser), keep_args = Ref::borrow(parser_args);
    Ref change_config_name = Ref::borrow(a[3] ? a[3] : Py_False);

    // The file and the has_config_yaml switch come from this first pass:
    // options made from YAML keys do not exist yet, so their words are set aside.
    Ref given_configs, unused;
    unpack2(parse_known(parser, parser_args).get(), &given_configs, &unused);
    Ref config_file = getattr(given_configs.get(), truthy(change_config_name.get())
                                                       ? n_my_config_yaml
                                                       : n_config_yaml);
    if (truthy(getattr(given_configs.get(), n_has_config_yaml).get()) ||
        truthy(config_file.get())) {
        static const Name read_mode("r"), utf8_name("utf-8");
        Ref kw = dict();
        set_item(kw.get(), n_encoding, utf8_name);
        Ref pos = tuple(config_file.get(), read_mode.get());
        Ref file = call_args(module::global(n_open).get(), pos.get(), kw.get());
        with_file(file.get(), [parser](PyObject* f) {
            Ref cfg = load_with_loader(f, true);
            call(module::global(n_parse_args_and_yaml_argument).get(), parser, cfg.get());
            // set_defaults(**cfg): every YAML key becomes a default.
            Ref defaults = dict();
            star_kwargs(defaults.get(), cfg.get(), Callee{nullptr, parser, &n_set_defaults});
            Ref none_args = tuple();
            call_args(getattr(parser, n_set_defaults).get(), none_args.get(), defaults.get());
            return none();
        });
    } else {
        CU_LOG(warning, "cant find yaml config file");
    }
    return parse_known(parser, parser_args);
}

// ==== callback_fn_demo =======================================================

const Name demo_names[] = {Name("parser")};
const Params demo_params{"callback_fn_demo", demo_names, 1, 1};

Ref callback_fn_demo(PyObject*, PyObject* args, PyObject* kwargs) {
    PyObject* parser;
    bind(demo_params, args, kwargs, &parser);
    static const Name option("--input_hdfs"), empty(""), help("input_hdfs");
    add_argument(parser, {option},
                 {{&n_type, module::global(n_str).get()}, {&n_default, empty}, {&n_help, help}});
    return Ref::borrow(parser);
}

// ==== init_parser ============================================================

const Name init_names[] = {Name("description"), Name("task_name"), Name("callback_fn"),
                           Name("parser_args"), Name("change_config_name")};
const Params init_params{"init_parser", init_names, 5, 0};

Ref init_parser(PyObject*, PyObject* args, PyObject* kwargs) {
    PyObject* a[5];
    Ref extra, kw;
    bind_var(init_params, args, kwargs, a, &extra, &kw);
    if (PyTuple_Size(extra.get()))
        raisef(PyExc_TypeError, "init_parser() takes from 0 to 5 positional arguments but %zd were given",
               PyTuple_Size(args));
    static const Name default_description("ARGS"), default_task("default");
    Ref description = Ref::borrow(a[0] ? a[0] : default_description.get());
    Ref task_name = Ref::borrow(a[1] ? a[1] : default_task.get());
    Ref callback_fn = Ref::borrow(a[2] ? a[2] : Py_None);
    Ref parser_args = Ref::borrow(a[3] ? a[3] : Py_None);
    Ref change_config_name = Ref::borrow(a[4] ? a[4] : Py_False);

    task_name = call_method(kw.get(), n_get, n_default_prefix.get(), task_name.get());
    Ref parser;
    {
        Ref pkw = dict();
        set_item(pkw.get(), n_description, description.get());
        set_item(pkw.get(), n_task_name, task_name.get());
        set_item(pkw.get(), n_change_config_name, change_config_name.get());
        Ref none_args = tuple();
        parser = call_args(module::global(n_init_default_parser).get(), none_args.get(),
                           pkw.get());
    }
    if (truthy(callback_fn.get())) parser = call(callback_fn.get(), parser.get());

    Ref result;
    {
        Ref pkw = dict();
        set_item(pkw.get(), n_task_name, task_name.get());
        set_item(pkw.get(), n_change_config_name, change_config_name.get());
        Ref pos = tuple(parser.get(), parser_args.get());
        result = call_args(module::global(n_parse_args_and_yaml).get(), pos.get(), pkw.get());
    }
    Ref parsed, unknown;
    unpack2(result.get(), &parsed, &unknown);
    CU_LOG(warning, "unknown_args=%s", unknown.get());
    return parsed;
}

PyMethodDef defs[] = {
    CU_VARARGS("init_default_parser", init_default_parser,
               "init_default_parser(description='ARGS', task_name='default', "
               "change_config_name=False)\n--\n\n"
               "The standard job parser: config file, has_config_yaml, debug, log level and "
               "directory, task name and business date."),
    CU_VARARGS("parse_args_and_yaml_argument", parse_args_and_yaml_argument,
               "parse_args_and_yaml_argument(given_parser, cfg)\n--\n\n"
               "Adds an option of a fitting type for each key of cfg the parser lacks; "
               "returns the destinations it had before."),
    CU_VARARGS("parse_args_and_yaml", parse_args_and_yaml,
               "parse_args_and_yaml(given_parser, parser_args, task_name='default', "
               "change_config_name=False)\n--\n\n"
               "Parses with the YAML file named on the command line as defaults; "
               "returns (namespace, unrecognised arguments)."),
    CU_VARARGS("callback_fn_demo", callback_fn_demo,
               "callback_fn_demo(parser)\n--\n\n"
               "Adds --input_hdfs to the parser and returns it."),
    CU_VARARGS("init_parser", init_parser,
               "init_parser(description='ARGS', task_name='default', callback_fn=None, "
               "parser_args=None, change_config_name=False, **kwargs)\n--\n\n"
               "Parses a job's settings: parser defaults, then the YAML file, then the "
               "command line."),
    CU_END,
};

Ref make_init_default_parser() { return make_function(&defs[0]); }
Ref make_parse_args_and_yaml_argument() { return make_function(&defs[1]); }
Ref make_parse_args_and_yaml() { return make_function(&defs[2]); }
Ref make_callback_fn_demo() { return make_function(&defs[3]); }
Ref make_init_parser() { return make_function(&defs[4]); }

}  // namespace

CU_DEFINITION("init_default_parser", make_init_default_parser);
CU_DEFINITION("parse_args_and_yaml_argument", make_parse_args_and_yaml_argument);
CU_DEFINITION("parse_args_and_yaml", make_parse_args_and_yaml);
CU_DEFINITION("callback_fn_demo", make_callback_fn_demo);
CU_DEFINITION("init_parser", make_init_parser);

}  // namespace cu::config
