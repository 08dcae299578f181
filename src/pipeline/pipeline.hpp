// Shared pieces of the pipeline units: the data-passing modes and the names
// of the classes every unit looks up.
#pragma once

#include "processor_base.hpp"

namespace cu::pipeline {

// ARG_TYPE as defined here and its members.
extern Keep g_arg_type, g_arg_default, g_arg_fixed, g_arg_disable;

enum class Mode { plain, fixed, disable };

// The mode an `_input_arg_type` value stands for, compared against the
// ARG_TYPE bound in the module namespace now (DEFAULT for anything else).
Mode mode_of(PyObject* arg_type);

// StopRunError as defined here (for catching it in the step runner).
extern Keep g_stop_run_error;

// ==== rules shared by the processors (subpipeline.cpp) ========================

// fmt % (a,) and fmt % (a, b).
Ref percent(const Name& fmt, PyObject* a);
Ref percent(const Name& fmt, PyObject* a, PyObject* b);
// ValueError(fmt % self.name()), the one way every processor reports that
// process() ran before a successful init().
[[noreturn]] void raise_not_ready(PyObject* self, const Name& fmt);

// Initialises the processors of `children` (an iterable) that are not ready
// yet; a failure does not stop the others.  The owner is set ready when all
// succeeded.  `count` is how many were initialised.
struct ChildrenInit {
    bool ok;
    long count;
};
ChildrenInit init_children(PyObject* self, PyObject* children);

// The argument `x` of a function declared f(x, *args, **kwargs), bound by
// hand (by position or keyword) because such functions run on every call of
// their processor; borrowed from args or kwargs.
PyObject* bind_x(const char* fn, PyObject* args, PyObject* kwargs);

// ==== sub-pipelines and templates (subpipeline.cpp) ==========================

void remember_pipeline_class();
Ref prepend(PyObject* first, PyObject* rest);
// sub.process(*args, **kwargs)
Ref sub_process(PyObject* sub, PyObject* args, PyObject* kwargs);
// Processor.process(self, *args, **kwargs) itself (processor.cpp).
Ref run_pipeline(PyObject* self, PyObject* args, PyObject* kwargs);
// super(cls, self).__init__(*args, **kwargs), the base given its own copy of
// kwargs.
void init_base(PyObject* cls, PyObject* self, PyObject* args, PyObject* kwargs);
// self.<attr> = Processor(steps, *args, **kwargs) with kwargs['name'] set to
// the owner's name followed by `suffix` first; falsy steps are replaced by
// `fallback` when one is given.
void add_sub_pipeline(PyObject* self, const Name& attr, const Name& suffix, PyObject* steps,
                      PyObject* args, PyObject* kwargs, PyObject* fallback = nullptr);
// init_children over the sub-pipelines held in `attrs`, then the owner's
// debug line `over_fmt` with (name, flag).
bool init_sub_pipelines(PyObject* self, const Name* const* attrs, int count,
                        const Name& over_fmt);
Ref base_description(PyObject* cls, PyObject* self);
Ref sub_processor_list(PyObject* sub);
Ref bind_template(PyObject* self, PyObject* args, PyObject* kwargs, const char* name_fmt);
Ref template_init(PyObject* self, PyObject* args, PyObject* kwargs);
void run_class_init(PyObject* cls, PyObject* self, PyObject* args, PyObject* kwargs,
                    const Name& key, PyObject* value);
void expose_for_pickle(PyObject* cls, const char* attr, PyObject* fn);
Ref complete_template(PyObject* cls, PyObject* self, PyObject* args, PyObject* kwargs,
                      const Name& key);

// ==== the executor mode of the loop processor (loop_executor.cpp) =============

// A batch_size value as a size: ValueError when it is below 1.
Py_ssize_t checked_batch_size(PyObject* value);
// Whether a `_use_aysnc_run` value is a concurrent.futures.Executor.
bool is_executor(PyObject* value);
// The body's outputs for `items` (a list), run in batches on `executor`.
Ref run_on_executor(PyObject* self, PyObject* executor, PyObject* items, PyObject* args,
                    PyObject* kwargs);
// The function a task runs: LoopProcessor._run_loop_batch(payload, items).
Ref make_batch_runner();

}  // namespace cu::pipeline
