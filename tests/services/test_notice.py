"""Webhook notices posted through requests to a real HTTP server on
127.0.0.1: body bytes, headers, log lines, timeouts and statuses."""
import json
import logging
import types

import pytest


def body(kind, content):
    return json.dumps({"msgtype": kind, kind: {"content": content}}, ensure_ascii=False).encode("utf-8")


@pytest.mark.parametrize("name, args, status, expected", [
    ("send_notice", ({"z": [1, None], "a": "ü"},), 204, body("text", {"z": [1, None], "a": "ü"})),
    ("send_notice_markdown", ("**done** ü",), 404, body("markdown", "**done** ü")),
    ("send_notice_kv", ({"b": 2, "a": 1},), 200, body("markdown", "\n>a:  1\n>b:  2\n")),
    ("send_notice_kv", ([("a", 0), ("", 5), ("c", "x")],), 500, body("markdown", "\n>c:  x\n")),
    ("send_notice_kv", ((["k", 1.5], ("ü", True)), "B", "E"), 200,
     body("markdown", "B\n>k:  1.5\n>ü:  True\nE")),
    ("send_notice_kv", ({}, "B", "E"), 200, body("markdown", "B\n>\nE")),
    ("send_notice_kv", ("raw | <text>", "B", "E"), 200, body("markdown", "B\n>raw | <text>\nE")),
])
def test_posted_body_headers_and_log_lines(cu, webhook, log_records, name, args, status, expected):
    webhook.status = status  # an answer outside 2xx is logged, not raised
    data, *rest = args
    assert getattr(cu, name)(data, webhook.url, *rest) is None
    [(path, headers, received)] = webhook.received
    assert (path, received) == ("/hook?key=k1", expected)
    assert headers["Content-Length"] == str(len(expected)) and "Content-Type" not in headers
    content = json.loads(expected)["markdown"]["content"] if name == "send_notice_kv" else None
    assert [(r.levelno, r.msg, r.args) for r in log_records] == [
        (logging.DEBUG, "content data: \n%s", (content,))] * (content is not None) + [
        (logging.DEBUG, "send data: %s", (expected.decode("utf-8"),))] + [
        (logging.WARNING, "send notice failed, status=%s url=%s", (status, webhook.url))] * (status > 204)


@pytest.mark.parametrize("name, data, error, message", [
    ("send_notice_markdown", type("StrSub", (str,), {})("x"), TypeError,
     r"send_notice_markdown\(\) argument 'content' must be str, not StrSub"),
    ("send_notice_kv", [("a", 1, 2)], ValueError, r"too many values to unpack \(expected 2\)"),
    ("send_notice_kv", [("a",)], ValueError, r"not enough values to unpack \(expected 2, got 1\)"),
    ("send_notice_kv", [5], TypeError, "cannot unpack non-iterable int object"),
])
def test_errors_before_posting(cu, webhook, name, data, error, message):
    with pytest.raises(error, match=message):
        getattr(cu, name)(data, url=webhook.url)
    assert webhook.received == []


def test_module_names_looked_up_per_call(cu, monkeypatch):
    posts, notices = [], []
    answer = types.SimpleNamespace(status_code=None)  # no int status: nothing to judge
    monkeypatch.setattr(cu, "requests", types.SimpleNamespace(
        post=lambda *a, **k: posts.append((a, k)) or answer))
    monkeypatch.setattr(cu, "json", types.SimpleNamespace(dumps=lambda body, **kw: "J"))
    cu.send_notice("x", "u")
    cu.send_notice("x", "u", 0.5)
    cu.send_notice_markdown("x", "u", timeout=2.5)
    assert posts == [(("u",), {"data": b"J", "timeout": t}) for t in (10, 0.5, 2.5)]
    # a two-parameter replacement gets the timeout only when one is set
    monkeypatch.setattr(cu, "send_notice_markdown",
                        lambda content, url, **kw: notices.append((content, kw)) or "r")
    assert cu.send_notice_kv("t", "u") == "r"
    cu.send_notice_kv("t", "u", timeout=1)
    assert notices == [("\n>t\n", {}), ("\n>t\n", {"timeout": 1})]
