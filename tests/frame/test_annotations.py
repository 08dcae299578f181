"""The annotations every module-level function carries, in their order."""
import pytest

import common_utils.common_utils as cu

LOGGER = "logging.Logger"
ANNOTATIONS = {
    "get_compile_version": {}, "_get_velox_logger": {}, "deprecated": {},
    "set_logger_level": {}, "add_logger_file": {}, "is_ipython": {}, "is_async_context": {},
    "print_to_string": {}, "strip_tags": {},
    "get_logger": {"name": "str", "return": LOGGER},
    "logger_append_file": {"logger": LOGGER, "file_name": "str", "return": LOGGER},
    "get_file_logger": {"name": "str", "return": LOGGER},
    "is_async_callable": {"obj": "Any", "return": "bool"},
    "run_in_threadpool": {"func": "Callable"},
    "get_except_info": {"return": "Tuple[str, str]"},
    "retry": {"num": "int", "sleep": "float"},
    "call_report": {"interval": "int"},
    "_create_processor": {"processor": "Union[ProcessorBase, Callable, str]",
                          "module": "ModuleType", "return": "object"},
}


@pytest.mark.parametrize("name, expected", ANNOTATIONS.items(), ids=list(ANNOTATIONS))
def test_function_annotations(name, expected):
    assert list(getattr(cu, name).__annotations__.items()) == list(expected.items())
