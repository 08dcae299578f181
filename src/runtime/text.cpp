// Exception and text utilities: get_except_info, print_to_string,
// MLStripper, strip_tags.
#include "../bridge/args.hpp"
#include "../bridge/call_site.hpp"
#include "../bridge/entry.hpp"
#include "../bridge/module.hpp"

namespace cu::runtime {

namespace {

const Name n_sys("sys"), n_exc_info("exc_info"), n_traceback("traceback"),
    n_format_exc("format_exc"), n_split("split"), n_strip("strip"), n_newline("\n"),
    n_io("io"), n_StringIO("StringIO"), n_print("print"), n_file("file"),
    n_getvalue("getvalue"), n_close("close"), n_reset("reset"), n_strict("strict"),
    n_convert_charrefs("convert_charrefs"), n_text("text"), n_write("write"),
    n_feed("feed"), n_get_data("get_data"), n_MLStripper("MLStripper"),
    n_HTMLParser("HTMLParser"), n___init__("__init__"), n_rawdata("rawdata"), n_lt("<");

Keep g_ml_stripper;  // the class as defined, for super() in __init__

// ==== get_except_info ========================================================

Ref get_except_info(PyObject*) {
    Ref info = call_method(module::global(n_sys).get(), n_exc_info);
    Ref message = str_of(get_item(info.get(), integer(1).get()).get());

    Ref text = call_method(module::global(n_traceback).get(), n_format_exc);
    Ref pieces = call_method(text.get(), n_split, n_newline.get());
    // Outside exception handling the text is one line ("NoneType: None"), so
    // the look-up below raises the IndexError a list index would.
    Ref location = get_item(pieces.get(), integer(-4).get());
    Ref source = get_item(pieces.get(), integer(-3).get());
    static const Name joint("\n ");
    Ref where = check(PyNumber_Add(call_method(location.get(), n_strip).get(), joint.get()));
    where = check(PyNumber_Add(where.get(), call_method(source.get(), n_strip).get()));
    return tuple(message.get(), where.get());
}

// ==== print_to_string ========================================================

Ref print_to_string(PyObject*, PyObject* args, PyObject* kwargs) {
    Ref output = call(getattr(module::global(n_io).get(), n_StringIO).get());
    Ref print = module::global(n_print);
    // print(*args, file=output, **kwargs): a second `file` is the call site's
    // own "multiple values" error.
    Ref kw = keywords({{n_file, output.get()}});
    if (kwargs) star_kwargs(kw.get(), kwargs, Callee{print.get()});
    call_args(print.get(), args, kw.get());
    Ref contents = call_method(output.get(), n_getvalue);
    call_method(output.get(), n_close);
    return contents;
}

// ==== MLStripper =============================================================

const Params init_params{"__init__", nullptr, 0, 0, true};

Ref stripper_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    bind(init_params, args, kwargs, nullptr);
    call_super(g_ml_stripper, self, n___init__);
    call_method(self, n_reset);
    setattr(self, n_strict, Py_False);
    setattr(self, n_convert_charrefs, Py_True);
    setattr(self, n_text, call(module::global(n_StringIO).get()).get());
    return none();
}

const Signature handle_data_params{"handle_data", {"d"}, 1, true};

Ref stripper_handle_data(PyObject* self, PyObject* args, PyObject* kwargs) {
    Bound<1> a(handle_data_params, args, kwargs);
    call_method(getattr(self, n_text).get(), n_write, a[0]);
    return none();
}

Ref stripper_get_data(PyObject* self) {
    return call_method(getattr(self, n_text).get(), n_getvalue);
}

PyMethodDef stripper_methods[] = {
    CU_VARARGS_SIG("__init__", stripper_init, "($self, /)", ""),
    CU_VARARGS_SIG("handle_data", stripper_handle_data, "($self, /, d)",
                   "Collects a run of text."),
    CU_NOARGS_SIG("get_data", stripper_get_data, "($self, /)",
                  "All text collected so far."),
    CU_END,
};

Ref make_ml_stripper() {
    return make_subclass("MLStripper", module::global(n_HTMLParser).get(), stripper_methods,
                         "An HTML parser that keeps the text and drops the markup.",
                         &g_ml_stripper);
}

// ==== strip_tags =============================================================

const Signature strip_tags_params{"strip_tags", {"html"}, 1};

Ref strip_tags(PyObject*, PyObject* args, PyObject* kwargs) {
    Bound<1> a(strip_tags_params, args, kwargs);
    PyObject* html = a[0];
    Ref stripper = call(module::global(n_MLStripper).get());
    call_method(stripper.get(), n_feed, html);
    // The parser holds back a final text run that has an '&' near its end
    // (it may be the start of a reference), so "Q&A" would come out empty.
    // Closing the parser delivers that run, references converted; a held
    // unfinished tag is left alone, as markup.
    Ref rest = getattr(stripper.get(), n_rawdata);
    if (is_exact_str(rest.get()) && PyUnicode_GetLength(rest.get()) > 0 &&
        check_int(PySequence_Contains(rest.get(), n_lt)) == 0)
        call_method(stripper.get(), n_close);
    return call_method(stripper.get(), n_get_data);
}

PyMethodDef defs[] = {
    CU_NOARGS_SIG("get_except_info", get_except_info, "()",
                  "The message of the exception being handled and the location and source "
                  "line of its innermost frame."),
    CU_VARARGS_SIG("print_to_string", print_to_string, "(*args, **kwargs)",
                   "What print(*args, **kwargs) would write, as a string."),
    CU_VARARGS_SIG("strip_tags", strip_tags, "(html)",
                   "The text of html with the markup removed and character references "
                   "converted."),
    CU_END,
};

}  // namespace

CU_FUNCTIONS(defs, {{"get_except_info", {{"return", "Tuple[str, str]"}}}});
CU_DEFINITION("MLStripper", make_ml_stripper);

}  // namespace cu::runtime
