"""The "not ready" error is built alike by every processor that holds others."""
import pytest

import common_utils.common_utils as cu


def step(x=None, **kwargs): return x


@pytest.mark.parametrize("cls, specs, text", [
    ("Processor", [step], "processor 'a' is not ready"),
    ("ConditionalProcessor", [step, step, None], "Selector 'a' is not ready"),
    ("LoopProcessor", [step, step], "Looper 'a' is not ready"),
])
def test_a_tuple_name_fills_the_message_as_its_format_arguments(cls, specs, text):
    p = getattr(cu, cls)(*specs)
    p.name = lambda: ("a",)
    with pytest.raises(ValueError, match=f"^{text}$"):
        p.process(1)
    p.name = lambda: ("a", "b")
    with pytest.raises(TypeError, match="not all arguments converted"):
        p.process(1)
