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

// ==== sub-pipelines and templates (conditional.cpp), shared with loop.cpp ====

void remember_pipeline_class();
Ref prepend(PyObject* first, PyObject* rest);
Ref sub_process(PyObject* sub, PyObject* args, PyObject* kwargs);
void name_sub_pipeline(PyObject* self, PyObject* kwargs, const Name& suffix);
Ref new_sub_pipeline(PyObject* step, PyObject* args, PyObject* kwargs);
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

// Whether a `_use_aysnc_run` value is a concurrent.futures.Executor.
bool is_executor(PyObject* value);
// The body's outputs for `items` (a list), run in batches on `executor`.
Ref run_on_executor(PyObject* self, PyObject* executor, PyObject* items, PyObject* args,
                    PyObject* kwargs);
// The function a task runs: LoopProcessor._run_loop_batch(payload, items).
Ref make_batch_runner();

}  // namespace cu::pipeline
