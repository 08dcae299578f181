// The module body: what importing the module does, step by step.
#pragma once

#include "../bridge/module.hpp"

namespace cu::frame {

void run_imports();             // the library imports, bound in order
void set_script_constants();    // BIN_FILE, BIN_ROOT, __author__, __version__
void set_date_constants();      // today_time ... two_days_ago_date, TIME_KEY, SEP_*
// Binds the definitions from `first` to `last` (1-based rows of the table).
void define_rows(int first, int last);
int definition_count() noexcept;
void check_definition_table();  // every registered maker has a row

}  // namespace cu::frame
