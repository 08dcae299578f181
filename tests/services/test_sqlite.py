"""SQLiteDB on real database files: settings, sharing, bind parameters,
rollback on failure, close and finalisation."""
import gc
import logging
import sqlite3
import sys
import threading

import pytest


@pytest.fixture
def pair(cu, tmp_path, log_records):
    """Two wrappers on one database file holding the table t (a, b)."""
    path = str(tmp_path / "jobs.db")
    dbs = [cu.SQLiteDB(path) for _ in range(2)]
    assert [(r.levelno, r.msg, r.args) for r in log_records] == [(logging.INFO, "DB path: %s", (path,))] * 2
    dbs[0].execute("CREATE TABLE t (a, b)")
    yield dbs
    for db in dbs:
        db.close()


def test_file_shared_by_two_connections_closed_and_finalised(cu, pair, tmp_path, monkeypatch):
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    first, second = pair
    # autocommit, any thread may use the connection, parameters bind by position or name
    worker = threading.Thread(target=first.execute, args=("INSERT INTO t VALUES (?, ?)", (1, "x")))
    worker.start()
    worker.join()
    [row] = second.query("SELECT a, b FROM t WHERE b = :b", {"b": "x"})
    assert type(row) is sqlite3.Row and row["a"] == row[0] == 1 and row["b"] == "x"
    first.execute(sql="DELETE FROM t WHERE a = :a", params={"a": 1})
    assert second.query(sql="SELECT * FROM t", params=None) == []
    first.close()
    first.close()
    assert first.conn is None and first.open() is None
    with pytest.raises(AttributeError):
        first.query("SELECT 1")
    conn = second.conn
    del second, pair[1]  # the finaliser closes the connection
    with pytest.raises(sqlite3.ProgrammingError, match="closed"):
        conn.execute("SELECT 1")
    # the finaliser after a failed constructor has nothing to close, and says nothing
    with pytest.raises(sqlite3.OperationalError):
        cu.SQLiteDB(str(tmp_path / "missing" / "x.db"))
    with pytest.raises(ValueError):
        type("Early", (cu.SQLiteDB,), {"__init__": lambda self, path: int("x")})("x.db")
    gc.collect()
    assert unraisable == []


@pytest.mark.parametrize("sql, error", [
    ("INSERT INTO nowhere VALUES (1)", sqlite3.OperationalError),
    ("INSERT INTO t VALUES (?, ?)", sqlite3.ProgrammingError),
    # sqlite3.Warning before 3.12, ProgrammingError since
    ("INSERT INTO t VALUES (3, 3); INSERT INTO t VALUES (4, 4)", (sqlite3.Error, sqlite3.Warning)),
])
def test_failed_execute_rolls_back_then_raises(pair, sql, error):
    db, other = pair
    db.query("BEGIN")
    db.query("INSERT INTO t VALUES (2, 'pending')")
    with pytest.raises(error):
        db.execute(sql)
    assert not db.conn.in_transaction
    assert db.query("SELECT * FROM t") == other.query("SELECT * FROM t") == []
