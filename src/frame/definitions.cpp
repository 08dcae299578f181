// The module body in order: the start-up steps and the functions and classes.
// Each subsystem registers the maker of its names with CU_DEFINITION; the
// frame binds them following this table.  A definition row without a maker (a
// part not built into this module) is skipped.
#include "frame.hpp"

#include <vector>

namespace cu::frame {

namespace {

// A row runs a start-up step, or binds the definition `name`.
struct Row {
    const char* name;
    void (*step)();
};

const Row kBody[] = {
    {nullptr, run_imports},
    {nullptr, set_script_constants},
    {"get_compile_version"},          // 1   frame
    {nullptr, apply_nested_loop_patch},
    {nullptr, start_tracemalloc},
    {"_get_velox_logger"},            // 2   logging
    {"get_logger"},                   // 3   logging
    {"logger_append_file"},           // 4   logging
    {"get_file_logger"},              // 5   logging
    {"deprecated"},                   // 6   runtime
    {nullptr, bind_module_logger},
    {nullptr, set_date_constants},
    {"set_logger_level"},             // 7   logging
    {"add_logger_file"},              // 8   logging
    {"_EnhanceSafeLoader"},           // 9   config
    {"list_to_keyvalue"},             // 10  config
    {"list_to_keyvalue2"},            // 11  config
    {"str_to_bool"},                  // 12  config
    {"parser_add_bool"},              // 13  config
    {"init_default_parser"},          // 14  config
    {"parse_args_and_yaml_argument"}, // 15  config
    {"parse_args_and_yaml"},          // 16  config
    {"callback_fn_demo"},             // 17  config
    {"init_parser"},                  // 18  config
    {"is_ipython"},                   // 19  runtime
    {"is_async_context"},             // 20  runtime
    {"is_async_callable"},            // 21  runtime
    {"run_in_threadpool"},            // 22  runtime
    {"get_except_info"},              // 23  runtime
    {"print_to_string"},              // 24  runtime
    {"MLStripper"},                   // 25  runtime
    {"strip_tags"},                   // 26  runtime
    {"retry"},                        // 27  runtime
    {"call_report"},                  // 28  runtime
    {"_make_key"},                    // 29  cache
    {"_CacheInfo"},                   // 30  cache
    {"LRUCache"},                     // 31  cache
    {"FileCache"},                    // 32  cache
    {"ProcessorBase"},                // 33  pipeline
    {"FunctionProcessor"},            // 34  pipeline
    {"_create_processor"},            // 35  pipeline
    {"ARG_TYPE"},                     // 36  pipeline
    {"StopRunError"},                 // 37  pipeline
    {"Processor"},                    // 38  pipeline
    {"ConditionalProcessor"},         // 39  pipeline
    {"FunctionSelector"},             // 40  pipeline
    {"LoopProcessor"},                // 41  pipeline
    {"FunctionLooper"},               // 42  pipeline
    {"ContextProcessor"},             // 43  pipeline
    {"StopRunProcessor"},             // 44  pipeline
    {"SimpleSelector"},               // 45  pipeline
    {"SimpleLooper"},                 // 46  pipeline
    {"LRUCacheProcessor"},            // 47  pipeline
    {"SQLiteDB"},                     // 48  services
    {"send_notice"},                  // 49  services
    {"send_notice_markdown"},         // 50  services
    {"send_notice_kv"},               // 51  services
    {"cmd_process_return_data"},      // 52  runtime
    {"cmd_process"},                  // 53  runtime
    {"install_and_import"},           // 54  runtime
};

void check_definition_table() {
    std::vector<const char*> names;
    for (const Row& row : kBody)
        if (row.name) names.push_back(row.name);
    names.push_back(nullptr);
    if (const char* stray = unlisted_definition(names.data()))
        raisef(PyExc_SystemError, "definition '%s' has no row in the definition table", stray);
}

}  // namespace

void run_body() {
    check_definition_table();
    for (const Row& row : kBody) {
        if (row.step)
            row.step();
        else if (Ref made = make_definition(row.name))
            module::bind(row.name, made.get());
    }
}

}  // namespace cu::frame
