#include "clock.hpp"

#include <ctime>

namespace cu::runtime {

namespace {

const Name n_time("time");

struct Originals {
    Keep module;
    Keep function;
};

const Originals& originals() {
    static Originals o;
    if (!o.module) {
        Ref mod = check(PyImport_ImportModule("time"));
        o.function.set(getattr(mod.get(), n_time));
        o.module.set(std::move(mod));
    }
    return o;
}

// The same value time.time() computes: nanoseconds of CLOCK_REALTIME as an
// integer, divided by 1e9 as a double.
double system_seconds() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    long long ns = (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
    if (ns % 1000000000LL == 0) return (double)(ns / 1000000000LL);
    return (double)ns / 1e9;
}

Ref boxed(const Stamp& s) { return s.patched ? s.patched : floating(s.seconds); }

}  // namespace

Stamp time_now() {
    const Originals& o = originals();
    Ref mod = module::global(n_time);
    Stamp s;
    if (mod.get() == o.module.get()) {
        PyObject* fn = dict_get(check_borrowed(PyModule_GetDict(mod.get())), n_time);
        if (fn == o.function.get()) {
            s.seconds = system_seconds();
            return s;
        }
    }
    s.patched = call(getattr(mod.get(), n_time).get());
    return s;
}

Ref elapsed(const Stamp& start, const Stamp& end) {
    if (!start.patched && !end.patched) return floating(end.seconds - start.seconds);
    return check(PyNumber_Subtract(boxed(end).get(), boxed(start).get()));
}

}  // namespace cu::runtime
