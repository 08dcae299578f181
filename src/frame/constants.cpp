// Import-time constants: the running script, the version, date strings of
// today, yesterday and two days ago, the timing key and the separators.
#include "frame.hpp"

namespace cu::frame {

namespace {
Name n_os("os"), n_sys("sys"), n_path("path"), n_argv("argv"), n_abspath("abspath"),
    n_dirname("dirname"), n_datetime("datetime"), n_now("now"), n_timedelta("timedelta"),
    n_strftime("strftime"), n_days("days");

Ref strftime(PyObject* when, const char* fmt) {
    return call_method(when, n_strftime, str(fmt).get());
}

Ref shifted(PyObject* datetime_mod, PyObject* when, long days) {
    Ref delta = call_method_kw(datetime_mod, n_timedelta, {}, {{n_days, integer(days).get()}});
    return check(PyNumber_Add(when, delta.get()));
}
}  // namespace

void set_script_constants() {
    Ref argv = getattr(module::global(n_sys).get(), n_argv);
    Ref script = get_item(argv.get(), integer(0).get());
    Ref path = getattr(module::global(n_os).get(), n_path);
    Ref bin_file = call_method(path.get(), n_abspath, script.get());
    module::bind("BIN_FILE", bin_file.get());
    module::bind("BIN_ROOT", call_method(path.get(), n_dirname, bin_file.get()).get());
    module::bind("__author__", str("common_utils developers").get());
    module::bind("__version__", str("0.1.0").get());
}

void set_date_constants() {
    Ref datetime_mod = module::global(n_datetime);
    Ref datetime_cls = getattr(datetime_mod.get(), n_datetime);
    Ref today = call_method(datetime_cls.get(), n_now);
    module::bind("today_time", today.get());
    module::bind("today_date", strftime(today.get(), "%Y%m%d").get());
    module::bind("today_date_hour", strftime(today.get(), "%Y%m%d%H").get());
    Ref yesterday = shifted(datetime_mod.get(), today.get(), -1);
    module::bind("yesterday_time", yesterday.get());
    module::bind("yesterday_date", strftime(yesterday.get(), "%Y%m%d").get());
    module::bind("yesterday_date_hour", strftime(yesterday.get(), "%Y%m%d%H").get());
    Ref two_days_ago = shifted(datetime_mod.get(), today.get(), -2);
    module::bind("two_days_ago_times", two_days_ago.get());
    module::bind("two_days_ago_date", strftime(two_days_ago.get(), "%Y%m%d").get());

    module::bind("TIME_KEY", str("time_cost").get());
    static const struct { const char* name; const char* value; } separators[] = {
        {"SEP_VERTICAL_BAR", "|"}, {"SEP_SEMICOLON", ";"}, {"SEP_COLON", ":"},
        {"SEP_COMMA", ","},        {"SEP_TAB", "\t"},      {"SEP_AND", "&"},
        {"SEP_EQUAL", "="},        {"SEP_DOLLAR", "$"},    {"SEP_POUND_SIGN", "#"},
        {"SEP_PLUS", "+"},         {"SEP_MINUS", "-"},     {"SEP_UNDERSCORE", "_"},
        {"SEP_SOH", "\x01"},       {"SEP_DOT", "."},
    };
    for (const auto& sep : separators) module::bind(sep.name, str(sep.value).get());
}

}  // namespace cu::frame
