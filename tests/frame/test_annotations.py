"""The annotations every module-level function carries, in their order."""
import inspect

import pytest

import common_utils.common_utils as cu

LOGGER = "logging.Logger"
ANNOTATIONS = {
    "get_compile_version": {},
    "_get_velox_logger": {},
    "get_logger": {"name": "str", "return": LOGGER},
    "logger_append_file": {"logger": LOGGER, "file_name": "str", "return": LOGGER},
    "get_file_logger": {"name": "str", "return": LOGGER},
    "deprecated": {},
    "set_logger_level": {},
    "add_logger_file": {},
    "is_ipython": {},
    "is_async_context": {},
    "is_async_callable": {"obj": "Any", "return": "bool"},
    "run_in_threadpool": {"func": "Callable"},
    "get_except_info": {"return": "Tuple[str, str]"},
    "print_to_string": {},
    "strip_tags": {},
    "retry": {"num": "int", "sleep": "float"},
    "call_report": {"interval": "int"},
    "_create_processor": {
        "processor": "Union[ProcessorBase, Callable, str]", "module": "ModuleType",
        "return": "object"},
}


@pytest.mark.parametrize("name, expected", ANNOTATIONS.items(), ids=list(ANNOTATIONS))
def test_function_annotations(name, expected):
    f = getattr(cu, name)
    assert list(f.__annotations__.items()) == list(expected.items())
    signature = inspect.signature(f)
    shown = {p.name: p.annotation for p in signature.parameters.values()
             if p.annotation is not p.empty}
    if signature.return_annotation is not signature.empty:
        shown["return"] = signature.return_annotation
    assert shown == expected
