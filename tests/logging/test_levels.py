"""Level changes and extra log files across the "QRX_" logger family, and bad calls of every
logging function."""
import logging
import os
import pathlib

import pytest

StrSub = type("StrSub", (str,), {})


def family():
    return [logging.getLogger(n) for n in list(logging.root.manager.loggerDict) if n.startswith("QRX_")]


def test_level_and_default_file_reach_every_member_and_nothing_else(cu, fresh, monkeypatch, log_records):
    member, _ = cu.get_logger(fresh()), cu.get_logger(fresh())
    outsider = logging.getLogger("outside-" + member.name)
    outsider.setLevel(logging.WARNING)
    logging.getLogger(member.name + "p.child")  # leaves a placeholder in the family
    root_level = logging.root.level
    assert cu.set_logger_level("DEBUG") is None
    # a placeholder left out would come back from family() as a new logger at NOTSET
    assert {m.level for m in family()} == {logging.DEBUG} and member in family()
    assert outsider.level == logging.WARNING and logging.root.level == root_level
    assert cu.add_logger_file() is None
    files = lambda: [[h for h in m.handlers if isinstance(h, logging.FileHandler)] for m in family()]
    opened = files()
    assert all([h.baseFilename for h in hs] == [os.path.abspath("main.log")] for hs in opened)
    assert len({id(hs[0].stream) for hs in opened}) == len(opened)  # one file object each
    calls = []  # members extended in registry order, by keyword
    monkeypatch.setattr(cu, "logger_append_file", lambda *a, **kw: calls.append((a, kw)))
    cu.add_logger_file(file_name="x.log")
    assert calls == [((m,), {"file_name": "x.log"}) for m in family()]
    cu.set_logger_level(logging.ERROR)  # logged after the change, so not shown
    added = [(logging.DEBUG, "add logger file, path=%s", (p,)) for p in ["./main.log", "x.log"]]
    assert [(r.levelno, r.msg, r.args) for r in log_records if r.levelno != logging.WARNING] == [
        (logging.DEBUG, "logger level %s", (family(),))] + added
    monkeypatch.setattr(logging, "INFO", 25)  # the default was taken at definition
    for args, kwargs, expected in [((), {}, 20), ((StrSub("ERROR"),), {}, 40), ((15,), {}, 15),
                                   ((), {"log_level": "CRITICAL"}, 50), ((), {"log_level": 0}, 0)]:
        member.setLevel(5)
        cu.set_logger_level(*args, **kwargs)
        assert member.level == expected


# Python functions of the same shapes, for the interpreter's arity wording.
def get_logger(name): pass
def get_file_logger(name, file_name): pass
def _get_velox_logger(): pass
def set_logger_level(log_level=20): pass
def add_logger_file(file_name="./main.log"): pass


NOT_INT = "Level not an integer or a valid string: "
NOT_STR = "logger_append_file() argument 'file_name' must be str, not "


# A Path would pass os.path.abspath, and a str subclass the concatenation: both are refused.
# A row without a message takes the wording of the Python function above.
@pytest.mark.parametrize("name, args, kwargs, error, message", [
    ("get_logger", (1,), {}, TypeError, "get_logger() argument 'name' must be str, not int"),
    ("get_file_logger", (1, "x"), {}, TypeError, "get_file_logger() argument 'name' must be str, not int"),
    ("get_file_logger", ("n", pathlib.Path("x")), {}, TypeError, NOT_STR + "PosixPath"),
    ("set_logger_level", ("NO_SUCH_LEVEL",), {}, ValueError, "Unknown level: 'Level NO_SUCH_LEVEL'"),
    ("set_logger_level", (None,), {}, TypeError, NOT_INT + "None"),
    ("set_logger_level", (1.5,), {}, TypeError, NOT_INT + "1.5"),
    ("add_logger_file", ("missing/x.log",), {}, FileNotFoundError,
     "[Errno 2] No such file or directory: '{cwd}/missing/x.log'"),
    ("add_logger_file", (None,), {}, TypeError, NOT_STR + "NoneType"),
    ("get_logger", (), {}, TypeError, None),
    ("get_logger", ("n", "m"), {}, TypeError, None),
    ("get_file_logger", ("f",), {}, TypeError, None),
    ("_get_velox_logger", (1, 2), {"x": 1}, TypeError, None),
    ("set_logger_level", (10,), {"log_level": 20}, TypeError, None),
    ("add_logger_file", (), {"path": "a"}, TypeError, None),
])
def test_bad_calls_change_nothing(cu, fresh, name, args, kwargs, error, message):
    cu.get_logger("n")
    before = [(m.name, m.level, list(m.handlers)) for m in family()]
    if message is None:
        with pytest.raises(TypeError) as expected:
            globals()[name](*args, **kwargs)
        # 3.13 appends a spelling suggestion that the module's messages do not make.
        message = str(expected.value).split(". Did you mean")[0]
    with pytest.raises(error) as got:
        getattr(cu, name)(*args, **kwargs)
    assert str(got.value) == message.format(cwd=os.getcwd())
    assert [(m.name, m.level, list(m.handlers)) for m in family()] == before
