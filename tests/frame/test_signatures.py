"""inspect.signature() of the module's classes and of classes made from them:
the signature of the C __init__ without `self`, on every interpreter, while
everything that would otherwise decide a class's signature still does."""

import abc
import copy
import functools
import inspect
import pickle
import sys
import types

import pytest

CLASSES = {
    "_EnhanceSafeLoader": "(stream)",
    "MLStripper": "()",
    "LRUCache": "(maxsize=128, report_times=1000)",
    "FileCache": "(filename, **kwargs)",
    "ProcessorBase": "(*args, **kwargs)",
    "FunctionProcessor": "(user_function=None)",
    "StopRunError": "(message='Stop the execution and return directly', out_data=None)",
    "Processor": "(processors, module=None, input_arg_type=None, update_global_kwargs=False, "
                 "use_aysnc_run=False, return_exceptions=False, *args, **kwargs)",
    "ConditionalProcessor": "(selector, true_processors, false_processors, *args, **kwargs)",
    "FunctionSelector": "(user_function=None)",
    "LoopProcessor": "(looper, processors, merge_output=True, use_aysnc_run=False, *args, "
                     "batch_size=None, **kwargs)",
    "FunctionLooper": "(user_function=None)",
    "ContextProcessor": "(processors=None, module=None, model_args=None, processors_ref=None, "
                        "module_ref=None, model_args_ref=None, *args, **kwargs)",
    "StopRunProcessor": "(*args, **kwargs)",
    "SimpleSelector": "(selector=None, *args, **kwargs)",
    "SimpleLooper": "(looper=None, *args, **kwargs)",
    "LRUCacheProcessor": "(cache_keys='in_data', cache_size=128, *args, **kwargs)",
    "SQLiteDB": "(db_file_path)",
}


def test_every_class_with_a_c_init_is_listed(cu):
    c_init = {name for name, obj in vars(cu).items()
              if isinstance(obj, type) and obj.__module__ == cu.__name__
              and isinstance(inspect.getattr_static(obj, "__init__"), types.MethodDescriptorType)}
    assert c_init == set(CLASSES)


@pytest.mark.parametrize("name", CLASSES)
def test_class_signature(cu, name):
    cls = getattr(cu, name)
    assert str(inspect.signature(cls)) == CLASSES[name]
    assert pickle.loads(pickle.dumps(cls)) is cls and copy.deepcopy(cls) is cls


def _own_init(self, a, b=1):
    pass


def _patched(cu):
    cls = type("Patched", (cu.Processor,), {})
    cls.__init__ = _own_init
    return cls


_ONLY = inspect.Signature([inspect.Parameter("only", inspect.Parameter.POSITIONAL_ONLY)])
SUBCLASSES = {  # what decides a class's signature still does
    "inherits": (lambda cu: type("Sub", (cu.Processor,), {}), CLASSES["Processor"]),
    "own init": (lambda cu: type("Own", (cu.LRUCache,), {"__init__": _own_init}), "(a, b=1)"),
    "patched init": (_patched, "(a, b=1)"),
    "abc": (lambda cu: abc.ABCMeta("Abstract", (cu.FileCache,), {}), CLASSES["FileCache"]),
    "metaclass call": (lambda cu: type("Call", (type,), {"__call__": _own_init})(
        "Called", (cu.ProcessorBase,), {}), "(a, b=1)"),
    "mixin signature": (lambda cu: type("Mixed", (cu.Processor, type("Mixin", (), {
        "__signature__": _ONLY})), {}), "(only, /)"),
    "metaclass signature": (lambda cu: type("Meta", (type,), {"__signature__": _ONLY})(
        "WithMeta", (cu.StopRunError,), {}), "(only, /)"),
}


@pytest.mark.parametrize("case", SUBCLASSES)
def test_subclass_signature(cu, case):
    make, expected = SUBCLASSES[case]
    assert str(inspect.signature(make(cu))) == expected


def test_lookups_elsewhere_are_unchanged(cu):
    assert str(inspect.signature(functools.partial(cu.LRUCache, 5))) == "(report_times=1000)"
    cache = cu.LRUCache(4)
    assert str(inspect.signature(cache)) == "(user_function)"  # a callable instance
    own = SUBCLASSES["own init"][0](cu)
    for obj, text in [(cache, "'LRUCache' object has no attribute '__signature__'"),
                      (own, "type object 'Own' has no attribute '__signature__'")]:
        assert not hasattr(obj, "__signature__")
        with pytest.raises(AttributeError) as got:
            obj.__signature__
        assert str(got.value) == text
        if sys.version_info >= (3, 10):
            assert got.value.name == "__signature__" and got.value.obj is obj
    cache.__signature__ = inspect.Signature()  # an instance's own still wins
    assert str(inspect.signature(cache)) == "()"
    hooked = type("Hooked", (cu.ProcessorBase,), {"__getattr__": lambda self, name: name})
    assert hooked().__signature__ == "__signature__"


def test_no_leak(cu, memory_growth):
    own, mixed = SUBCLASSES["own init"][0](cu), SUBCLASSES["mixin signature"][0](cu)
    cache = cu.LRUCache(4)

    def declined():
        getattr(own, "__signature__", None)
        getattr(cache, "__signature__", None)
        mixed.__signature__

    traced, rss = memory_growth(declined, 20_000)
    assert traced < 64 * 1024
    assert rss < 2 * 1024 * 1024
    # An answer runs inspect's parser, whose buffers grow in one-off steps
    # that swamp a per-call loss: references are counted there instead.
    held = [cu.Processor, vars(cu.Processor)["__init__"], vars(cu.ProcessorBase)["__signature__"]]
    before = [sys.getrefcount(obj) for obj in held]
    for _ in range(1_000):
        cu.Processor.__signature__
    assert [sys.getrefcount(obj) for obj in held] == before
