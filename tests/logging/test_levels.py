"""Level changes and extra log files across the "QRX_" logger family."""
import logging
import os

import pytest

StrSub = type("StrSub", (str,), {})


def family():
    return [logging.getLogger(n) for n in list(logging.root.manager.loggerDict) if n.startswith("QRX_")]


def test_level_reaches_every_member_and_placeholder_and_nothing_else(cu, fresh, monkeypatch):
    member = cu.get_logger(fresh())
    outsider = logging.getLogger("outside-" + member.name)
    outsider.setLevel(logging.WARNING)
    logging.getLogger(member.name + "p.child")  # leaves a placeholder in the family
    root_level = logging.root.level
    assert cu.set_logger_level("DEBUG") is None
    # a placeholder left out would come back from family() as a new logger at NOTSET
    assert {m.level for m in family()} == {logging.DEBUG} and member in family()
    assert outsider.level == logging.WARNING and logging.root.level == root_level
    monkeypatch.setattr(logging, "INFO", 25)  # the default was taken at definition
    for args, kwargs, expected in [((), {}, 20), ((StrSub("ERROR"),), {}, 40), ((15,), {}, 15),
                                   ((), {"log_level": "CRITICAL"}, 50), ((), {"log_level": 0}, 0)]:
        member.setLevel(5)
        cu.set_logger_level(*args, **kwargs)
        assert member.level == expected


def test_changes_are_logged_at_debug(cu, fresh, log_records):
    cu.set_logger_level("DEBUG")
    cu.add_logger_file("./extra.log")
    cu.set_logger_level(logging.INFO)  # logged after the change, so not shown
    assert [(r.levelno, r.msg, r.args) for r in log_records] == [
        (logging.DEBUG, "logger level %s", (family(),)), (logging.DEBUG, "add logger file, path=%s", ("./extra.log",))]


def test_default_file_for_every_member(cu, fresh, monkeypatch):
    cu.get_logger(fresh()), cu.get_logger(fresh())
    cu.set_logger_level(logging.ERROR)  # the members' warnings of the second call stay quiet
    assert cu.add_logger_file() is None
    files = lambda: [[h for h in m.handlers if isinstance(h, logging.FileHandler)] for m in family()]
    opened = files()
    assert all([h.baseFilename for h in hs] == [os.path.abspath("main.log")] for hs in opened)
    assert len({id(hs[0].stream) for hs in opened}) == len(opened)  # one file object each
    cu.add_logger_file()
    assert files() == opened
    calls = []  # members extended in registry order, by keyword
    monkeypatch.setattr(cu, "logger_append_file", lambda *a, **kw: calls.append((a, kw)))
    cu.add_logger_file(file_name="x.log")
    assert calls == [((m,), {"file_name": "x.log"}) for m in family()]


NOT_INT = "Level not an integer or a valid string: "
NOT_STR = "logger_append_file() argument 'file_name' must be str, not "


@pytest.mark.parametrize("function, arg, error, message", [
    ("set_logger_level", "NO_SUCH_LEVEL", ValueError, "Unknown level: 'Level NO_SUCH_LEVEL'"),
    ("set_logger_level", None, TypeError, NOT_INT + "None"),
    ("set_logger_level", 1.5, TypeError, NOT_INT + "1.5"),
    ("add_logger_file", "missing/x.log", FileNotFoundError, None),
    ("add_logger_file", None, TypeError, NOT_STR + "NoneType"),
    ("add_logger_file", StrSub("x"), TypeError, NOT_STR + "StrSub"),
])
def test_bad_arguments_change_nothing(cu, fresh, function, arg, error, message):
    cu.get_logger(fresh())
    before = [(m.name, m.level, list(m.handlers)) for m in family()]
    with pytest.raises(error) as info:
        getattr(cu, function)(arg)
    assert message is None or str(info.value) == message
    assert [(m.name, m.level, list(m.handlers)) for m in family()] == before
