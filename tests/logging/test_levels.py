"""Level changes and extra log files across the "QRX_" logger family."""

import io
import logging
import os
import sys
import uuid
from unittest import mock

import pytest

StrSub = type("StrSub", (str,), {})


def family():
    return [logging.getLogger(n) for n in list(logging.root.manager.loggerDict)
            if n.startswith("QRX_")]


@pytest.fixture
def isolated(cu, tmp_path, monkeypatch):
    """Works in tmp_path and makes fresh family members (writing to a private stdout);
    afterwards restores levels, closes their handlers and the files under tmp_path."""
    monkeypatch.chdir(tmp_path)
    monkeypatch.delenv("TAVOLA_PLATFORM", raising=False)
    levels = {m.name: m.level for m in family()}
    console = io.StringIO()

    def new_logger():  # capture sets its own stdout between setup and call
        monkeypatch.setattr(sys, "stdout", console)
        return cu.get_logger("t" + uuid.uuid4().hex[:12])

    yield new_logger
    roots = (str(tmp_path), os.path.realpath(str(tmp_path)))
    for logger in family():
        logger.setLevel(levels.get(logger.name, logging.NOTSET))
        for h in [h for h in logger.handlers if getattr(h, "stream", None) is console
                  or getattr(h, "baseFilename", "").startswith(roots)]:
            logger.removeHandler(h)
            h.close()


# ==== set_logger_level ==========================================================

def test_level_reaches_every_member_and_placeholder_and_nothing_else(cu, isolated):
    a, _ = isolated(), isolated()
    outsider = logging.getLogger("outside-" + a.name)
    outsider.setLevel(logging.WARNING)
    logging.getLogger(a.name + "p.child")  # leaves a placeholder in the family
    assert isinstance(logging.root.manager.loggerDict[a.name + "p"], logging.PlaceHolder)
    root_level = logging.root.level
    assert cu.set_logger_level("DEBUG") is None
    # a placeholder left out would come back from family() as a new logger at NOTSET
    assert {m.level for m in family()} == {logging.DEBUG} and a in family()
    assert outsider.level == logging.WARNING and logging.root.level == root_level


def test_level_values(cu, isolated, monkeypatch):
    logger = isolated()
    monkeypatch.setattr(logging, "INFO", 25)  # the default was taken at definition
    for args, kwargs, expected in [
        ((), {}, 20), (("DEBUG",), {}, 10), ((StrSub("ERROR"),), {}, 40), ((15,), {}, 15),
        ((), {"log_level": "CRITICAL"}, 50), ((), {"log_level": 0}, 0),
    ]:
        logger.setLevel(5)
        cu.set_logger_level(*args, **kwargs)
        assert logger.level == expected


def test_changes_are_logged_at_debug_to_the_module_logger_of_the_moment(
        cu, isolated, monkeypatch, log_records):
    isolated()
    cu.set_logger_level("DEBUG")
    cu.set_logger_level(logging.INFO)  # logged after the change, so not shown
    [record] = log_records
    assert (record.levelno, record.msg, record.args) == (
        logging.DEBUG, "logger level %s", (family(),))
    # a logger bound in its place receives the records, and only those calls
    monkeypatch.setattr(cu, "logger", mock.Mock())
    cu.set_logger_level(logging.DEBUG)
    cu.add_logger_file("./extra.log")
    assert cu.logger.mock_calls == [mock.call.debug("logger level %s", family()),
                                    mock.call.debug("add logger file, path=%s", "./extra.log")]
    assert len(log_records) == 1


# ==== add_logger_file ===========================================================

def test_default_file_for_every_member(cu, isolated, caplog, monkeypatch):
    isolated(), isolated()
    cu.set_logger_level(logging.INFO)
    assert cu.add_logger_file() is None
    path = os.path.abspath("main.log")
    members = family()
    files = lambda: [[h for h in m.handlers if isinstance(h, logging.FileHandler)]
                     for m in members]
    opened = files()
    assert all([h.baseFilename for h in hs] == [path] for hs in opened)
    assert len({id(hs[0].stream) for hs in opened}) == len(members)  # one file object each
    caplog.clear()
    cu.add_logger_file()
    assert files() == opened
    warned = [r.name for r in caplog.records if "file handler already existed" in r.msg]
    assert warned == [m.name for m in members]
    calls = []  # members extended in registry order, by keyword
    monkeypatch.setattr(cu, "logger_append_file", lambda *a, **kw: calls.append((a, kw)))
    cu.add_logger_file(file_name="x.log")
    assert calls == [((m,), {"file_name": "x.log"}) for m in family()]


NOT_INT = "Level not an integer or a valid string: "
NOT_STR = "logger_append_file() argument 'file_name' must be str, not "


@pytest.mark.parametrize("function, args, kwargs, error, message", [
    ("set_logger_level", ("NO_SUCH_LEVEL",), {}, ValueError,
     "Unknown level: 'Level NO_SUCH_LEVEL'"),
    ("set_logger_level", (None,), {}, TypeError, NOT_INT + "None"),
    ("set_logger_level", (1.5,), {}, TypeError, NOT_INT + "1.5"),
    ("add_logger_file", ("missing/x.log",), {}, FileNotFoundError, None),
    ("add_logger_file", (None,), {}, TypeError, NOT_STR + "NoneType"),
    ("add_logger_file", (StrSub("x"),), {}, TypeError, NOT_STR + "StrSub"),
])
def test_bad_arguments_change_nothing(cu, isolated, function, args, kwargs, error, message):
    isolated()
    before = [(m.name, m.level, list(m.handlers)) for m in family()]
    with pytest.raises(error) as info:
        getattr(cu, function)(*args, **kwargs)
    assert message is None or str(info.value) == message
    assert [(m.name, m.level, list(m.handlers)) for m in family()] == before
