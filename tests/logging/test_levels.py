"""Level changes and extra log files across the "QRX_" logger family."""

import io
import logging
import os
import pathlib
import sys
import uuid

import pytest


class StrSub(str):
    pass


class Collect(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.records = []

    def emit(self, record):
        self.records.append(record)


def family_names():
    return [n for n in list(logging.root.manager.loggerDict) if n.startswith("QRX_")]


def family():
    return [logging.getLogger(n) for n in family_names()]


def file_handlers(logger):
    return [h for h in logger.handlers if isinstance(h, logging.FileHandler)]


@pytest.fixture
def isolated(cu, tmp_path, monkeypatch):
    """Restores the family's levels and removes (and closes) the file
    handlers this test opened under tmp_path; console handlers made by
    get_logger write to a private buffer."""
    monkeypatch.delenv("TAVOLA_PLATFORM", raising=False)
    registry = logging.root.manager.loggerDict
    levels = {n: registry[n].level for n in family_names()
              if isinstance(registry[n], logging.Logger)}
    made = []

    def new_logger():
        name = "t" + uuid.uuid4().hex[:12]
        made.append("QRX_" + name)
        monkeypatch.setattr(sys, "stdout", io.StringIO())
        return cu.get_logger(name)

    yield new_logger
    roots = (str(tmp_path), os.path.realpath(str(tmp_path)))
    for logger in family():
        logger.setLevel(levels.get(logger.name, logging.NOTSET))
        for handler in list(logger.handlers):
            if logger.name in made or (isinstance(handler, logging.FileHandler)
                                       and handler.baseFilename.startswith(roots)):
                logger.removeHandler(handler)
                handler.close()


# ==== set_logger_level ==========================================================

def test_level_name_reaches_every_member_and_nothing_else(cu, isolated):
    a, b = isolated(), isolated()
    outsider = logging.getLogger("outside-" + a.name)
    outsider.setLevel(logging.WARNING)
    root_level = logging.root.level
    assert cu.set_logger_level("DEBUG") is None
    assert a.level == b.level == cu.logger.level == logging.DEBUG
    assert {m.level for m in family()} == {logging.DEBUG}
    assert outsider.level == logging.WARNING and logging.root.level == root_level


@pytest.mark.parametrize("args, kwargs, expected", [
    ((), {}, 20),
    (("DEBUG",), {}, 10),
    (("WARNING",), {}, 30),
    ((StrSub("ERROR"),), {}, 40),
    ((30,), {}, 30),
    ((15,), {}, 15),
    ((), {"log_level": "CRITICAL"}, 50),
    ((), {"log_level": 0}, 0),
])
def test_level_values(cu, isolated, args, kwargs, expected):
    logger = isolated()
    logger.setLevel(5)
    cu.set_logger_level(*args, **kwargs)
    assert logger.level == expected


def test_default_level_is_fixed_at_definition(cu, isolated, monkeypatch):
    logger = isolated()
    monkeypatch.setattr(logging, "INFO", 25)
    cu.set_logger_level()
    assert logger.level == 20
    parent = logger.name + "p"  # placeholders become members
    child = logging.getLogger(parent + ".child")
    assert isinstance(logging.root.manager.loggerDict[parent], logging.PlaceHolder)
    cu.set_logger_level(30)
    assert logging.root.manager.loggerDict[parent].level == 30 and child.level == 30


@pytest.mark.parametrize("level, error, message", [
    ("NO_SUCH_LEVEL", ValueError, "Unknown level: 'Level NO_SUCH_LEVEL'"),
    (None, TypeError, "Level not an integer or a valid string: None"),
    (1.5, TypeError, "Level not an integer or a valid string: 1.5"),
])
def test_bad_levels_change_nothing(cu, isolated, level, error, message):
    isolated()
    before = [(m.name, m.level) for m in family()]
    with pytest.raises(error) as info:
        cu.set_logger_level(level)
    assert str(info.value) == message
    assert [(m.name, m.level) for m in family()] == before


def test_level_change_is_logged_at_debug(cu, isolated, log_records):
    isolated()
    cu.set_logger_level("DEBUG")
    [record] = log_records
    assert record.levelno == logging.DEBUG and record.msg == "logger level %s"
    [members] = record.args
    assert cu.logger in members and all(m.level == logging.DEBUG for m in members)
    cu.set_logger_level(logging.INFO)
    assert len(log_records) == 1  # the module logger no longer passes DEBUG


def test_rebound_module_logger_receives_the_records(cu, isolated, tmp_path, monkeypatch,
                                                    log_records):
    monkeypatch.chdir(tmp_path)
    isolated()
    private = logging.getLogger("private-" + uuid.uuid4().hex)
    private.propagate = False
    collect = Collect()
    private.addHandler(collect)
    private.setLevel(logging.DEBUG)
    monkeypatch.setattr(cu, "logger", private)
    cu.set_logger_level(logging.DEBUG)
    cu.add_logger_file("./extra.log")
    assert [(r.msg, r.args) for r in collect.records] == [
        ("logger level %s", (family(),)),
        ("add logger file, path=%s", ("./extra.log",)),
    ]
    assert private.handlers == [collect]  # outside the family
    assert log_records == []


# ==== add_logger_file ===========================================================

def test_default_file_for_every_member(cu, isolated, tmp_path, monkeypatch, caplog):
    monkeypatch.chdir(tmp_path)
    isolated(), isolated()
    cu.set_logger_level(logging.INFO)
    assert cu.add_logger_file() is None
    path = os.path.abspath("main.log")
    members = family()
    opened = [file_handlers(m) for m in members]
    assert all([h.baseFilename for h in hs] == [path] for hs in opened)
    streams = {id(hs[0].stream) for hs in opened}
    assert len(streams) == len(members)  # one open file object per logger

    caplog.clear()
    cu.add_logger_file()
    assert [file_handlers(m) for m in members] == opened
    warned = [r.name for r in caplog.records if "file handler already existed" in r.msg]
    assert warned == [m.name for m in members]


def test_members_are_extended_in_registry_order_by_keyword(cu, isolated, monkeypatch):
    isolated(), isolated()
    calls = []
    monkeypatch.setattr(cu, "logger_append_file",
                        lambda *args, **kwargs: calls.append((args, kwargs)))
    cu.add_logger_file(file_name="x.log")
    assert calls == [((m,), {"file_name": "x.log"}) for m in family()]


@pytest.mark.parametrize("file_name, error, message", [
    ("missing/x.log", FileNotFoundError, None),
    (1, TypeError, "int"), (None, TypeError, "NoneType"),
    (pathlib.Path("x.log"), TypeError, "PosixPath"), (StrSub("x"), TypeError, "StrSub"),
])
def test_bad_file_names(cu, isolated, tmp_path, monkeypatch, file_name, error, message):
    monkeypatch.chdir(tmp_path)
    isolated()
    with pytest.raises(error) as info:
        cu.add_logger_file(file_name)
    if message:
        assert str(info.value) == (
            "logger_append_file() argument 'file_name' must be str, not " + message)
    assert not any(h.baseFilename.endswith("x.log") for m in family() for h in file_handlers(m))


# Python functions of the same shapes, for the interpreter's arity wording.
def set_logger_level(log_level=20): pass
def add_logger_file(file_name="./main.log"): pass


@pytest.mark.parametrize("name, args, kwargs", [
    ("set_logger_level", (10, 20), {}),
    ("set_logger_level", (), {"level": 10}),
    ("set_logger_level", (10,), {"log_level": 20}),
    ("add_logger_file", ("a", "b"), {}),
    ("add_logger_file", (), {"path": "a"}),
    ("add_logger_file", ("a",), {"file_name": "b"}),
])
def test_arity_errors_match_the_interpreter(cu, name, args, kwargs):
    with pytest.raises(TypeError) as expected:
        globals()[name](*args, **kwargs)
    with pytest.raises(TypeError) as got:
        getattr(cu, name)(*args, **kwargs)
    assert str(got.value) == str(expected.value)
