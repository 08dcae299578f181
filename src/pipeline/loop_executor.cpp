// The executor mode of LoopProcessor: the items run on a
// concurrent.futures.Executor (a process pool, a cluster's executor) in
// batches, one task running the body over several items, because a task
// costs far more there than a body call.
//
// - The body and the run's positional and keyword arguments are pickled once,
//   in the caller, before anything is submitted: a body that cannot travel
//   fails at once with a TypeError naming the step, and every task carries
//   the same bytes instead of pickling the body again.  Every task, also on
//   a thread pool, works on its own copy of the body.
// - A task returns its outputs and the step times it recorded; the times are
//   added into the caller's record under TIME_KEY, as the local modes record
//   them there directly.
// - The first task that fails ends the loop with its error: the batches not
//   started yet are cancelled, those already running are waited for, so no
//   work goes on behind the caller's back.
// - concurrent.futures is read from the loaded modules: an Executor instance
//   cannot exist unless it is loaded.
#include "pipeline.hpp"
#include "../bridge/args.hpp"
#include "../bridge/entry.hpp"

namespace cu::pipeline {

Py_ssize_t checked_batch_size(PyObject* value) {
    Py_ssize_t size = PyNumber_AsSsize_t(value, PyExc_OverflowError);
    if (size == -1 && PyErr_Occurred()) throw_error();
    if (size < 1) raise(PyExc_ValueError, "batch_size must be at least 1");
    return size;
}

namespace {

const Name n_pickle("pickle"), n_dumps("dumps"), n_loads("loads"), n_Executor("Executor"),
    n_submit("submit"), n_as_completed("as_completed"), n_wait("wait"), n_cancel("cancel"),
    n_exception("exception"), n_result("result"), n__max_workers("_max_workers"),
    n__batch_size("_batch_size"), n__processors("_processors"), n_TIME_KEY("TIME_KEY"),
    n___dict__("__dict__"), n_cpu_count("cpu_count"), n_os("os"),
    n__run_loop_batch("_run_loop_batch");

// Tasks per worker when the caller sets no batch size: enough that a slow
// batch does not leave the other workers idle at the end, few enough that
// the per-task cost stays small.
constexpr Py_ssize_t k_tasks_per_worker = 4;

Ref futures_module() {
    static const Name n_concurrent_futures("concurrent.futures");
    PyObject* mod = PyImport_GetModule(n_concurrent_futures);
    if (!mod && PyErr_Occurred()) throw_error();
    return Ref::steal(mod);
}

Ref pickle_module() { return check(PyImport_Import(n_pickle)); }

// ==== a body that cannot be pickled ==========================================

// Whether pickle.dumps(obj) fails with an ordinary exception.
bool unpicklable(PyObject* pickle, PyObject* obj) {
    try {
        call_method(pickle, n_dumps, obj);
        return false;
    } catch (Error& err) {
        if (!err.matches(PyExc_Exception)) throw;
        return true;
    }
}

// The innermost processor under `p` (itself unpicklable) that cannot be
// pickled: a child processor held in an attribute, or in a list or tuple
// there, that fails too is the one to name.
Ref culprit(PyObject* pickle, PyObject* p, int depth = 0) {
    Ref base = module::global(n_ProcessorBase);
    Ref attrs = getattr_opt(p, n___dict__);
    if (depth < 32 && attrs && PyDict_Check(attrs.get())) {
        Ref values = check(PyDict_Values(attrs.get()));
        for (Py_ssize_t i = 0; i < PyList_Size(values.get()); ++i) {
            PyObject* v = PyList_GetItem(values.get(), i);
            Ref held = (PyList_Check(v) || PyTuple_Check(v)) ? check(PySequence_List(v))
                                                              : tuple(v);
            Ref it = iter(held.get());
            while (Ref child = next(it.get()))
                if (isinstance(child.get(), base.get()) && unpicklable(pickle, child.get()))
                    return culprit(pickle, child.get(), depth + 1);
        }
    }
    return call_method(p, n_name);
}

// TypeError saying what of the run cannot travel to the executor, with the
// pickling error as its cause.
[[noreturn]] void raise_unpicklable(PyObject* self, PyObject* pickle, PyObject* body,
                                    PyObject* args, PyObject* kwargs, Error& err) {
    Handling handling(err);
    Ref what;
    if (unpicklable(pickle, body)) {
        what = check(PyUnicode_FromFormat("step '%S'", culprit(pickle, body).get()));
    } else {
        // A copy of the pairs: pickling runs user code, which may change the dict.
        Ref pairs = check(PyDict_Items(kwargs));
        for (Py_ssize_t i = 0; !what && i < PyList_Size(pairs.get()); ++i) {
            PyObject* pair = PyList_GetItem(pairs.get(), i);
            if (unpicklable(pickle, PyTuple_GetItem(pair, 1)))
                what = check(PyUnicode_FromFormat("keyword argument '%S'",
                                                  PyTuple_GetItem(pair, 0)));
        }
        for (Py_ssize_t i = 0; !what && i < PyTuple_Size(args); ++i)
            if (unpicklable(pickle, PyTuple_GetItem(args, i)))
                what = check(PyUnicode_FromFormat("positional argument %zd", i + 1));
        if (!what) what = str("the body's arguments");
    }
    Ref message = check(PyUnicode_FromFormat(
        "%S '%S' cannot send its body to the executor: %S cannot be pickled (%S)",
        class_name(self).get(), call_method(self, n_name).get(), what.get(), err.value()));
    Ref error = call(PyExc_TypeError, message.get());
    PyException_SetCause(error.get(), Ref::borrow(err.value()).release());
    PyErr_SetObject(PyExc_TypeError, error.get());
    throw_error();
}

// ==== batches ================================================================

Py_ssize_t batch_size(PyObject* self, PyObject* executor, Py_ssize_t items) {
    Ref chosen = getattr_opt(self, n__batch_size);
    if (chosen && chosen.get() != Py_None) return checked_batch_size(chosen.get());
    Py_ssize_t workers = 0;
    Ref declared = getattr_opt(executor, n__max_workers);
    if (declared && PyLong_Check(declared.get())) {
        workers = PyLong_AsSsize_t(declared.get());
        if (workers == -1 && PyErr_Occurred()) PyErr_Clear();
    }
    if (workers < 1) {
        Ref cpus = call_method(module::global(n_os).get(), n_cpu_count);
        workers = PyLong_Check(cpus.get()) ? PyLong_AsSsize_t(cpus.get()) : 1;
        if (workers < 1) {
            PyErr_Clear();
            workers = 1;
        }
    }
    Py_ssize_t tasks = workers * k_tasks_per_worker;
    return items / tasks + (items % tasks ? 1 : 0);
}

void cancel_all(PyObject* futures) noexcept {
    for (Py_ssize_t i = 0, n = PyList_Size(futures); i < n; ++i) {
        Ref r = Ref::steal(PyObject_CallMethodObjArgs(PyList_GetItem(futures, i),
                                                      n_cancel.get(), nullptr));
        if (!r) PyErr_Clear();
    }
}

// Cancels the tasks not started; returns those that could not be cancelled.
// Only these are waited for: an executor may never mark a future it was
// told to cancel as done (a cluster's executor cancels on its own side).
Ref cancel_pending(PyObject* futures) {
    Ref left = list();
    for (Py_ssize_t i = 0, n = PyList_Size(futures); i < n; ++i) {
        PyObject* f = PyList_GetItem(futures, i);
        if (!truthy(call_method(f, n_cancel).get())) append(left.get(), f);
    }
    return left;
}

// Waits for every task; the first that fails cancels those not started,
// and its error is raised once the running ones have ended.
void wait_all(PyObject* cf, PyObject* futures) {
    Ref done = call(getattr(cf, n_as_completed).get(), futures);
    while (Ref f = next(done.get())) {
        Ref error = call_method(f.get(), n_exception);
        if (error.get() == Py_None) continue;
        Ref running = cancel_pending(futures);
        call(getattr(cf, n_wait).get(), running.get());
        PyObject* tb = PyException_GetTraceback(error.get());  // new reference
        Ref type = Ref::borrow((PyObject*)Py_TYPE(error.get()));
        PyErr_Restore(type.release(), error.release(), tb);
        throw_error();
    }
}

// record[name] += seconds for each step time a task brought back.
void merge_times(PyObject* record, PyObject* times) {
    if (!record || times == Py_None) return;
    Ref pairs = check(PyMapping_Items(times));
    for (Py_ssize_t i = 0; i < PyList_Size(pairs.get()); ++i) {
        PyObject* pair = PyList_GetItem(pairs.get(), i);
        PyObject* name = PyTuple_GetItem(pair, 0);
        PyObject* seconds = PyTuple_GetItem(pair, 1);
        int present = check_int(PySequence_Contains(record, name));
        if (!present) {
            check_int(PyObject_SetItem(record, name, seconds));
        } else {
            Ref sum = check(PyNumber_InPlaceAdd(get_item(record, name).get(), seconds));
            check_int(PyObject_SetItem(record, name, sum.get()));
        }
    }
}

// ==== the task ===============================================================

// _run_loop_batch(payload, items): runs the pickled (body, args, kwargs) over
// the items; returns (outputs, step times or None).
Ref run_loop_batch(PyObject*, PyObject* args, PyObject* kwargs) {
    static const Signature params{"_run_loop_batch", {"payload", "items"}, 2};
    Bound<2> a(params, args, kwargs);
    Ref run = call_method(pickle_module().get(), n_loads, a[0]);
    if (!PyTuple_Check(run.get()) || PyTuple_Size(run.get()) != 3 ||
        !PyTuple_Check(PyTuple_GetItem(run.get(), 1)) ||
        !PyDict_Check(PyTuple_GetItem(run.get(), 2)))
        raise(PyExc_TypeError, "_run_loop_batch() payload must hold (body, args, kwargs)");
    PyObject* body = PyTuple_GetItem(run.get(), 0);
    PyObject* body_args = PyTuple_GetItem(run.get(), 1);
    PyObject* body_kwargs = PyTuple_GetItem(run.get(), 2);

    // The record came along as a copy of the caller's: only this batch's
    // times go back.  The run's dictionaries share it, so clearing it in
    // place reaches all of them.
    Ref times;
    if (PyObject* record = dict_get(body_kwargs, module::global(n_TIME_KEY).get())) {
        if (PyDict_CheckExact(record)) {
            times = Ref::borrow(record);
            PyDict_Clear(record);
        }
    }
    Ref out = list();
    Ref it = iter(a[1]);
    while (Ref item = next(it.get())) {
        Ref pos = prepend(item.get(), body_args);
        append(out.get(), sub_process(body, pos.get(), body_kwargs).get());
    }
    return tuple(out.get(), times ? times.get() : Py_None);
}

PyMethodDef batch_def[] = {
    CU_VARARGS_SIG("_run_loop_batch", run_loop_batch, "(payload, items)",
                   "Runs a loop body pickled as (body, args, kwargs) over items; returns "
                   "(outputs, step times)."),
    CU_END,
};

}  // namespace

// ==== the caller's side ======================================================

bool is_executor(PyObject* value) {
    if (value == Py_True || value == Py_False || value == Py_None) return false;
    Ref cf = futures_module();
    return cf && isinstance(value, getattr(cf.get(), n_Executor).get());
}

Ref run_on_executor(PyObject* self, PyObject* executor, PyObject* items, PyObject* args,
                    PyObject* kwargs) {
    Ref cf = futures_module();
    Ref pickle = pickle_module();
    Ref body = getattr(self, n__processors);
    Ref payload;
    try {
        payload = call_method(pickle.get(), n_dumps, tuple(body.get(), args, kwargs).get());
    } catch (Error& err) {
        if (!err.matches(PyExc_Exception)) throw;
        raise_unpicklable(self, pickle.get(), body.get(), args, kwargs, err);
    }

    Py_ssize_t n = PyList_Size(items);
    Ref futures = list();
    if (n) {
        Py_ssize_t size = batch_size(self, executor, n);
        try {
            for (Py_ssize_t start = 0; start < n; start += size) {
                Ref batch = check(PyList_GetSlice(items, start, start + size));
                Ref task = getattr(self, n__run_loop_batch);
                append(futures.get(),
                       call_method(executor, n_submit, task.get(), payload.get(), batch.get())
                           .get());
            }
            wait_all(cf.get(), futures.get());
        } catch (Error&) {
            cancel_all(futures.get());
            throw;
        }
    }

    Ref out = list();
    PyObject* record = dict_get(kwargs, module::global(n_TIME_KEY).get());
    Ref keep_record = Ref::borrow(record);
    for (Py_ssize_t i = 0; i < PyList_Size(futures.get()); ++i) {
        Ref done = call_method(PyList_GetItem(futures.get(), i), n_result);
        if (!PyTuple_Check(done.get()) || PyTuple_Size(done.get()) != 2)
            raise(PyExc_TypeError, "a loop batch returned something else than (outputs, times)");
        Ref outputs = check(PySequence_List(PyTuple_GetItem(done.get(), 0)));
        check_int(PyList_SetSlice(out.get(), PyList_Size(out.get()), PyList_Size(out.get()),
                                  outputs.get()));
        merge_times(record, PyTuple_GetItem(done.get(), 1));
    }
    return out;
}

Ref make_batch_runner() { return make_function(&batch_def[0]); }

}  // namespace cu::pipeline
