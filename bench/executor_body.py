"""The body of bench/executor_speedup.py, in a module of its own so that
worker processes can import it by name."""


def busy(x, **kwargs):
    """About a millisecond of pure-Python work on one core."""
    total = 0
    for i in range(2000):
        total += i * i % 7
    return total + x
