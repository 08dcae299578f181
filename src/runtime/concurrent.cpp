// gather_and_run: asyncio.run over asyncio.gather, made safe to call from
// plain code, from inside a running event loop and nested.
//
// - gather() is called inside the loop that asyncio.run drives, through a
//   deferred awaitable, so its future belongs to that loop whichever loop
//   get_event_loop() would have named outside.
// - Every awaitable is waited for, also after one failed: worker threads
//   cannot be cancelled, and a run must not leave work going on behind the
//   caller's back.  The first error (in time) is then raised unchanged.
// - The loop-reentrant asyncio.run leaves the loop's pending callbacks
//   unprocessed when it returns; anyio stops its idle worker threads from such
//   a callback, and they are not daemon threads, so from plain code the loop
//   is spun once more to let them end (else the interpreter hangs at exit).
// - Those workers are never joined.  CPython 3.8 keeps the state lock of each
//   non-daemon thread in threading._shutdown_locks until a join, so every run
//   would leave its workers' locks there for good; later versions drop the
//   released ones whenever a thread starts (_maintain_shutdown_locks), and
//   where that is missing the run does the same after itself.
#include "concurrent.hpp"
#include "../bridge/entry.hpp"

namespace cu::runtime {

namespace {

const Name n_asyncio("asyncio"), n_gather("gather"), n_run("run"), n_ensure_future("ensure_future"),
    n_add_done_callback("add_done_callback"), n_append("append"),
    n_return_exceptions("return_exceptions"), n__get_running_loop("_get_running_loop"),
    n_sleep("sleep"), n_cancelled("cancelled"), n_exception("exception"),
    n_threading("threading"), n__maintain_shutdown_locks("_maintain_shutdown_locks"),
    n__shutdown_locks("_shutdown_locks"), n__shutdown_locks_lock("_shutdown_locks_lock"),
    n_locked("locked"), n_acquire("acquire"), n_release("release"),
    n_difference_update("difference_update");

// start_gather(awaitables, finished): inside the running loop, wraps each
// awaitable in a task that appends itself to `finished` when done, and
// returns the future of gather(*tasks, return_exceptions=True).
Ref start_gather(PyObject*, PyObject* args) {
    PyObject* awaitables = PyTuple_GetItem(args, 0);
    PyObject* finished = PyTuple_GetItem(args, 1);
    Ref asyncio = module::global(n_asyncio);
    Ref ensure_future = getattr(asyncio.get(), n_ensure_future);
    Ref on_done = getattr(finished, n_append);
    Py_ssize_t n = PyTuple_Size(awaitables);
    Ref tasks = check(PyTuple_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref task = call(ensure_future.get(), PyTuple_GetItem(awaitables, i));
        call_method(task.get(), n_add_done_callback, on_done.get());
        PyTuple_SetItem(tasks.get(), i, task.release());
    }
    Ref kw = dict();
    set_item(kw.get(), n_return_exceptions, Py_True);
    return call_args(getattr(asyncio.get(), n_gather).get(), tasks.get(), kw.get());
}

PyObject* start_gather_entry(PyObject* self, PyObject* args) noexcept {
    try {
        return start_gather(self, args).release();
    } catch (...) {
        return translate_exception();
    }
}

PyMethodDef start_gather_def = {"start_gather", (PyCFunction)start_gather_entry, METH_VARARGS,
                                nullptr};

PyObject* start_gather_fn() {
    static Keep fn;
    if (!fn) fn.set(check(PyCFunction_NewEx(&start_gather_def, nullptr, nullptr)));
    return fn.get();
}

bool loop_running(PyObject* asyncio) {
    Ref loop = call(getattr(asyncio, n__get_running_loop).get());
    return loop.get() != Py_None;
}

// Lets the loop run the callbacks that finished tasks scheduled.
void flush_callbacks(PyObject* asyncio) {
    Ref zero = integer(0);
    Ref pause = call(getattr(asyncio, n_sleep).get(), zero.get());
    call_method(asyncio, n_run, pause.get());
}

// What threading._maintain_shutdown_locks does from 3.9 on: the locks of
// threads that have ended (released locks) leave threading._shutdown_locks,
// whose only use is to be waited on at exit.
void drop_released_shutdown_locks() {
    Ref threading = check(PyImport_Import(n_threading.get()));
    if (hasattr(threading.get(), n__maintain_shutdown_locks)) return;
    Ref locks = getattr_opt(threading.get(), n__shutdown_locks);
    Ref guard = getattr_opt(threading.get(), n__shutdown_locks_lock);
    if (!locks || !guard || Py_TYPE(locks.get()) != &PySet_Type) return;
    call_method(guard.get(), n_acquire);  // waits with the GIL released
    try {
        Ref released = list();
        Ref it = iter(locks.get());
        while (Ref lock = next(it.get())) {
            if (!truthy(call_method(lock.get(), n_locked).get())) append(released.get(), lock.get());
        }
        call_method(locks.get(), n_difference_update, released.get());
    } catch (Error&) {
        call_method(guard.get(), n_release);
        throw;
    }
    call_method(guard.get(), n_release);
}

}  // namespace

Ref gather_and_run(PyObject* awaitables) {
    Ref asyncio = module::global(n_asyncio);
    Ref items = check(PySequence_Tuple(awaitables));
    Ref finished = list();
    bool nested = loop_running(asyncio.get());
    Ref driver = deferred_awaitable(tuple(start_gather_fn(), items.get(), finished.get()));

    Ref results;
    try {
        results = call_method(asyncio.get(), n_run, driver.get());
    } catch (Error&) {
        if (!nested) {
            try {
                flush_callbacks(asyncio.get());
                drop_released_shutdown_locks();
            } catch (Error&) {
                // the run's own error is the one to report
            }
        }
        throw;
    }
    if (!nested) {
        flush_callbacks(asyncio.get());
        drop_released_shutdown_locks();
    }

    for (Py_ssize_t i = 0, n = PyList_Size(finished.get()); i < n; ++i) {
        PyObject* task = PyList_GetItem(finished.get(), i);
        if (truthy(call_method(task, n_cancelled).get())) continue;
        Ref error = call_method(task, n_exception);
        if (error.get() == Py_None) continue;
        PyObject* tb = PyException_GetTraceback(error.get());  // new reference
        Ref type = Ref::borrow((PyObject*)Py_TYPE(error.get()));
        PyErr_Restore(type.release(), error.release(), tb);
        throw_error();
    }
    return results;
}

}  // namespace cu::runtime
