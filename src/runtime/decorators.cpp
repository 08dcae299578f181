// Function decorators: deprecated, retry, call_report.
#include "clock.hpp"
#include "../bridge/args.hpp"
#include "../bridge/closure.hpp"
#include "../bridge/entry.hpp"
#include "../bridge/module.hpp"
#include "../logging/log.hpp"

namespace cu::runtime {

namespace {

const Name n_warnings("warnings"), n_functools("functools"), n_wraps("wraps"),
    n_simplefilter("simplefilter"), n_warn("warn"), n_always("always"), n_default("default"),
    n_DeprecationWarning("DeprecationWarning"), n_category("category"),
    n_stacklevel("stacklevel"), n___name__("__name__");

// ==== deprecated =============================================================

class DeprecatedCall : public Callback {
public:
    explicit DeprecatedCall(Ref func) : func_(std::move(func)) {}

    // Every step reads `warnings` and `DeprecationWarning` from the namespace
    // itself, in the order a Python body would: a showwarning hook or the
    // target's __name__ may rebind them between the steps.
    Ref call(PyObject* args, PyObject* kwargs) override {
        filter(n_always);

        Ref warn = getattr(module::global(n_warnings).get(), n_warn);
        static const Name empty_spec("");
        Ref name = getattr(func_.get(), n___name__);
        Ref formatted = check(PyObject_Format(name.get(), empty_spec));
        Ref message = check(PyUnicode_FromFormat("Call to deprecated function %U.",
                                                 formatted.get()));
        // This wrapper has no Python frame of its own, so level 1 is already
        // the line that called the deprecated function.
        call_kw(warn.get(), {message.get()},
                {{n_category, module::global(n_DeprecationWarning).get()},
                 {n_stacklevel, integer(1).get()}});

        filter(n_default);
        return call_args(func_.get(), args, kwargs);
    }

    int traverse(visitproc visit, void* arg) override { return visit_refs(visit, arg, func_); }

private:
    static void filter(const Name& action) {
        Ref simplefilter = getattr(module::global(n_warnings).get(), n_simplefilter);
        cu::call(simplefilter.get(), action.get(), module::global(n_DeprecationWarning).get());
    }

    Ref func_;
};

// `functools.wraps(target)(wrapper)`.
Ref wrap(PyObject* target, Ref wrapper) {
    Ref wraps = call_method(module::global(n_functools).get(), n_wraps, target);
    return call(wraps.get(), wrapper.get());
}

const Signature deprecated_params{"deprecated", {"func"}, 1};

Ref deprecated(PyObject*, PyObject* args, PyObject* kwargs) {
    Bound<1> a(deprecated_params, args, kwargs);
    Ref wrapper = make_closure(std::make_unique<DeprecatedCall>(Ref::borrow(a[0])), "new_func",
                               "deprecated.<locals>.new_func");
    return wrap(a[0], std::move(wrapper));
}

// ==== shared by retry and call_report ========================================

const Name n_time("time"), n_sleep("sleep"), n_optimize("optimize");

// The value of a parameter that must be exactly an int (bool included in the
// refusal), clamped to the long long range: beyond it no loop or counter
// here can reach the bound anyway.
long long exact_int(const char* function, const char* param, PyObject* value) {
    if (!PyLong_CheckExact(value)) raise_wrong_type(function, param, "int", value);
    return as_long_long_clamped(value);
}

const Signature decorator_params{"retry_decorator", {"user_function"}, 1};

// The decorator that retry() and call_report() return.  Applied to a
// function, it gives the wrapper `config.wrap(function)` under the
// function's metadata; `Config` holds the decorator's arguments.
template <class Config>
class Decorator : public Callback {
public:
    Decorator(Config config, const char* qualname)
        : config_(std::move(config)), qualname_(qualname) {}

    Ref call(PyObject* args, PyObject* kwargs) override {
        Bound<1> a(decorator_params, args, kwargs);
        Ref wrapper =
            make_closure(config_.wrap(Ref::borrow(a[0])), "decorating_function", qualname_);
        return wrap(a[0], std::move(wrapper));
    }

    int traverse(visitproc visit, void* arg) override { return config_.traverse(visit, arg); }

private:
    Config config_;
    const char* qualname_;
};

// ==== retry ==================================================================

struct RetryConfig {
    long long num;
    Ref check_data, sleep, catch_except;

    int traverse(visitproc visit, void* arg) const {
        return visit_refs(visit, arg, check_data, sleep, catch_except);
    }
    std::unique_ptr<Callback> wrap(Ref func) const;
};

class RetryCall : public Callback {
public:
    RetryCall(RetryConfig config, Ref func, Ref func_name)
        : config_(std::move(config)), func_(std::move(func)), func_name_(std::move(func_name)) {}

    // Nothing here outlives one call but locals, so a target that calls its
    // own wrapper again simply nests.
    Ref call(PyObject* args, PyObject* kwargs) override {
        PyObject* sentinel = config_.check_data.get();
        Ref result = config_.check_data;
        for (long long count = 1; count <= config_.num; ++count) {
            if (PyObject* r = PyObject_Call(func_.get(), args, kwargs)) {
                result = Ref::steal(r);
            } else {
                Error err;
                if (!err.matches(PyExc_Exception)) throw std::move(err);
                {
                    Handling handling(err);
                    if (!truthy(config_.catch_except.get())) throw std::move(err);
                    CU_LOG(warning, "'%s()' retry get except, skipped. err=%s", func_name_.get(),
                           err.value());
                }
                result = config_.check_data;
            }
            // `!=` as an operator: no identity shortcut, so a NaN sentinel
            // returned as itself still counts as a result.
            if (truthy(check(PyObject_RichCompare(result.get(), sentinel, Py_NE)).get())) break;
            CU_LOG(debug, "'%s()' retry times=%s", func_name_.get(),
                   check(PyLong_FromLongLong(count)).get());
            call_method(module::global(n_time).get(), n_sleep, config_.sleep.get());
        }
        return result;
    }

    int traverse(visitproc visit, void* arg) override {
        if (int err = visit_refs(visit, arg, func_, func_name_)) return err;
        return config_.traverse(visit, arg);
    }

private:
    RetryConfig config_;
    Ref func_, func_name_;
};

std::unique_ptr<Callback> RetryConfig::wrap(Ref func) const {
    Ref name = getattr(func.get(), n___name__);
    return std::make_unique<RetryCall>(*this, std::move(func), std::move(name));
}

// float(sleep), except that text which does not parse is a wrong type here
// rather than a bad value.
Ref sleep_seconds(PyObject* sleep) {
    bool text = PyUnicode_Check(sleep) || PyBytes_Check(sleep) || PyByteArray_Check(sleep);
    if (!text) return check(PyNumber_Float(sleep));
    if (Ref f = check_or_null(PyNumber_Float(sleep), PyExc_ValueError)) return f;
    raise_wrong_type("retry", "sleep", "a real number", sleep);
}

const Signature retry_params{"retry", {"num", "check_data", "sleep", "catch_except"}, 0};

Ref retry(PyObject*, PyObject* args, PyObject* kwargs) {
    Bound<4> a(retry_params, args, kwargs);
    RetryConfig config;
    config.num = a[0] ? exact_int("retry", "num", a[0]) : 3;
    config.check_data = Ref::borrow(a.get(1, Py_None));
    config.sleep = a[2] ? sleep_seconds(a[2]) : floating(0.5);
    config.catch_except = Ref::borrow(a.get(3, Py_False));
    auto decorator = std::make_unique<Decorator<RetryConfig>>(
        std::move(config), "retry.<locals>.retry_decorator.<locals>.decorating_function");
    return make_closure(std::move(decorator), "retry_decorator", "retry.<locals>.retry_decorator");
}

// ==== call_report ============================================================

struct ReportConfig {
    Ref interval;
    long long every;

    int traverse(visitproc visit, void* arg) const { return visit_refs(visit, arg, interval); }
    std::unique_ptr<Callback> wrap(Ref func) const;
};

class ReportCall : public Callback {
public:
    ReportCall(Ref func, Ref interval, long long every)
        : func_(std::move(func)), interval_(std::move(interval)), every_(every) {}

    // The counters change only after the target has returned, so a target
    // that calls its own wrapper again sees (and leaves) them consistent.
    Ref call(PyObject* args, PyObject* kwargs) override {
        Stamp start = time_now();
        Ref ret = call_args(func_.get(), args, kwargs);
        Stamp end = time_now();
        if (!start.patched && !end.patched) {
            cost_ += end.seconds - start.seconds;
        } else {
            cost_ += as_double(elapsed(start, end).get());
        }
        ++count_;
        // Only reachable with assertions off: the modulo fails as Python's does.
        if (every_ == 0) check(PyNumber_Remainder(integer(1).get(), interval_.get()));
        if (count_ % every_ == 0) {
            static const Name general("g");
            Ref name = getattr(func_.get(), n___name__);
            Ref times = check(PyLong_FromLongLong(count_));
            Ref avg = check(PyObject_Format(floating(cost_ / (double)count_).get(), general));
            CU_LOG(info, "call_report info: Function '%s()' call times=%s avg_cost=%ss",
                   name.get(), times.get(), avg.get());
        }
        return ret;
    }

    int traverse(visitproc visit, void* arg) override {
        return visit_refs(visit, arg, func_, interval_);
    }

private:
    Ref func_, interval_;
    long long every_;
    long long count_ = 0;
    double cost_ = 0;
};

std::unique_ptr<Callback> ReportConfig::wrap(Ref func) const {
    return std::make_unique<ReportCall>(std::move(func), interval, every);
}

bool assertions_enabled() {
    PyObject* flags = check_borrowed(PySys_GetObject("flags"));
    Ref optimize = getattr(flags, n_optimize);
    return !truthy(optimize.get());
}

const Signature report_params{"call_report", {"interval"}, 0};

Ref call_report(PyObject*, PyObject* args, PyObject* kwargs) {
    Bound<1> a(report_params, args, kwargs);
    Ref interval = a[0] ? Ref::borrow(a[0]) : integer(1000);
    long long every = exact_int("call_report", "interval", interval.get());
    if (every <= 0 && assertions_enabled()) {
        PyErr_SetNone(PyExc_AssertionError);
        throw_error();
    }
    auto decorator = std::make_unique<Decorator<ReportConfig>>(
        ReportConfig{std::move(interval), every},
        "call_report.<locals>.retry_decorator.<locals>.decorating_function");
    return make_closure(std::move(decorator), "retry_decorator",
                        "call_report.<locals>.retry_decorator");
}

PyMethodDef defs[] = {
    CU_VARARGS_SIG("deprecated", deprecated, "(func)",
                   "Wraps func so that every call first emits a DeprecationWarning naming it."),
    CU_VARARGS_SIG("retry", retry, "(num=3, check_data=None, sleep=0.5, catch_except=False)",
                   "A decorator that calls the function up to num times while it returns "
                   "check_data, sleeping after each such attempt."),
    CU_VARARGS_SIG("call_report", call_report, "(interval=1000)",
                   "A decorator that counts calls and their time, logging the average every "
                   "interval calls."),
    CU_END,
};

}  // namespace

CU_FUNCTIONS(defs, {{"retry", {{"num", "int"}, {"sleep", "float"}}},
                    {"call_report", {{"interval", "int"}}}});

}  // namespace cu::runtime
