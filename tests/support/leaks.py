"""Leak check shared by every native test: run a block of calls many times and
fail if the interpreter's traced memory grows."""

import gc
import os
import tracemalloc

# Under the sanitizer build everything is slower; fewer rounds still show a leak.
SANITIZED = bool(os.environ.get("BREVANTA_SANITIZED"))


def assert_no_leak(block, *, iterations=None, warmup=300, bytes_per_call=16):
    """Call `block()` `iterations` times after a warm-up that fills the
    interpreter's free lists and caches; traced memory may not grow by more
    than `bytes_per_call` per call on average (a leaked object is 16+ bytes).

    A leak grows in every round; the interpreter now and then replaces one of
    its own buffers by a new one of the same size (3.13 does, raising errors),
    which shows as growth in one round only. So a round that grows is measured
    again, and only growth in both counts."""
    if iterations is None:
        iterations = 300 if SANITIZED else 600
    for _ in range(warmup):
        block()
    growth = _growth(block, iterations)
    if growth > iterations * bytes_per_call:
        growth = min(growth, _growth(block, iterations))
    assert growth <= iterations * bytes_per_call, (
        f"traced memory grew by {growth} bytes over {iterations} calls"
    )


def _growth(block, iterations):
    """Traced memory gained over `iterations` calls of `block`."""
    gc.collect()
    tracemalloc.start()
    try:
        gc.collect()
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(iterations):
            block()
        gc.collect()
        after = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    return after - before


def raising(exception, function, *args, **kwargs):
    """A block that calls `function` and requires it to raise `exception`."""

    def block():
        try:
            function(*args, **kwargs)
        except exception:
            return
        raise AssertionError(f"{function!r} did not raise {exception.__name__}")

    return block
