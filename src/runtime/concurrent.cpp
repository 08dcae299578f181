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
//   a callback, and they are not daemon threads, so the loop is spun once
//   more to let them end (else the interpreter hangs at exit).  Inside a
//   running loop too: the caller's loop may well stop before it would run
//   them.
// - Those workers are never joined.  CPython 3.8 keeps the state lock of each
//   non-daemon thread in threading._shutdown_locks until a join, so every run
//   would leave its workers' locks there for good; later versions drop the
//   released ones whenever a thread starts (_maintain_shutdown_locks), and
//   where that is missing the run does the same after itself.
// - anyio keeps its worker threads for as long as the run's root task lives,
//   and finds that root by the done callback that the standard
//   run_until_complete puts on its main task.  The reentrant run_until_complete
//   puts none, so anyio took each item's own task for the root: it searched
//   every task of the loop on each call and stopped each worker when its item
//   ended, a thread start per item.  The gathering task carries that callback
//   while the items run, and drops it before it ends itself.
// - The loop asyncio.run would drive is the thread's current loop, which may
//   be running in another thread: a library that runs a loop in a thread of
//   its own (a cluster client, for one) can leave its loop current in the
//   thread that made it.  Two threads stepping one loop corrupt its state and
//   the run never ends, so such a run, and one over a closed loop, gets an
//   event loop of its own, as the standard asyncio.run always does.
//
// What a run costs is almost all anyio's and asyncio's: per item a task, a
// cancel scope, a limiter token and a worker thread started for it (no worker
// is idle yet when all items start at once), then the loop's steps.  The same
// run written directly as asyncio.run(gather(run_sync...)) costs as much.  A
// pool of the module's own would be cheaper, but items must run in anyio's
// workers under its default limiter (anyio.from_thread works in a step) and a
// nested run must keep stepping the caller's loop.
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
    n_difference_update("difference_update"), n_current_task("current_task"),
    n_base_events("base_events"), n__run_until_complete_cb("_run_until_complete_cb"),
    n_remove_done_callback("remove_done_callback"), n_get_event_loop("get_event_loop"),
    n_new_event_loop("new_event_loop"), n_is_running("is_running"), n_is_closed("is_closed"),
    n_run_until_complete("run_until_complete"), n_close("close");

// ==== the run's root task for anyio ==========================================

// unmark_root((task, marker), future): the gathering is over; the task must
// not stop the loop when it ends.  remove_done_callback drops every copy, so
// one the task carried before is put back.
Ref unmark_root(PyObject* self, PyObject*) {
    PyObject* task = PyTuple_GetItem(self, 0);
    PyObject* marker = PyTuple_GetItem(self, 1);
    Ref removed = call_method(task, n_remove_done_callback, marker);
    long count = as_long(removed.get());
    for (long i = 1; i < count; ++i) call_method(task, n_add_done_callback, marker);
    return none();
}

PyMethodDef unmark_root_def = CU_O("unmark_root", unmark_root, nullptr);

// Marks the current task (the one that gathers) as the root of the run
// until `gathered` is done.  The unmarking callback is registered on the
// gathering future before the task itself waits on it, so it runs before the
// task can resume and end.
void mark_root(PyObject* asyncio, PyObject* gathered) {
    static const Name n_done("done");
    // A finished gathering (no items) lets the task end in this very step,
    // which would already schedule the marker: the loop would stop.
    if (truthy(call_method(gathered, n_done).get())) return;
    Ref base_events = getattr_opt(asyncio, n_base_events);
    Ref marker = base_events ? getattr_opt(base_events.get(), n__run_until_complete_cb) : Ref();
    if (!marker) return;
    Ref task = call(getattr(asyncio, n_current_task).get());
    if (task.get() == Py_None) return;
    Ref unmark = check(PyCFunction_NewEx(&unmark_root_def, tuple(task.get(), marker.get()).get(),
                                         nullptr));
    call_method(gathered, n_add_done_callback, unmark.get());
    call_method(task.get(), n_add_done_callback, marker.get());
}

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
    Ref gathered = call_args(getattr(asyncio.get(), n_gather).get(), tasks.get(),
                             keywords({{n_return_exceptions, Py_True}}).get());
    mark_root(asyncio.get(), gathered.get());
    return gathered;
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

// forget_root(asyncio), run as a task of the loop: anyio keeps the root it
// found in a variable of the loop, and some of its versions keep a finished
// one there, which holds the loop itself (a loop made for one run, or the
// loop of a thread that has ended, would never be freed).  A finished root is
// dropped; anyio looks for a new one anyway.  Then asyncio.sleep(0).
Ref forget_root(PyObject*, PyObject* asyncio) {
    static const Name n_get("get"), n_set("set"), n_done("done"), n__root_task("_root_task"),
        n_backend("anyio._backends._asyncio");
    PyObject* backend = dict_get(check_borrowed(PyImport_GetModuleDict()), n_backend);
    if (Ref holder = backend ? Ref::borrow(backend) : Ref()) {
        if (Ref root_var = getattr_opt(holder.get(), n__root_task)) {
            Ref root = call_method(root_var.get(), n_get, Py_None);
            if (root.get() != Py_None && truthy(call_method(root.get(), n_done).get()))
                call_method(root_var.get(), n_set, Py_None);
        }
    }
    return call(getattr(asyncio, n_sleep).get(), integer(0).get());
}

PyMethodDef forget_root_def = CU_O("forget_root", forget_root, nullptr);

// One more step of the loop: the callbacks that finished tasks scheduled
// run, and anyio's finished root is forgotten.
Ref after_run(PyObject* asyncio) {
    static Keep fn;
    if (!fn) fn.set(check(PyCFunction_NewEx(&forget_root_def, nullptr, nullptr)));
    return deferred_awaitable(tuple(fn.get(), asyncio));
}

void flush_callbacks(PyObject* asyncio) {
    call_method(asyncio, n_run, after_run(asyncio).get());
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

// The results, unless an item failed: then the error of the first to fail.
Ref raise_first_error(PyObject* finished, Ref results) {
    for (Py_ssize_t i = 0, n = PyList_Size(finished); i < n; ++i) {
        PyObject* task = PyList_GetItem(finished, i);
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

// True when this thread cannot step the loop that asyncio.run would take:
// it runs (in another thread, as none runs in this one) or it is closed.
bool current_loop_unusable(PyObject* asyncio) {
    Ref loop = call(getattr(asyncio, n_get_event_loop).get());
    return truthy(call_method(loop.get(), n_is_running).get()) ||
           truthy(call_method(loop.get(), n_is_closed).get());
}

// Runs `main` to its end on `loop` as asyncio.run does: on an interruption
// the task is cancelled and run to its end before the error goes on.
Ref run_to_end(PyObject* loop, PyObject* main) {
    static const Name n_create_task("create_task"), n_cancel("cancel"), n_done("done");
    Ref task = call_method(loop, n_create_task, main);
    try {
        return call_method(loop, n_run_until_complete, task.get());
    } catch (Error&) {
        try {
            if (!truthy(call_method(task.get(), n_done).get())) {
                call_method(task.get(), n_cancel);
                call_method(loop, n_run_until_complete, task.get());
            }
        } catch (Error&) {
            // the interruption is the error to report
        }
        throw;
    }
}

// The run on an event loop of its own, closed afterwards; the loop is spun
// once more for the callbacks that stop anyio's workers.
Ref run_on_own_loop(PyObject* asyncio, PyObject* driver) {
    Ref loop = call(getattr(asyncio, n_new_event_loop).get());
    auto spin_and_close = [&] {
        try {
            call_method(loop.get(), n_run_until_complete, after_run(asyncio).get());
        } catch (Error&) {
            call_method(loop.get(), n_close);
            throw;
        }
        call_method(loop.get(), n_close);
        drop_released_shutdown_locks();
    };
    Ref results;
    try {
        results = run_to_end(loop.get(), driver);
    } catch (Error&) {
        try {
            spin_and_close();
        } catch (Error&) {
            // the run's own error is the one to report
        }
        throw;
    }
    spin_and_close();
    return results;
}

}  // namespace

Ref gather_and_run(PyObject* awaitables) {
    Ref asyncio = module::global(n_asyncio);
    Ref items = check(PySequence_Tuple(awaitables));
    Ref finished = list();
    bool nested = loop_running(asyncio.get());
    Ref driver = deferred_awaitable(tuple(start_gather_fn(), items.get(), finished.get()));

    Ref results;
    if (!nested && current_loop_unusable(asyncio.get())) {
        results = run_on_own_loop(asyncio.get(), driver.get());
        return raise_first_error(finished.get(), std::move(results));
    }
    try {
        results = call_method(asyncio.get(), n_run, driver.get());
    } catch (Error&) {
        try {
            flush_callbacks(asyncio.get());
            drop_released_shutdown_locks();
        } catch (Error&) {
            // the run's own error is the one to report
        }
        throw;
    }
    flush_callbacks(asyncio.get());
    drop_released_shutdown_locks();

    return raise_first_error(finished.get(), std::move(results));
}

}  // namespace cu::runtime
