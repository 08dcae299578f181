# Type stub of the native module.  The module body binds its library imports
# as attributes, so they are re-exported here under their own names.
import abc as abc
import argparse as argparse
import asyncio as asyncio
import collections as collections
import copy as copy
import datetime as datetime
import enum as enum
import functools as functools
import importlib as importlib
import io as io
import json as json
import logging as logging
import os as os
import shelve as shelve
import signal as signal
import sqlite3 as sqlite3
import subprocess as subprocess
import sys as sys
import time as time
import tracemalloc as tracemalloc
import traceback as traceback
import types as types
import warnings as warnings
from abc import abstractmethod as abstractmethod
from collections.abc import Iterable as Iterable
from concurrent.futures import Executor as _Executor
from html.parser import HTMLParser as HTMLParser
from inspect import Signature
from io import StringIO as StringIO
from types import ModuleType as ModuleType
from typing import Any as Any
from typing import Callable as Callable
from typing import Dict as Dict
from typing import Final as Final
from typing import List as List
from typing import Literal as Literal
from typing import ClassVar, Iterator, NamedTuple, Optional, Set, TypeVar
from typing import Tuple as Tuple
from typing import Union as Union

import anyio as anyio
import nest_asyncio2  # type: ignore  # ships no type information
import requests as requests
import yaml as yaml

nest_asyncio = nest_asyncio2  # the maintained fork, under the name the module binds

_F = TypeVar("_F", bound=Callable[..., Any])
_T = TypeVar("_T")

__author__: str
__version__: str

BIN_FILE: str
BIN_ROOT: str

logger: logging.Logger

today_time: datetime.datetime
today_date: str
today_date_hour: str
yesterday_time: datetime.datetime
yesterday_date: str
yesterday_date_hour: str
two_days_ago_times: datetime.datetime
two_days_ago_date: str

TIME_KEY: str
SEP_VERTICAL_BAR: str
SEP_SEMICOLON: str
SEP_COLON: str
SEP_COMMA: str
SEP_TAB: str
SEP_AND: str
SEP_EQUAL: str
SEP_DOLLAR: str
SEP_POUND_SIGN: str
SEP_PLUS: str
SEP_MINUS: str
SEP_UNDERSCORE: str
SEP_SOH: str
SEP_DOT: str

# ==== module frame ===========================================================

def get_compile_version() -> str: ...

# ==== logging ================================================================

def _get_velox_logger() -> Any: ...
def get_logger(name: str) -> logging.Logger: ...
def logger_append_file(logger: logging.Logger, file_name: str) -> logging.Logger: ...
def get_file_logger(name: str, file_name: str) -> logging.Logger: ...
def set_logger_level(log_level: Union[int, str] = 20) -> None: ...
def add_logger_file(file_name: str = "./main.log") -> None: ...

# ==== configuration ==========================================================

class _EnhanceSafeLoader(yaml.SafeLoader):
    _root: str
    __signature__: ClassVar[Signature]
    def __init__(self, stream: Any) -> None: ...
    def include_udf(self, node: yaml.nodes.Node) -> Any: ...
    def find_alias(self, node: Any, tokens: List[str]) -> Any: ...
    def alias_udf(self, node: yaml.nodes.Node) -> Any: ...

class list_to_keyvalue(argparse.Action):
    def __call__(
        self,
        parser: argparse.ArgumentParser,
        namespace: argparse.Namespace,
        values: Any,
        option_string: Optional[str] = None,
    ) -> None: ...

class list_to_keyvalue2(argparse.Action):
    def __call__(
        self,
        parser: argparse.ArgumentParser,
        namespace: argparse.Namespace,
        values: Any,
        option_string: Optional[str] = None,
    ) -> None: ...

def str_to_bool(v: Union[bool, int, str]) -> bool: ...
def parser_add_bool(given_parser: argparse.ArgumentParser, key: str, default: Any = False) -> None: ...
def init_default_parser(
    description: str = "ARGS", task_name: Any = "default", change_config_name: Any = False
) -> argparse.ArgumentParser: ...
def parse_args_and_yaml_argument(
    given_parser: argparse.ArgumentParser, cfg: Dict[str, Any]
) -> Set[str]: ...
def parse_args_and_yaml(
    given_parser: argparse.ArgumentParser,
    parser_args: Optional[List[str]],
    task_name: Any = "default",
    change_config_name: Any = False,
) -> Tuple[argparse.Namespace, List[str]]: ...
def callback_fn_demo(parser: argparse.ArgumentParser) -> argparse.ArgumentParser: ...
def init_parser(
    description: str = "ARGS",
    task_name: Any = "default",
    callback_fn: Optional[Callable[[argparse.ArgumentParser], argparse.ArgumentParser]] = None,
    parser_args: Optional[List[str]] = None,
    change_config_name: Any = False,
    **kwargs: Any,
) -> argparse.Namespace: ...

# ==== runtime ================================================================

def deprecated(func: _F) -> _F: ...
def is_ipython() -> bool: ...
def is_async_context() -> bool: ...
def is_async_callable(obj: Any) -> bool: ...
async def run_in_threadpool(func: Callable[..., _T], *args: Any, **kwargs: Any) -> _T: ...

# ==== text utilities and decorators ==========================================

def get_except_info() -> Tuple[str, str]: ...
def print_to_string(*args: Any, **kwargs: Any) -> str: ...

class MLStripper(HTMLParser):
    strict: bool
    text: StringIO
    __signature__: ClassVar[Signature]
    def __init__(self) -> None: ...
    def handle_data(self, d: str) -> None: ...
    def get_data(self) -> str: ...

def strip_tags(html: str) -> str: ...
def retry(
    num: int = 3, check_data: Any = None, sleep: float = 0.5, catch_except: Any = False
) -> Callable[[_F], _F]: ...
def call_report(interval: int = 1000) -> Callable[[_F], _F]: ...

# ==== cache ==================================================================

def _make_key(
    args: Any,
    kwds: Any = ...,
    kwd_mark: Tuple[Any, ...] = ...,
    fasttypes: Any = ...,
    hash: Callable[[Any], Any] = ...,
) -> Any: ...

class _CacheInfo(NamedTuple):
    hits: int
    misses: int
    maxsize: int
    currsize: int

class _LRUCacheBase(collections.OrderedDict[Any, Any]): ...

class LRUCache(_LRUCacheBase):
    maxsize: int
    hits: int
    misses: int
    report_times: int
    __signature__: ClassVar[Signature]
    def __init__(self, maxsize: int = 128, report_times: int = 1000) -> None: ...
    def __call__(self, user_function: _F) -> _F: ...
    def get(self, key: Any) -> Any: ...  # type: ignore[override]
    def put(self, key: Any, value: Any) -> None: ...
    def cache_info(self) -> _CacheInfo: ...

class FileCache:
    hits: int
    misses: int
    _cache: Optional[shelve.Shelf[Any]]
    __signature__: ClassVar[Signature]
    def __init__(self, filename: str, **kwargs: Any) -> None: ...
    def __del__(self) -> None: ...
    def __call__(self, user_function: _F) -> _F: ...
    def get(self, key: Any) -> Any: ...
    def put(self, key: Any, value: Any) -> None: ...
    def cache_info(self) -> _CacheInfo: ...
    def close(self) -> None: ...

# ==== pipeline ===============================================================

class ProcessorBase:
    _model_args: Any
    _spark_session: Any
    _name: Optional[str]
    _ready: Any
    __signature__: ClassVar[Signature]
    def __init__(self, *args: Any, **kwargs: Any) -> None: ...
    def __del__(self) -> None: ...
    def as_dict(self) -> Dict[str, Any]: ...
    def set_ready(self, ready: bool) -> None: ...
    def is_ready(self) -> bool: ...
    def name(self) -> str: ...
    def init(self) -> bool: ...
    def process(self, *args: Any, **kwargs: Any) -> Any: ...
    def __call__(self, *args: Any, **kwargs: Any) -> Any: ...

class FunctionProcessor(ProcessorBase):
    _user_function: Optional[Callable[..., Any]]
    def __init__(self, user_function: Optional[Callable[..., Any]] = None) -> None: ...
    # Calling binds a function instead of running the processor.
    def __call__(self, user_function: Callable[..., Any]) -> FunctionProcessor: ...  # type: ignore[override]
    def process(self, *args: Any, **kwargs: Any) -> Any: ...
    def as_dict(self) -> Dict[str, Any]: ...

def _create_processor(
    processor: Union[ProcessorBase, Callable[..., Any], str],
    module: Any,
    args: Any,
    kwargs: Any,
) -> ProcessorBase: ...

class ARG_TYPE(enum.Enum):
    DEFAULT = None
    FIXED = "fixed"
    DISABLE = "disable"

class StopRunError(Exception):
    message: Any
    out_data: Any
    __signature__: ClassVar[Signature]
    def __init__(
        self, message: Any = "Stop the execution and return directly", out_data: Any = None
    ) -> None: ...

class Processor(ProcessorBase):
    _processors: List[ProcessorBase]
    _input_arg_type: ARG_TYPE
    _update_global_kwargs: bool
    _return_exceptions: bool
    _use_aysnc_run: bool
    def __init__(
        self,
        processors: Any,
        module: Any = ...,
        input_arg_type: Union[ARG_TYPE, str, None] = None,
        update_global_kwargs: bool = False,
        use_aysnc_run: bool = False,
        return_exceptions: bool = False,
        *args: Any,
        **kwargs: Any,
    ) -> None: ...
    def as_dict(self) -> Dict[str, Any]: ...
    def init(self) -> bool: ...
    def _one_process(
        self, p: ProcessorBase, in_data: Any, out_data: Any, g_kwargs: Dict[str, Any]
    ) -> Any: ...
    # The data is positional only: a keyword named in_data is one of the run's keywords.
    def process(  # type: ignore[override]
        self, in_data: Any = None, /, g_kwargs: Dict[str, Any] = ..., **kwargs: Any
    ) -> Any: ...

class StopRunProcessor(ProcessorBase):
    # Takes at most one datum, where the base takes any.
    def process(self, in_data: Any = None, **kwargs: Any) -> Any: ...  # type: ignore[override]

# ==== control-flow processors ================================================

class ConditionalProcessor(ProcessorBase):
    _selector: Processor
    _true_processors: Processor
    _false_processors: Processor
    def __init__(
        self, selector: Any, true_processors: Any, false_processors: Any, *args: Any, **kwargs: Any
    ) -> None: ...
    def as_dict(self) -> Dict[str, Any]: ...
    def init(self) -> bool: ...
    def process(self, *args: Any, **kwargs: Any) -> Any: ...

class FunctionSelector(ConditionalProcessor):
    _user_function: Optional[Callable[..., Any]]
    def __init__(self, user_function: Optional[Callable[..., Any]] = None) -> None: ...
    # Calling binds the predicate instead of running the processor.
    def __call__(self, user_function: Callable[..., Any]) -> FunctionSelector: ...  # type: ignore[override]
    def init_function_object(self, *args: Any, **kwargs: Any) -> None: ...

class SimpleSelector(ConditionalProcessor):
    def __init__(self, selector: Any = None, *args: Any, **kwargs: Any) -> None: ...

class LoopProcessor(ProcessorBase):
    _looper: Processor
    _processors: Processor
    _merge_output: Any
    # False: one item after the other; a truthy value: all items at once in
    # worker threads; a concurrent.futures.Executor: the items in batches on it.
    _use_aysnc_run: Union[bool, _Executor, Any]
    # Items per executor task; None: about four tasks per worker.
    _batch_size: Optional[int]
    def __init__(
        self,
        looper: Any,
        processors: Any,
        merge_output: Any = True,
        use_aysnc_run: Union[bool, _Executor, Any] = False,
        *args: Any,
        batch_size: Optional[int] = None,
        **kwargs: Any,
    ) -> None: ...
    # The task an executor runs: the pickled (body, args, kwargs) over a batch
    # of items; returns (outputs, step times).
    _run_loop_batch: Callable[[bytes, List[Any]], Tuple[List[Any], Optional[Dict[str, float]]]]
    def as_dict(self) -> Dict[str, Any]: ...
    def init(self) -> bool: ...
    def _loop_process(self, looper_data: Any, *args: Any, **kwargs: Any) -> Iterator[Any]: ...
    def _loop_process_async(self, looper_data: Any, *args: Any, **kwargs: Any) -> List[Any]: ...
    def process(self, in_data: Any = None, *args: Any, **kwargs: Any) -> Any: ...

class FunctionLooper(LoopProcessor):
    _user_function: Optional[Callable[..., Any]]
    def __init__(self, user_function: Optional[Callable[..., Any]] = None) -> None: ...
    # Calling binds the looper function instead of running the processor.
    def __call__(self, user_function: Callable[..., Any]) -> FunctionLooper: ...  # type: ignore[override]
    def init_function_object(self, *args: Any, **kwargs: Any) -> None: ...

class SimpleLooper(LoopProcessor):
    def __init__(self, looper: Any = None, *args: Any, **kwargs: Any) -> None: ...

# ==== context and cached pipelines ===========================================

class ContextProcessor(Processor):
    def __init__(
        self,
        processors: Union[ProcessorBase, Callable[..., Any], List[Any], Dict[str, Any], str, None] = None,
        module: Any = ...,
        model_args: Any = None,
        processors_ref: Optional[str] = None,
        module_ref: Optional[str] = None,
        model_args_ref: Optional[str] = None,
        *args: Any,
        **kwargs: Any,
    ) -> None: ...

class LRUCacheProcessor(ContextProcessor):
    _cache_arg_all_keys: bool
    _cache_arg_keys: List[int]
    _cache_kwarg_keys: List[str]
    _cache: LRUCache
    def __init__(
        self,
        cache_keys: Union[List[str], str, int] = "in_data",
        cache_size: int = 128,
        *args: Any,
        **kwargs: Any,
    ) -> None: ...
    def process(self, in_data: Any = None, *args: Any, **kwargs: Any) -> Any: ...
    def as_dict(self) -> Dict[str, Any]: ...

# ==== services ===============================================================

class SQLiteDB:
    db_file_path: Any
    conn: Optional[sqlite3.Connection]
    __signature__: ClassVar[Signature]
    def __init__(self, db_file_path: Any) -> None: ...
    def __del__(self) -> None: ...
    def open(self) -> None: ...
    def close(self) -> None: ...
    # params: a sequence or mapping of bind parameters
    def query(self, sql: str, params: Any = None) -> List[sqlite3.Row]: ...
    def execute(self, sql: str, params: Any = None) -> None: ...

def send_notice(content: Any, url: str, timeout: Any = 10) -> None: ...
def send_notice_markdown(content: str, url: str, timeout: Any = 10) -> None: ...
def send_notice_kv(
    data: Union[List[Any], Tuple[Any, ...], Dict[Any, Any], str],
    url: str,
    begin_info: Any = "",
    end_info: Any = "",
    timeout: Any = 10,
) -> None: ...

# ==== commands ===============================================================
from typing import Generator as _Generator
from typing import Sequence as _Sequence

def cmd_process_return_data(cmd_arr: Union[str, _Sequence[str]]) -> _Generator[str, None, None]: ...
def cmd_process(cmd_arr: Union[str, _Sequence[str]]) -> None: ...
def install_and_import(
    module: str, package_name: Optional[str] = None, target_path: Optional[str] = None, *args: str
) -> ModuleType: ...
