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

}  // namespace cu::pipeline
