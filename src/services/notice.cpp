// Webhook notices: a text or markdown message, or a markdown key-value table,
// posted as one UTF-8 JSON document to the caller's URL.
#include "../bridge/args.hpp"
#include "../bridge/call_site.hpp"
#include "../bridge/entry.hpp"
#include "../logging/log.hpp"

namespace cu::services {

namespace {

const Name n_requests("requests"), n_post("post"), n_json("json"), n_dumps("dumps"),
    n_ensure_ascii("ensure_ascii"), n_encode("encode"), n_data("data"), n_timeout("timeout"),
    n_status_code("status_code"), n_msgtype("msgtype"), n_content("content"),
    n_text("text"), n_markdown("markdown"), n_format("format"), n_items("items"),
    n_sort("sort"), n_key("key"), n_send_notice_markdown("send_notice_markdown");

// A notice that sits unanswered must not hold its job forever.
Ref default_timeout() { return integer(10); }

// ==== posting ================================================================

// Reports an answer outside 2xx without raising: a notice is a side channel,
// and its callers carry on whatever the endpoint says.  Only an int status is
// judged, so a stand-in for `requests` that answers with something else is
// left alone.
void warn_on_status(PyObject* response, PyObject* url) {
    Ref status = getattr_opt(response, n_status_code);
    if (!status || !PyLong_Check(status.get())) return;
    long long code = as_long_long_clamped(status.get());
    if (code >= 200 && code < 300) return;
    CU_LOG(warning, "send notice failed, status=%s url=%s", status.get(), url);
}

// {"msgtype": kind, kind: {"content": content}} as JSON, logged, then posted.
void post_notice(const Name& kind, PyObject* content, PyObject* url, PyObject* timeout) {
    Ref inner = keywords({{n_content, content}});
    Ref body = keywords({{n_msgtype, kind}, {kind, inner.get()}});

    Ref dumps = getattr(module::global(n_json).get(), n_dumps);
    Ref text = call_kw(dumps.get(), {body.get()}, {{n_ensure_ascii, Py_False}});
    CU_LOG(debug, "send data: %s", text.get());

    Ref post = getattr(module::global(n_requests).get(), n_post);
    static const Name utf8("utf-8");
    Ref data = call_method(text.get(), n_encode, utf8.get());
    Ref response = call_kw(post.get(), {url}, {{n_data, data.get()}, {n_timeout, timeout}});
    warn_on_status(response.get(), url);
}

// ==== send_notice, send_notice_markdown ======================================

const Signature notice_params{"send_notice", {"content", "url", "timeout"}, 2};
const Signature markdown_params{"send_notice_markdown", {"content", "url", "timeout"}, 2};

Ref send_notice(PyObject*, PyObject* args, PyObject* kwargs) {
    Bound<3> a(notice_params, args, kwargs);
    post_notice(n_text, a[0], a[1], a.get(2, default_timeout().get()));
    return none();
}

Ref send_notice_markdown(PyObject*, PyObject* args, PyObject* kwargs) {
    Bound<3> a(markdown_params, args, kwargs);
    require_str("send_notice_markdown", "content", a[0]);
    // "{}".format(content) of an exact str is that str.
    post_notice(n_markdown, a[0], a[1], a.get(2, default_timeout().get()));
    return none();
}

// ==== send_notice_kv =========================================================

// The items of a dict sorted by key alone (values are never compared).
Ref sorted_items(PyObject* data) {
    Ref items = PyDict_CheckExact(data) ? check(PyDict_Items(data))
                                        : check(PySequence_List(call_method(data, n_items).get()));
    static Keep first;
    if (!first.get()) {
        Ref op = check(PyImport_ImportModule("operator"));
        first.set(call(getattr(op.get(), "itemgetter").get(), integer(0).get()));
    }
    call_method_kw(items.get(), n_sort, {}, {{n_key, first.get()}});
    return items;
}

// "key:  value" rows of the pairs whose key and value are both true, joined
// so that each row after the first begins a markdown quote line.
Ref table_rows(PyObject* pairs) {
    static const Name row_format("{}:  {}"), separator("\n>");
    Ref rows = list();
    Ref it = iter(pairs);
    while (Ref item = next(it.get())) {
        Ref key, value;
        unpack2(item.get(), key, value);
        if (!truthy(key.get()) || !truthy(value.get())) continue;
        append(rows.get(), call_method(row_format.get(), n_format, key.get(), value.get()).get());
    }
    return check(PyUnicode_Join(separator, rows.get()));
}

const Signature kv_params{
    "send_notice_kv", {"data", "url", "begin_info", "end_info", "timeout"}, 2};

Ref send_notice_kv(PyObject*, PyObject* args, PyObject* kwargs) {
    Bound<5> a(kv_params, args, kwargs);
    static const Name empty("");
    Ref data = Ref::borrow(a[0]);
    if (isinstance(data.get(), (PyObject*)&PyDict_Type)) data = sorted_items(data.get());
    if (isinstance(data.get(), (PyObject*)&PyList_Type) ||
        isinstance(data.get(), (PyObject*)&PyTuple_Type))
        data = table_rows(data.get());

    static const Name text_format("{}\n>{}\n{}");
    Ref text = call_method(text_format.get(), n_format, a.get(2, empty), data.get(),
                           a.get(3, empty));
    CU_LOG(debug, "content data: \n%s", text.get());

    // The timeout goes on only when given, so a replacement bound under the
    // old two-parameter signature keeps working for callers that never set one.
    return call_kw(module::global(n_send_notice_markdown).get(), {text.get(), a[1]},
                   {{n_timeout, a[4]}});
}

PyMethodDef defs[] = {
    CU_VARARGS_SIG("send_notice", send_notice, "(content, url, timeout=10)",
                   "Posts content as a text notice to the webhook at url."),
    CU_VARARGS_SIG("send_notice_markdown", send_notice_markdown, "(content, url, timeout=10)",
                   "Posts content as a markdown notice to the webhook at url."),
    CU_VARARGS_SIG("send_notice_kv", send_notice_kv,
                   "(data, url, begin_info='', end_info='', timeout=10)",
                   "Posts a dict (sorted by key) or a list of pairs as a markdown table, "
                   "between begin_info and end_info."),
    CU_END,
};

}  // namespace

CU_FUNCTIONS(defs, {{"send_notice_markdown", {{"content", "str"}}},
                    {"send_notice_kv", {{"data", "Union[List, Dict]"}}}});

}  // namespace cu::services
