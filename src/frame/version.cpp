// get_compile_version(): the build date and time, fixed when this file is
// compiled (the compiler honours SOURCE_DATE_EPOCH for reproducible builds).
#include "frame.hpp"
#include "../bridge/entry.hpp"

#include <string>

namespace cu::frame {

namespace {

// "compile version: Mmm d yyyy hh:mm:ss (by cu-dev)": __DATE__ ("Mmm dd
// yyyy") pads a one-digit day with a blank, which the text does not keep.
Ref get_compile_version(PyObject*) {
    const std::string date = __DATE__;
    std::string day = date.substr(4, 2);
    if (day[0] == ' ') day.erase(0, 1);
    return str("compile version: " + date.substr(0, 3) + " " + day + " " + date.substr(7) + " " +
               __TIME__ + " (by cu-dev)");
}

PyMethodDef defs[] = {
    CU_NOARGS_SIG("get_compile_version", get_compile_version, "()",
                  "The build date and time of this module."),
    CU_END,
};

}  // namespace

CU_FUNCTIONS(defs);

}  // namespace cu::frame
