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

// ==== init_default_parser ====================================================

// A str option of the standard parser: its flags (unused ones null), its
// default (null: the task name given, as text), its metavar (null: none) and help.
struct StrOption {
    const char* flags[3];
    const char* default_;
    const char* metavar;
    const char* help;
};

// The config file option; a true change_config_name takes the second row's flags.
constexpr const char* config_help = "YAML config file specifying default arguments";
constexpr StrOption config_options[2] = {
    {{"--config-yaml", "--config", "--config_yaml"}, "", "FILE", config_help},
    {{"--my-config-yaml", "--my-config", "--my_config_yaml"}, "", "FILE", config_help},
};
// The options after the has_config_yaml and debug switches, in order.
constexpr StrOption later_options[] = {
    {{"--log-level", "--log_level"}, "INFO", nullptr, "log level"},
    {{"--log-dir", "--log_dir"}, "./", nullptr, "log dir"},
    {{"--task-name", "--task_name"}, nullptr, nullptr, "task name"},
    {{"--biz_date"}, "", nullptr, "biz_date"},
};

void add_str_option(PyObject* parser, const StrOption& option, PyObject* str_type,
                    PyObject* task_name) {
    Ref flags = list();
    for (const char* flag : option.flags)
        if (flag) append(flags.get(), str(flag).get());
    Ref default_ = option.default_ ? str(option.default_)
                                   : check(PyObject_Format(task_name, str("").get()));
    Ref metavar = option.metavar ? str(option.metavar) : Ref();
    Ref pos = check(PyList_AsTuple(flags.get()));
    call_args(getattr(parser, n_add_argument).get(), pos.get(),
              keywords({{n_type, str_type}, {n_default, default_.get()},
                        {n_metavar, metavar.get()}, {n_help, str(option.help).get()}}).get());
}

// The defaults of the parameters that several functions share.
const Name default_description("ARGS"), default_task("default");

const Signature default_parser_params{
    "init_default_parser", {"description", "task_name", "change_config_name"}, 0};

Ref init_default_parser(PyObject*, PyObject* args, PyObject* kwargs) {
    Bound<3> a(default_parser_params, args, kwargs);
    PyObject* task_name = a.get(1, default_task);

    Ref argparse = module::global(n_argparse);
    Ref parser = call_method_kw(
        argparse.get(), n_ArgumentParser, {},
        {{n_description, a.get(0, default_description)},
         {n_formatter_class, getattr(argparse.get(), n_ArgumentDefaultsHelpFormatter).get()}});
    PyObject* p = parser.get();

    static const Name n_debug("debug");
    Ref str_type = module::global(n_str);
    add_str_option(p, config_options[truthy(a.get(2, Py_False))], str_type.get(), task_name);
    call_kw(module::global(n_parser_add_bool).get(), {p, n_has_config_yaml}, {{n_default, Py_True}});
    call_kw(module::global(n_parser_add_bool).get(), {p, n_debug}, {{n_default, Py_False}});
    for (const StrOption& option : later_options)
        add_str_option(p, option, str_type.get(), task_name);
    return parser;
}

// ==== parse_args_and_yaml_argument ===========================================

const Signature argument_params{"parse_args_and_yaml_argument", {"given_parser", "cfg"}, 2};

// The scalar types a YAML value can have, in the order they are tested (a
// bool is also an int).
enum Scalar { kStr, kBool, kInt, kFloat, kScalars };

// Which of `types` (the scalar types as bound now) `v` is an instance of, or -1.
int scalar_kind(PyObject* v, const Ref (&types)[kScalars]) {
    for (int k = 0; k < kScalars; ++k)
        if (isinstance(v, types[k].get())) return k;
    return -1;
}

// The option a YAML value of this type gets; false when it gets none.
bool add_option_for(PyObject* parser, PyObject* key, PyObject* k_str, PyObject* v) {
    const Ref types[kScalars] = {module::global(n_str), module::global(n_bool),
                                 module::global(n_int), module::global(n_float)};
    static const Name empty(""), plus("+");
    int kind = scalar_kind(v, types);
    if (kind == kBool) {
        call_kw(module::global(n_parser_add_bool).get(), {parser, key}, {{n_default, Py_False}});
    } else if (kind >= 0) {
        Ref default_ = kind == kStr   ? Ref::borrow(empty)
                       : kind == kInt ? integer(0)
                                      : floating(0.0);
        call_method_kw(parser, n_add_argument, {k_str},
                       {{n_type, types[kind].get()}, {n_default, default_.get()}});
    } else if (isinstance(v, module::global(n_list).get())) {
        // Only the first element decides the element type; bools are yes/no words.
        int element =
            length(v) == 0 ? kStr : scalar_kind(get_item(v, integer(0).get()).get(), types);
        if (element < 0) return false;
        Ref type = element == kBool ? module::global(n_str_to_bool) : types[element];
        call_method_kw(parser, n_add_argument, {k_str},
                       {{n_nargs, plus}, {n_type, type.get()}, {n_default, list().get()}});
    } else if (isinstance(v, module::global(n_dict).get())) {
        call_method_kw(parser, n_add_argument, {k_str},
                       {{n_nargs, plus},
                        {n_action, module::global(n_list_to_keyvalue).get()},
                        {n_default, dict().get()}});
    } else if (v == Py_None) {
        CU_LOG(debug, "parse arg:%s is none, use str instand of None", key);
        call_method_kw(parser, n_add_argument, {k_str},
                       {{n_type, types[kStr].get()}, {n_default, Py_None}});
    } else {
        CU_LOG(info, "ACTION: cannot automaic detect data type, argument: %s", key);
        return false;
    }
    return true;
}

Ref parse_args_and_yaml_argument(PyObject*, PyObject* args, PyObject* kwargs) {
    Bound<2> a(argument_params, args, kwargs);
    PyObject *parser = a[0], *cfg = a[1];

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
        unpack2(pair.get(), k, v);
        if (check_int(PySequence_Contains(given_args.get(), k.get()))) continue;
        Ref k_str = check(PyUnicode_Format(option_fmt, k.get()));
        add_option_for(parser, k.get(), k_str.get(), v.get());
    }
    return given_args;
}

// ==== parse_args_and_yaml ====================================================

const Signature yaml_params{
    "parse_args_and_yaml", {"given_parser", "parser_args", "task_name", "change_config_name"}, 2};

Ref parse_known(PyObject* parser, PyObject* parser_args) {
    return call_method_kw(parser, n_parse_known_args, {}, {{n_args, parser_args}});
}

Ref parse_args_and_yaml(PyObject*, PyObject* args, PyObject* kwargs) {
    Bound<4> a(yaml_params, args, kwargs);
    PyObject *parser = a[0], *parser_args = a[1];

    // The file and the has_config_yaml switch come from this first pass:
    // options made from YAML keys do not exist yet, so their words are set aside.
    Ref given_configs, unused;
    unpack2(parse_known(parser, parser_args).get(), given_configs, unused);
    Ref config_file = getattr(given_configs.get(),
                              truthy(a.get(3, Py_False)) ? n_my_config_yaml : n_config_yaml);
    if (truthy(getattr(given_configs.get(), n_has_config_yaml).get()) ||
        truthy(config_file.get())) {
        static const Name read_mode("r"), utf8_name("utf-8");
        Ref file = call_kw(module::global(n_open).get(), {config_file.get(), read_mode},
                           {{n_encoding, utf8_name}});
        with_file(file.get(), [parser](PyObject* f) {
            Ref cfg = load_with_loader(f, true);
            call(module::global(n_parse_args_and_yaml_argument).get(), parser, cfg.get());
            // Every YAML key becomes a default.
            call_method_star_kwargs(parser, n_set_defaults, cfg.get());
            return none();
        });
    } else {
        CU_LOG(warning, "cant find yaml config file");
    }
    return parse_known(parser, parser_args);
}

// ==== callback_fn_demo =======================================================

const Signature demo_params{"callback_fn_demo", {"parser"}, 1};

Ref callback_fn_demo(PyObject*, PyObject* args, PyObject* kwargs) {
    Bound<1> a(demo_params, args, kwargs);
    PyObject* parser = a[0];
    static const Name option("--input_hdfs"), empty(""), help("input_hdfs");
    call_method_kw(parser, n_add_argument, {option},
                   {{n_type, module::global(n_str).get()}, {n_default, empty}, {n_help, help}});
    return Ref::borrow(parser);
}

// ==== init_parser ============================================================

const Signature init_params{
    "init_parser",
    {"description", "task_name", "callback_fn", "parser_args", "change_config_name"},
    0};

Ref init_parser(PyObject*, PyObject* args, PyObject* kwargs) {
    Ref extra, kw;
    Bound<5> a(init_params, args, kwargs, &extra, &kw);
    // Surplus positional arguments are refused after the keywords are bound,
    // as the interpreter orders its checks.
    if (PyTuple_Size(extra.get()))
        raisef(PyExc_TypeError,
               "init_parser() takes from 0 to 5 positional arguments but %zd were given",
               PyTuple_Size(args));
    PyObject *callback_fn = a.get(2, Py_None), *change_config_name = a.get(4, Py_False);

    Ref task_name = call_method(kw.get(), n_get, n_default_prefix.get(), a.get(1, default_task));
    Ref parser = call_kw(module::global(n_init_default_parser).get(), {},
                         {{n_description, a.get(0, default_description)},
                          {n_task_name, task_name.get()},
                          {n_change_config_name, change_config_name}});
    if (truthy(callback_fn)) parser = call(callback_fn, parser.get());

    Ref result = call_kw(module::global(n_parse_args_and_yaml).get(),
                         {parser.get(), a.get(3, Py_None)},
                         {{n_task_name, task_name.get()},
                          {n_change_config_name, change_config_name}});
    Ref parsed, unknown;
    unpack2(result.get(), parsed, unknown);
    CU_LOG(warning, "unknown_args=%s", unknown.get());
    return parsed;
}

PyMethodDef defs[] = {
    CU_VARARGS_SIG("init_default_parser", init_default_parser,
                   "(description='ARGS', task_name='default', change_config_name=False)",
                   "The standard job parser: config file, has_config_yaml, debug, log level "
                   "and directory, task name and business date."),
    CU_VARARGS_SIG("parse_args_and_yaml_argument", parse_args_and_yaml_argument,
                   "(given_parser, cfg)",
                   "Adds an option of a fitting type for each key of cfg the parser lacks; "
                   "returns the destinations it had before."),
    CU_VARARGS_SIG("parse_args_and_yaml", parse_args_and_yaml,
                   "(given_parser, parser_args, task_name='default', change_config_name=False)",
                   "Parses with the YAML file named on the command line as defaults; "
                   "returns (namespace, unrecognised arguments)."),
    CU_VARARGS_SIG("callback_fn_demo", callback_fn_demo, "(parser)",
                   "Adds --input_hdfs to the parser and returns it."),
    CU_VARARGS_SIG("init_parser", init_parser,
                   "(description='ARGS', task_name='default', callback_fn=None, "
                   "parser_args=None, change_config_name=False, **kwargs)",
                   "Parses a job's settings: parser defaults, then the YAML file, then the "
                   "command line."),
    CU_END,
};

}  // namespace

CU_FUNCTIONS(defs);

}  // namespace cu::config
