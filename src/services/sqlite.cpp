// SQLiteDB: one sqlite3 connection in autocommit mode, rows as sqlite3.Row,
// usable from any thread, closed by close() or when the object is finalised.
#include "../bridge/args.hpp"
#include "../bridge/entry.hpp"
#include "../logging/log.hpp"

namespace cu::services {

namespace {

const Name n_sqlite3("sqlite3"), n_connect("connect"), n_check_same_thread("check_same_thread"),
    n_isolation_level("isolation_level"), n_row_factory("row_factory"), n_Row("Row"),
    n_cursor("cursor"), n_execute("execute"), n_fetchall("fetchall"), n_commit("commit"),
    n_rollback("rollback"), n_close("close"), n_conn("conn"), n_db_file_path("db_file_path"),
    n_Error("Error"), n_Warning("Warning");

Ref conn_of(PyObject* self) { return getattr(self, n_conn); }

// cursor.execute(sql), or cursor.execute(sql, params) when bind parameters
// were given: without them the text goes to sqlite3 alone, so a literal "?"
// or ":name" in it is not taken for a placeholder.
void run(PyObject* cursor, PyObject* sql, PyObject* params) {
    if (params && params != Py_None)
        call_method(cursor, n_execute, sql, params);
    else
        call_method(cursor, n_execute, sql);
}

// Whether `err` is a failure of the database itself.  Before 3.12 sqlite3
// reports a text holding several statements as sqlite3.Warning, which does
// not derive from sqlite3.Error; it is a failed statement all the same.
bool database_failure(Error& err) {
    Ref sqlite3 = module::global(n_sqlite3);
    Ref error = getattr(sqlite3.get(), n_Error);
    if (err.matches(error.get())) return true;
    Ref warning = getattr_opt(sqlite3.get(), n_Warning);
    return warning && err.matches(warning.get());
}

// ==== methods ================================================================

const Signature init_params{"__init__", {"db_file_path"}, 1, true};

Ref db_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    Bound<1> a(init_params, args, kwargs);
    PyObject* path = a[0];
    setattr(self, n_db_file_path, path);

    Ref sqlite3 = module::global(n_sqlite3);
    Ref conn = call_method_kw(sqlite3.get(), n_connect, {path}, {{n_check_same_thread, Py_False}});
    setattr(self, n_conn, conn.get());

    setattr(conn_of(self).get(), n_isolation_level, Py_None);
    setattr(conn_of(self).get(), n_row_factory, getattr(sqlite3.get(), n_Row).get());
    CU_LOG(info, "DB path: %s", getattr(self, n_db_file_path).get());
    return none();
}

Ref db_close(PyObject* self) {
    if (truthy(conn_of(self).get())) {
        call_method(conn_of(self).get(), n_close);
        setattr(self, n_conn, Py_None);
    }
    return none();
}

Ref db_del(PyObject* self) {
    // A constructor that failed before the connection was made leaves no
    // `conn` behind, and there is nothing to close.
    if (!getattr_opt(self, n_conn)) return none();
    call_method(self, n_close);
    return none();
}

Ref db_open(PyObject*) { return none(); }

const Signature query_params{"query", {"sql", "params"}, 1, true};
const Signature execute_params{"execute", {"sql", "params"}, 1, true};

Ref db_query(PyObject* self, PyObject* args, PyObject* kwargs) {
    Bound<2> a(query_params, args, kwargs);
    Ref cursor = call_method(conn_of(self).get(), n_cursor);
    run(cursor.get(), a[0], a[1]);
    return call_method(cursor.get(), n_fetchall);
}

// A failed statement takes the open transaction with it: whatever the SQL
// text had begun is rolled back before the caller hears of the failure.
Ref db_execute(PyObject* self, PyObject* args, PyObject* kwargs) {
    Bound<2> a(execute_params, args, kwargs);
    try {
        Ref cursor = call_method(conn_of(self).get(), n_cursor);
        run(cursor.get(), a[0], a[1]);
        call_method(conn_of(self).get(), n_commit);
    } catch (Error& err) {
        {
            Handling handling(err);
            if (!database_failure(err)) throw;
            call_method(conn_of(self).get(), n_rollback);
        }
        throw;
    }
    return none();
}

PyMethodDef db_methods[] = {
    CU_VARARGS_SIG("__init__", db_init, "($self, /, db_file_path)",
                   "Opens db_file_path in autocommit mode, rows as sqlite3.Row."),
    CU_NOARGS_SIG("__del__", db_del, "($self, /)", ""),
    CU_NOARGS_SIG("open", db_open, "($self, /)",
                  "Does nothing: the connection is opened by the constructor."),
    CU_NOARGS_SIG("close", db_close, "($self, /)",
                  "Closes the connection and sets conn to None; harmless when closed."),
    CU_VARARGS_SIG("query", db_query, "($self, /, sql, params=None)",
                   "Runs one statement and returns all its rows."),
    CU_VARARGS_SIG("execute", db_execute, "($self, /, sql, params=None)",
                   "Runs one statement and commits; on a database error rolls back and "
                   "re-raises it."),
    CU_END,
};

Ref make_sqlite_db() {
    return make_subclass("SQLiteDB", (PyObject*)&PyBaseObject_Type, db_methods,
                         "One sqlite3 connection to db_file_path, usable from any thread.");
}

}  // namespace

CU_DEFINITION("SQLiteDB", make_sqlite_db);

}  // namespace cu::services
