"""Fault injection: every operation, failed at every position it calls back into Python
through a comparison or a key call (an operation that reaches neither must not).

A shared countdown makes the k-th comparison, truth test or key call raise, for
k = 1, 2, ... until the operation completes without reaching the fault. Each time
the caller must get that very exception object, the tree must be exactly as before,
and every reference taken must have been given back.
"""

import itertools

import pytest
from support import (
    COMPARES,
    EXTRACTS,
    OPERATIONS,
    Probe,
    check_shape,
    figures,
    operation_id,
    refs,
    seeded,
    state,
)

from tervalo import AVLTree


class Fault:
    """Counts calls on one channel; the ``at``-th raises a fresh exception."""

    channel, at, calls, error = None, 0, 0, None

    @classmethod
    def arm(cls, channel, at):
        cls.channel, cls.at, cls.calls = channel, at, 0
        cls.error = LookupError(f"injected {channel} fault #{at}")

    @classmethod
    def tick(cls, channel):
        if channel == cls.channel:
            cls.calls += 1
            if cls.calls == cls.at:
                raise cls.error


class Truth:
    """A comparison result whose truth test is a channel of its own."""

    live = 0

    def __init__(self, flag):
        self.flag = flag
        Truth.live += 1

    def __del__(self):
        Truth.live -= 1

    def __bool__(self):
        Fault.tick("truth")
        return self.flag


def _comparison(op):
    def compare(self, other):
        Fault.tick("compare")
        result = op(self.k, other.k)
        return Truth(result) if Fault.channel == "truth" else result

    return compare


class Key:
    __slots__ = ("k",)

    def __init__(self, k):
        self.k = k

    __eq__ = _comparison(lambda a, b: a == b)
    __lt__ = _comparison(lambda a, b: a < b)
    __gt__ = _comparison(lambda a, b: a > b)
    __hash__ = None

    def __repr__(self):
        return f"Key({self.k})"


def key_call(value):
    Fault.tick("key")
    return value


STORED = list(range(0, 30, 2))  # 15 keys: a tree of height 4
# (value, key, lo, hi, count) probes: absent below and above, present ends, absent and present
# middles; a value-taking call reads `value`, a key-taking one `key`. A range runs closed from
# `lo` to `hi`, and open from the first value to before `hi`.
PROBES = [(-1, 31, -1, 31, 4), (0, 28, 0, 28, 20), (13, 13, 13, 13, 0), (14, 17, 14, 17, 1),
          (27, 28, 27, 28, 20)]
CHANNELS = {"compare": None, "truth": None, "key": key_call}  # channel -> tree's key
REACHES = {"compare": COMPARES, "truth": COMPARES, "key": EXTRACTS}


def attempt(fn):
    """Run ``fn``; return the exception it raised (detached from its frames) or None."""
    try:
        fn()
    except BaseException as exc:  # noqa: BLE001
        exc.__traceback__ = None
        return exc
    return None


@pytest.mark.parametrize("channel", CHANNELS)
@pytest.mark.parametrize("op", OPERATIONS, ids=operation_id)
def test_every_fault_position_leaves_no_trace(op, channel):
    key_spec = CHANNELS[channel]
    order = STORED[:]
    seeded(op.name).shuffle(order)
    injected = 0
    closings = [True, False] if op.argument == "bounds" else [True]
    for (value, key, lo, hi, count), closed in itertools.product(PROBES, closings):
        fresh = [Key(k) for k in order]
        tree = AVLTree(fresh, key=key_spec)
        probe = Probe(value=Key(value), key=Key(key), lo=Key(lo), hi=Key(hi), count=count,
                      closed=closed, key_spec=key_spec,
                      values=fresh + [Key(value), Key(key), Key(order[0])])  # a duplicate too
        if not closed:
            probe.start = None
        watched = fresh + [probe.value, probe.key, probe.lo, probe.hi]
        before, shape = refs(watched), state(tree)
        at = 0
        while True:
            at += 1
            Fault.arm(channel, at)
            exc = attempt(lambda: op.call(tree, probe))  # noqa: B023 (called at once)
            made, error = Fault.calls, Fault.error
            Fault.arm(None, 0)
            if exc is None:  # the operation got past every position
                break
            assert exc is error, exc
            assert not hasattr(exc, "__notes__")
            del exc, error
            assert state(tree) == shape
            assert refs(watched) == before
            assert Truth.live == 0
            injected += 1
            figures["fault injection"]["injected"] += 1
            figures["fault injection"]["survived"] += 1
        assert made == at - 1  # the clean run called back exactly at - 1 times
        check_shape(tree, key=lambda v: v.k)
    assert (injected > 0) is (REACHES[channel] in op.reaches)
