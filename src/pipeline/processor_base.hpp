// Names and class objects of the processor base shared by the pipeline units.
#pragma once

#include "../bridge/guard.hpp"
#include "../bridge/module.hpp"

namespace cu::pipeline {

extern const Name n_model_args, n_spark_session, n_name, n_ready, n__model_args,
    n__spark_session, n__name, n__ready, n__user_function, n_process, n_as_dict, n_is_ready,
    n_set_ready, n_init, n___class__, n___name__, n___init__, n_ProcessorBase,
    n_FunctionProcessor;

// The classes as this module defined them (what a class body's __class__
// cell would hold); module-level look-ups go through module::global instead.
extern Keep g_processor_base;
extern Keep g_function_processor;

// The methods the run path calls on processors, one bit each.
enum : ClassSnapshot::Names { b_name = 1u << 0, b_is_ready = 1u << 1, b_process = 1u << 2,
                              b_one_process = 1u << 3 };

// Records a processor class of this module as made, for `resolves`; gives
// the class back.
Ref own_processor_class(Ref cls);
// Whether `obj.<name>` (the method that `bit` stands for) is `expected`: an
// exact instance of a class of this module is proved by that class's
// snapshot, which probes every bit asked for in one pass; any other object
// by resolves_to.
bool resolves(PyObject* obj, ClassSnapshot::Names bit, const Name& name, PyObject* expected);

// p.is_ready() and p.name(): for an exact instance of a class of this module
// whose snapshot proves the base method, the value is read straight from the
// instance; otherwise the method is called.
Ref ready_of(PyObject* p);
Ref step_name(PyObject* p);

// Calls `p.process(*args, **kwargs)`; a FunctionProcessor whose process is
// neither overridden nor shadowed calls its function directly.
Ref call_process(PyObject* p, PyObject* args, PyObject* kwargs);

// Whether `p.name()` is ProcessorBase.name, neither overridden nor shadowed.
bool has_base_name(PyObject* p);
// ProcessorBase.name(p) without the method call.
Ref base_name_of(PyObject* p);

// ValueError "function '<fn>' is not callable" unless `fn` is callable.
void require_callable(PyObject* fn);

// type(self).__name__ as Python code reads it: self.__class__.__name__.
Ref class_name(PyObject* self);

// Adds __reduce_ex__ and __setstate__ to ProcessorBase (pickling.cpp).
void add_pickle_support(PyObject* cls);

}  // namespace cu::pipeline
