// get_compile_version(): the build date and time, fixed when this file is
// compiled (the compiler honours SOURCE_DATE_EPOCH for reproducible builds).
#include "frame.hpp"
#include "../bridge/entry.hpp"

#include <cstddef>

namespace cu::frame {

namespace {

struct VersionText {
    char data[80] = {};
    std::size_t size = 0;
};

// "compile version: Mmm d yyyy hh:mm:ss (by cu-dev)": __DATE__ pads a
// one-digit day with a blank, which the text does not keep.
constexpr VersionText make_version_text() {
    VersionText v;
    auto put = [&v](const char* s) {
        while (*s) v.data[v.size++] = *s++;
    };
    constexpr const char* date = __DATE__;  // "Mmm dd yyyy"
    put("compile version: ");
    for (int i = 0; i < 3; ++i) v.data[v.size++] = date[i];
    v.data[v.size++] = ' ';
    if (date[4] != ' ') v.data[v.size++] = date[4];
    v.data[v.size++] = date[5];
    v.data[v.size++] = ' ';
    for (int i = 7; i < 11; ++i) v.data[v.size++] = date[i];
    v.data[v.size++] = ' ';
    put(__TIME__);
    put(" (by cu-dev)");
    return v;
}

constexpr VersionText kVersionText = make_version_text();

Ref get_compile_version(PyObject*) {
    return check(PyUnicode_Decode(kVersionText.data, (Py_ssize_t)kVersionText.size, "utf8",
                                  nullptr));
}

PyMethodDef defs[] = {
    CU_NOARGS("get_compile_version", get_compile_version,
              "get_compile_version()\n--\n\n"
              "The build date and time of this module."),
    CU_END,
};

}  // namespace

CU_FUNCTIONS(defs);

}  // namespace cu::frame
