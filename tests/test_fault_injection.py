"""Fault injection: every operation that compares or computes keys, failed at every
position it calls back into Python.

A shared countdown makes the k-th comparison, truth test or key call raise, for
k = 1, 2, ... until the operation completes without reaching the fault. Each time
the caller must get that very exception object, the tree must be exactly as before,
and every reference taken must have been given back.
"""

import random

import pytest
from support import check_shape, figures, refs, state

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
# (lo, hi) probe pairs: absent below, present ends, absent and present middles.
PROBES = [(-1, 31), (0, 28), (13, 13), (14, 17), (27, 28)]
OPS = {
    "insert": lambda t, lo, hi: t.insert(lo),
    "remove": lambda t, lo, hi: t.remove(lo),
    "remove_key": lambda t, lo, hi: t.remove_key(hi),
    "search": lambda t, lo, hi: t.search(lo),
    "search_key": lambda t, lo, hi: t.search_key(hi),
    "contains": lambda t, lo, hi: t.contains(lo),
    "in": lambda t, lo, hi: lo in t,
    "contains_key": lambda t, lo, hi: t.contains_key(hi),
    "range": lambda t, lo, hi: list(t.range(lo, hi, include_end=True)),
    "range_open": lambda t, lo, hi: list(t.range(None, hi, include_start=False)),
    "iter_from": lambda t, lo, hi: list(t.iter_from(lo, 4)),
    "iter_to": lambda t, lo, hi: list(t.iter_to(hi, 20)),
    "constructor": None,  # builds its own tree from the stored keys and the probes
}
CHANNELS = {"compare": None, "truth": None, "key": key_call}  # channel -> tree's key


def attempt(fn):
    """Run ``fn``; return the exception it raised (detached from its frames) or None."""
    try:
        fn()
    except BaseException as exc:  # noqa: BLE001
        exc.__traceback__ = None
        return exc
    return None


@pytest.mark.parametrize("channel", CHANNELS)
@pytest.mark.parametrize("op", OPS)
def test_every_fault_position_leaves_no_trace(op, channel):
    key_spec = CHANNELS[channel]
    order = STORED[:]
    random.Random(op).shuffle(order)
    injected = 0
    for lo_k, hi_k in PROBES:
        fresh = [Key(k) for k in order]
        lo, hi = Key(lo_k), Key(hi_k)
        tree = AVLTree(fresh, key=key_spec)
        if op == "constructor":
            values = fresh + [lo, hi, Key(order[0])]  # a duplicate key too
            run = lambda: AVLTree(values, key=key_spec)  # noqa: E731, B023 (called below)
        else:
            run = lambda: OPS[op](tree, lo, hi)  # noqa: E731, B023 (called below)
        watched = fresh + [lo, hi]
        before, shape = refs(watched), state(tree)
        at = 0
        while True:
            at += 1
            Fault.arm(channel, at)
            exc = attempt(run)
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
    reaches_python = channel != "key" or op in {"insert", "remove", "search", "contains",
                                                "in", "constructor"}
    assert (injected > 0) is reaches_python
