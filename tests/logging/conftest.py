import logging
import uuid

import pytest


def every_logger():
    return [logging.root] + [lg for lg in list(logging.root.manager.loggerDict.values())
                             if isinstance(lg, logging.Logger)]


@pytest.fixture
def fresh(tmp_path, monkeypatch):
    """fresh() is a new logger name; the test runs in tmp_path with the platform off.  Afterwards
    every logger has its level back and the handlers the test added are closed."""
    monkeypatch.chdir(tmp_path)
    monkeypatch.delenv("TAVOLA_PLATFORM", raising=False)
    before = {id(lg): (lg.level, list(lg.handlers)) for lg in every_logger()}
    yield lambda: "t" + uuid.uuid4().hex[:12]
    for lg in every_logger():
        level, kept = before.get(id(lg), (lg.level, []))
        lg.setLevel(level)
        for h in [h for h in lg.handlers if not any(h is k for k in kept)]:
            lg.removeHandler(h)
            h.close()
