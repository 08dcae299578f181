"""SQLiteDB: connection settings, shared files, statements with and without
bind parameters, rollback on failure, close and finalisation."""

import gc
import logging
import sqlite3
import sys
import threading

import pytest


@pytest.fixture
def db_path(tmp_path):
    return str(tmp_path / "jobs.db")


@pytest.fixture
def pair(cu, db_path):
    """Two wrappers on one database file, closed afterwards."""
    dbs = [cu.SQLiteDB(db_path), cu.SQLiteDB(db_path)]
    dbs[0].execute("CREATE TABLE t (a, b)")
    yield dbs
    for db in dbs:
        db.close()


def test_file_shared_by_two_connections(cu, db_path, log_records):
    first = cu.SQLiteDB(db_path)
    second = cu.SQLiteDB(db_path)
    assert [(r.levelno, r.msg, r.args) for r in log_records] == [
        (logging.INFO, "DB path: %s", (db_path,))] * 2
    assert first.db_file_path == db_path
    assert first.conn.isolation_level is None and first.conn.row_factory is sqlite3.Row

    assert first.execute("CREATE TABLE t (a, b)") is None
    first.execute("INSERT INTO t VALUES (1, 'x')")
    # autocommit: the other connection sees each statement at once
    [row] = second.query("SELECT a, b FROM t")
    assert type(row) is sqlite3.Row and row["a"] == row[0] == 1 and row["b"] == "x"
    assert first.open() is None
    first.close()
    second.close()


@pytest.mark.parametrize("sql, error", [
    ("INSERT INTO nowhere VALUES (1)", sqlite3.OperationalError),
    ("INSRT INTO t VALUES (1, 2)", sqlite3.OperationalError),
    ("INSERT INTO t VALUES (3, 3); INSERT INTO t VALUES (4, 4)", (sqlite3.Error, sqlite3.Warning)),
    ("INSERT INTO t VALUES (?, ?)", sqlite3.ProgrammingError),
])
def test_failed_execute_rolls_back_then_raises(pair, sql, error):
    db, other = pair
    db.query("BEGIN")
    db.query("INSERT INTO t VALUES (2, 'pending')")
    assert db.conn.in_transaction and other.query("SELECT * FROM t") == []

    with pytest.raises(error):
        db.execute(sql)
    assert not db.conn.in_transaction
    assert db.query("SELECT * FROM t") == other.query("SELECT * FROM t") == []


def test_failed_rollback_chains_to_the_statement_error(cu, monkeypatch):
    class Conn:
        def cursor(self):
            return self

        def execute(self, sql):
            raise sqlite3.IntegrityError("statement failed")

        def rollback(self):
            raise OSError("rollback failed")

        def close(self):
            pass

    db = cu.SQLiteDB(":memory:")
    db.close()
    db.conn = Conn()
    with pytest.raises(OSError) as info:
        db.execute("INSERT")
    assert str(info.value.__context__) == "statement failed"


def test_other_errors_pass_without_rollback(cu):
    class Boom(Exception):
        pass

    class Conn:
        rollbacks = 0

        def cursor(self):
            raise Boom

        def rollback(self):
            Conn.rollbacks += 1

        def close(self):
            pass

    db = cu.SQLiteDB(":memory:")
    db.close()
    db.conn = Conn()
    with pytest.raises(Boom):
        db.execute("SELECT 1")
    assert Conn.rollbacks == 0


@pytest.mark.parametrize("insert, params, select, select_params", [
    ("INSERT INTO t VALUES (?, ?)", (1, "x"), "SELECT a, b FROM t WHERE a = ?", [1]),
    ("INSERT INTO t VALUES (:a, :b)", {"a": 1, "b": "x"}, "SELECT a, b FROM t WHERE b = :b",
     {"b": "x"}),
])
def test_bind_parameters(pair, insert, params, select, select_params):
    db, other = pair
    db.execute(insert, params)
    assert [tuple(r) for r in other.query(select, select_params)] == [(1, "x")]
    # None is the call without parameters
    assert [tuple(r) for r in other.query(sql="SELECT b FROM t", params=None)] == [("x",)]
    db.execute("DELETE FROM t", None)
    assert other.query("SELECT * FROM t") == []


def test_query_errors_propagate(cu):
    db = cu.SQLiteDB(":memory:")
    with pytest.raises(sqlite3.OperationalError, match="syntax error"):
        db.query("SELEC 1")
    with pytest.raises((sqlite3.Error, sqlite3.Warning), match="one statement at a time"):
        db.query("SELECT 1; SELECT 2")


def test_close_and_finaliser(cu, db_path):
    db = cu.SQLiteDB(db_path)
    db.close()
    db.close()
    assert db.conn is None
    with pytest.raises(AttributeError):
        db.query("SELECT 1")
    with pytest.raises(AttributeError):
        db.execute("SELECT 1")

    conn = cu.SQLiteDB(db_path).conn  # finalised at once
    with pytest.raises(sqlite3.ProgrammingError, match="closed"):
        conn.execute("SELECT 1")


def test_finaliser_after_failed_constructor_is_silent(cu, tmp_path, monkeypatch):
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)

    class Early(cu.SQLiteDB):
        def __init__(self, path):
            raise ValueError("before the connection")

    with pytest.raises(sqlite3.OperationalError):
        cu.SQLiteDB(str(tmp_path / "missing" / "x.db"))
    with pytest.raises(ValueError):
        Early("x.db")
    gc.collect()
    assert unraisable == []


def test_connection_used_from_another_thread(cu, db_path):
    db = cu.SQLiteDB(db_path)
    db.execute("CREATE TABLE t (a)")
    errors = []
    worker = threading.Thread(
        target=lambda: db.execute("INSERT INTO t VALUES (1)") or errors.append(None))
    worker.start()
    worker.join()
    assert errors == [None] and [r[0] for r in db.query("SELECT a FROM t")] == [1]
    db.close()


def test_no_leak(cu, memory_growth):
    db = cu.SQLiteDB(":memory:")
    db.execute("CREATE TABLE t (a PRIMARY KEY)")

    def cycle():
        db.execute("INSERT OR REPLACE INTO t VALUES (?)", (1,))
        db.query("SELECT a FROM t WHERE a = :a LIMIT 1", {"a": 1})
        try:
            db.execute("INSERT INTO missing VALUES (1)")
        except sqlite3.OperationalError:
            pass

    traced, _ = memory_growth(cycle, 5000)
    assert traced < 100_000
    db.close()
