// The order in which the module defines its functions and classes.  Each
// subsystem registers the maker of its names with CU_DEFINITION; the frame
// binds them following this table.  A row without a maker (a part not built
// into this module) is skipped.
#include "frame.hpp"

namespace cu::frame {

namespace {

const char* const kDefinitionTable[] = {
    "get_compile_version",           // 1   frame
    "_get_velox_logger",             // 2   logging
    "get_logger",                    // 3   logging
    "logger_append_file",            // 4   logging
    "get_file_logger",               // 5   logging
    "deprecated",                    // 6   runtime
    "set_logger_level",              // 7   logging
    "add_logger_file",               // 8   logging
    "_EnhanceSafeLoader",            // 9   config
    "list_to_keyvalue",              // 10  config
    "list_to_keyvalue2",             // 11  config
    "str_to_bool",                   // 12  config
    "parser_add_bool",               // 13  config
    "init_default_parser",           // 14  config
    "parse_args_and_yaml_argument",  // 15  config
    "parse_args_and_yaml",           // 16  config
    "callback_fn_demo",              // 17  config
    "init_parser",                   // 18  config
    "is_ipython",                    // 19  runtime
    "is_async_context",              // 20  runtime
    "is_async_callable",             // 21  runtime
    "run_in_threadpool",             // 22  runtime
    "get_except_info",               // 23  runtime
    "print_to_string",               // 24  runtime
    "MLStripper",                    // 25  runtime
    "strip_tags",                    // 26  runtime
    "retry",                         // 27  runtime
    "call_report",                   // 28  runtime
    "_make_key",                     // 29  cache
    "_CacheInfo",                    // 30  cache
    "LRUCache",                      // 31  cache
    "FileCache",                     // 32  cache
    "ProcessorBase",                 // 33  pipeline
    "FunctionProcessor",             // 34  pipeline
    "_create_processor",             // 35  pipeline
    "ARG_TYPE",                      // 36  pipeline
    "StopRunError",                  // 37  pipeline
    "Processor",                     // 38  pipeline
    "ConditionalProcessor",          // 39  pipeline
    "FunctionSelector",              // 40  pipeline
    "LoopProcessor",                 // 41  pipeline
    "FunctionLooper",                // 42  pipeline
    "ContextProcessor",              // 43  pipeline
    "StopRunProcessor",              // 44  pipeline
    "SimpleSelector",                // 45  pipeline
    "SimpleLooper",                  // 46  pipeline
    "LRUCacheProcessor",             // 47  pipeline
    "SQLiteDB",                      // 48  services
    "send_notice",                   // 49  services
    "send_notice_markdown",          // 50  services
    "send_notice_kv",                // 51  services
    "cmd_process_return_data",       // 52  runtime
    "cmd_process",                   // 53  runtime
    "install_and_import",            // 54  runtime
    nullptr,
};

constexpr int kRows = sizeof(kDefinitionTable) / sizeof(kDefinitionTable[0]) - 1;

}  // namespace

int definition_count() noexcept { return kRows; }

void check_definition_table() {
    if (const char* stray = unlisted_definition(kDefinitionTable))
        raisef(PyExc_SystemError, "definition '%s' has no row in the definition table", stray);
}

void define_rows(int first, int last) {
    for (int row = first; row <= last && row <= kRows; ++row) {
        const char* name = kDefinitionTable[row - 1];
        if (Maker make = find_definition(name)) module::bind(name, make().get());
    }
}

}  // namespace cu::frame
