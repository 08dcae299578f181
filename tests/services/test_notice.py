"""Webhook notices posted through requests to a real HTTP server on the
loopback interface: body bytes, headers, log lines, timeouts and statuses."""

import json
import logging
import re
import socket
import types

import pytest
import requests


class StrSub(str):
    pass


def text_body(content):
    return json.dumps({"msgtype": "text", "text": {"content": content}},
                      ensure_ascii=False).encode("utf-8")


def markdown_body(content):
    return json.dumps({"msgtype": "markdown", "markdown": {"content": content}},
                      ensure_ascii=False).encode("utf-8")


@pytest.mark.parametrize("name, args, body", [
    ("send_notice", ("héllo ✓ 日本",),
     '{"msgtype": "text", "text": {"content": "héllo ✓ 日本"}}'.encode("utf-8")),
    ("send_notice", ({"z": [1, None], "a": "ü"},), text_body({"z": [1, None], "a": "ü"})),
    ("send_notice_markdown", ("**done** ü",),
     '{"msgtype": "markdown", "markdown": {"content": "**done** ü"}}'.encode("utf-8")),
    ("send_notice_kv", ({"b": 2, "a": 1},), markdown_body("\n>a:  1\n>b:  2\n")),
    ("send_notice_kv", ([("a", 0), ("", 5), ("c", "x")],), markdown_body("\n>c:  x\n")),
    ("send_notice_kv", ((["k", 1.5], ("ü", True)), "top", "end"),
     markdown_body("top\n>k:  1.5\n>ü:  True\nend")),
    ("send_notice_kv", ({}, "top", "end"), markdown_body("top\n>\nend")),
    ("send_notice_kv", ([], "top", "end"), markdown_body("top\n>\nend")),
    ("send_notice_kv", ("raw | <text>", "B", "E"), markdown_body("B\n>raw | <text>\nE")),
])
def test_posted_body_and_headers(cu, webhook, name, args, body):
    data, *rest = args
    assert getattr(cu, name)(data, webhook.url, *rest) is None
    [(path, headers, received)] = webhook.received
    assert received == body
    assert path == "/hook?key=k1"
    assert headers["Content-Length"] == str(len(body))
    assert "Content-Type" not in headers


def test_log_lines(cu, webhook, log_records):
    cu.send_notice("ü", webhook.url)
    cu.send_notice_kv({"k": "v"}, url=webhook.url, begin_info="B")
    text = '{"msgtype": "text", "text": {"content": "ü"}}'
    markdown = '{"msgtype": "markdown", "markdown": {"content": "B\\n>k:  v\\n"}}'
    assert [(r.levelno, r.msg, r.args) for r in log_records] == [
        (logging.DEBUG, "send data: %s", (text,)),
        (logging.DEBUG, "content data: \n%s", ("B\n>k:  v\n",)),
        (logging.DEBUG, "send data: %s", (markdown,)),
    ]


@pytest.mark.parametrize("name, data", [
    ("send_notice", "x"), ("send_notice_markdown", "x"), ("send_notice_kv", {"k": "v"}),
])
def test_unanswered_post_times_out(cu, silent_endpoint, name, data):
    with pytest.raises(requests.exceptions.Timeout):
        getattr(cu, name)(data, silent_endpoint, timeout=0.3)


@pytest.mark.parametrize("status, warned", [(200, False), (204, False), (404, True),
                                            (500, True)])
def test_bad_status_is_logged_not_raised(cu, webhook, log_records, status, warned):
    webhook.status = status
    assert cu.send_notice_kv({"k": "v"}, webhook.url) is None
    warnings = [(r.msg, r.args) for r in log_records if r.levelno == logging.WARNING]
    assert warnings == ([("send notice failed, status=%s url=%s", (status, webhook.url))]
                        if warned else [])


def test_connection_error_propagates(cu):
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        port = sock.getsockname()[1]
    with pytest.raises(requests.exceptions.ConnectionError):
        cu.send_notice("x", "http://127.0.0.1:{}/".format(port), timeout=2)


@pytest.mark.parametrize("call, error, message", [
    (lambda cu, url: cu.send_notice_markdown(StrSub("x"), url), TypeError,
     re.escape("send_notice_markdown() argument 'content' must be str, not StrSub")),
    (lambda cu, url: cu.send_notice_markdown(None, url), TypeError,
     re.escape("send_notice_markdown() argument 'content' must be str, not NoneType")),
    (lambda cu, url: cu.send_notice(object(), url), TypeError, "not JSON serializable"),
    (lambda cu, url: cu.send_notice("\ud800", url), UnicodeEncodeError, "surrogates"),
    (lambda cu, url: cu.send_notice_kv([("a", 1, 2)], url), ValueError,
     r"too many values to unpack \(expected 2\)"),
    (lambda cu, url: cu.send_notice_kv([("a",)], url), ValueError,
     r"not enough values to unpack \(expected 2, got 1\)"),
    (lambda cu, url: cu.send_notice_kv([()], url), ValueError,
     r"not enough values to unpack \(expected 2, got 0\)"),
    (lambda cu, url: cu.send_notice_kv([5], url), TypeError,
     "cannot unpack non-iterable int object"),
    (lambda cu, url: cu.send_notice_kv({1: "a", "b": 2}, url), TypeError, "not supported"),
])
def test_errors_before_posting(cu, webhook, call, error, message):
    with pytest.raises(error, match=message):
        call(cu, webhook.url)
    assert webhook.received == []


def test_module_names_looked_up_per_call(cu, monkeypatch):
    posts, notices = [], []

    def post(*args, **kwargs):
        posts.append((args, kwargs))
        return types.SimpleNamespace(status_code=object())  # no int status: not judged

    monkeypatch.setattr(cu, "requests", types.SimpleNamespace(post=post))
    monkeypatch.setattr(cu, "json", types.SimpleNamespace(dumps=lambda body, **kw: "J"))
    cu.send_notice("x", "u")
    cu.send_notice_markdown("x", "u", 2.5)
    assert posts == [(("u",), {"data": b"J", "timeout": 10}),
                     (("u",), {"data": b"J", "timeout": 2.5})]

    # a replacement with the two-parameter signature gets the timeout only when one is set
    monkeypatch.setattr(cu, "send_notice_markdown",
                        lambda content, url, **kw: notices.append((content, url, kw)) or "r")
    assert cu.send_notice_kv("t", "u") == "r"
    cu.send_notice_kv("t", "u", timeout=1)
    assert notices == [("\n>t\n", "u", {}), ("\n>t\n", "u", {"timeout": 1})]


def test_no_leak(cu, monkeypatch, memory_growth):
    response = types.SimpleNamespace(status_code=200)
    monkeypatch.setattr(cu, "requests", types.SimpleNamespace(post=lambda *a, **k: response))

    def cycle():
        cu.send_notice_kv({"b": 2, "a": 1}, "u", "B", "E")
        cu.send_notice({"k": ["ü"]}, "u", timeout=1)
        try:
            cu.send_notice_kv([(1, 2, 3)], "u")
        except ValueError:
            pass

    traced, _ = memory_growth(cycle, 5000)
    assert traced < 100_000
