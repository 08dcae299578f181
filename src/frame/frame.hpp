// The module body: what importing the module does, step by step.
#pragma once

#include "../bridge/module.hpp"

namespace cu::frame {

// The start-up steps, each a row of the body table (definitions.cpp).
void run_imports();              // the library imports, bound in order
void set_script_constants();     // BIN_FILE, BIN_ROOT, __author__, __version__
void apply_nested_loop_patch();  // nest_asyncio.apply()
void start_tracemalloc();        // tracemalloc.start()
void bind_module_logger();       // logger = get_logger(__name__)
void set_date_constants();       // today_time ... two_days_ago_date, TIME_KEY, SEP_*

// Runs the body table top to bottom, after checking that every registered
// definition has its row.
void run_body();

}  // namespace cu::frame
