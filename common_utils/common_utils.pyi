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
from io import StringIO as StringIO
from types import ModuleType as ModuleType
from typing import Any as Any
from typing import Callable as Callable
from typing import Dict as Dict
from typing import Final as Final
from typing import List as List
from typing import Literal as Literal
from typing import Iterator, Optional, TypeVar
from typing import Tuple as Tuple
from typing import Union as Union

import anyio as anyio
import nest_asyncio as nest_asyncio  # type: ignore  # ships no type information
import requests as requests
import yaml as yaml

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

# ==== runtime ================================================================

def deprecated(func: _F) -> _F: ...
def is_ipython() -> bool: ...
def is_async_context() -> bool: ...
def is_async_callable(obj: Any) -> bool: ...
async def run_in_threadpool(func: Callable[..., _T], *args: Any, **kwargs: Any) -> _T: ...

# ==== text utilities and decorators ==========================================

# ==== cache ==================================================================

# ==== pipeline ===============================================================

class ProcessorBase:
    _model_args: Any
    _spark_session: Any
    _name: Optional[str]
    _ready: Any
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

# ==== services ===============================================================

# ==== commands ===============================================================
