"""Hostile input: the reconstruction function and the constructor fed generated junk.

Wrong types and tuple lengths, sequences whose ``__len__`` lies or raises, iterators
that break part way, unsorted and repeated pairs, str subclasses that are also
callable, lone surrogates in key names, comparisons that answer non-bools or whose
truth test raises, deeply nested tuples, None keys. Every case must end in a clear
exception or a sound tree, and give back every reference it took. A crash here
takes the test run down with it. Seeded; set TERVALO_HOSTILE_CASES (cases per
family, default 1000) to run longer; tests/fuzz_hostile.py drives the same cases
from a coverage-guided fuzzer.
"""

import gc
import os
import random
import struct
import sys
from collections import namedtuple

import numpy as np
import pytest
from support import CallableName, Token, check_shape, figures, refs, same_objects, seeded, state

import tervalo
from tervalo import AVLTree
from tervalo import tervalo as ext

CASES = int(os.environ.get("TERVALO_HOSTILE_CASES", "1000"))
CAPACITY = 2**59 if struct.calcsize("P") == 8 else 2**28  # pairs that could never be reserved
Pair = namedtuple("Pair", "value key")


class Boom(Exception):
    """Raised by the junk itself: must reach the caller as the very same object."""


class Verdict:
    """A comparison result: truthy, falsy, raising, or answering a non-bool."""

    def __init__(self, mode):
        self.mode = mode

    def __bool__(self):
        if self.mode == "raise":
            raise Boom("truth test")
        return {"yes": True, "no": False, "int": 1}[self.mode]


class Odd:
    """Comparisons that answer whatever the case's dice say."""

    def __init__(self, rng):
        self.rng = random.Random(rng.random())

    def _answer(self, other):
        return self.rng.choice(
            [True, False, NotImplemented, 0, None, Verdict("yes"), Verdict("no"),
             Verdict("raise"), Verdict("int"), np.array([True, False])])

    __eq__ = __lt__ = __gt__ = _answer
    __hash__ = None


def nested(x, depth):
    for _ in range(depth):
        x = (x,)
    return x


def atom(rng, fresh):
    """One junk object; the fresh ones are recorded so their counts can be watched."""
    pick = rng.randrange(10)
    if pick < 3:
        obj = Token(rng.randint(0, 9))
    elif pick == 3:
        obj = Odd(rng)
    elif pick == 4:
        obj = np.arange(rng.randint(0, 3))
    elif pick == 5:
        obj = nested(Token(rng.randint(0, 9)), rng.choice([1, 2, 40, 3000]))
    else:
        return rng.choice([None, 0, 1, -1.5, float("nan"), "a", "\ud800", b"x", (), (1, "a")])
    fresh.append(obj)
    return obj


def item(rng, fresh):
    a, b = atom(rng, fresh), atom(rng, fresh)
    shape = rng.choices(["pair", "named", "list", "short", "long", "empty", "atom"],
                        [150, 6, 1, 1, 1, 1, 1])[0]
    return {"pair": (a, b), "named": Pair(a, b), "list": [a, b], "short": (a,),
            "long": (a, b, a), "empty": (), "atom": a}[shape]


class LyingSequence:
    """Items by ``__getitem__``; ``__len__`` honest, huge, negative, raising or silly;
    ``stop`` ends the items early, by IndexError or by Boom."""

    def __init__(self, items, length, stop, error):
        self.items, self.length, self.stop, self.error = items, length, stop, error

    def __len__(self):
        if isinstance(self.length, Exception):
            raise self.length
        return self.length

    def __getitem__(self, i):
        if i == self.stop:
            raise self.error
        return self.items[i]


class BreakingIterable(LyingSequence):
    def __iter__(self):
        for i, x in enumerate(self.items):
            if i == self.stop:
                raise self.error
            yield x


KEY_SPECS = [None, "k", "", "\ud800", CallableName("k"), CallableName("\ud800"), len, repr,
         lambda v: None, lambda v: v, 5, b"k", [len]]


def bad_key_spec(key_spec):
    if isinstance(key_spec, str):  # an attribute name must encode as UTF-8
        return UnicodeEncodeError if "\ud800" in key_spec else None
    return None if key_spec is None or callable(key_spec) else TypeError


def pairs_case(rng, fresh):
    """(pairs, key_spec, what must happen): an exception type, a Boom, or the entries."""
    items = [item(rng, fresh) for _ in range(rng.choice([0, 1, 2, 5, 12]))]
    items += items[: rng.choice([0, 0, 3])]  # the very same pairs again
    key_spec = rng.choice(KEY_SPECS)
    kind = rng.choices(["list", "tuple", "lying", "breaking", "str", "bytes", "dict", "gen",
                        "none"], [6, 2, 6, 3, 1, 1, 1, 1, 1])[0]
    if kind in ("str", "dict", "gen", "none"):
        pairs = {"str": CallableName("ab"), "dict": dict.fromkeys(range(len(items))),
                 "gen": (x for x in items), "none": None}[kind]
        return pairs, key_spec, TypeError
    if kind == "bytes":
        pairs, items = bytes(len(items)), [0] * len(items)
    elif kind in ("list", "tuple"):
        pairs = list(items) if kind == "list" else tuple(items)
    else:
        length = rng.choice([len(items), 2**40, CAPACITY, sys.maxsize, sys.maxsize + 1, -1,
                             "3", Boom("len")])
        stop = rng.randint(0, len(items) + 1)
        error = rng.choice([IndexError(stop), Boom("item")])
        cls = LyingSequence if kind == "lying" else BreakingIterable
        pairs = cls(items, length, stop, error)
        if isinstance(length, int) and CAPACITY <= length <= sys.maxsize:
            return pairs, key_spec, tervalo.PanicException  # refused before any item is read
        breaks = stop < len(items) if cls is BreakingIterable else (
            stop <= len(items) and isinstance(error, Boom))  # else an IndexError ends it
        items = items[:stop]
    for x in items:  # a bad item met before the break decides
        if not isinstance(x, tuple):
            return pairs, key_spec, TypeError
        if len(x) != 2:
            return pairs, key_spec, ValueError
    if kind in ("lying", "breaking") and breaks:
        return pairs, key_spec, error
    return pairs, key_spec, bad_key_spec(key_spec) or [tuple(x) for x in items]


def builder_preorder(entries):
    if not entries:
        return []
    mid = len(entries) // 2
    return [entries[mid]] + builder_preorder(entries[:mid]) + builder_preorder(entries[mid + 1:])


def values_case(rng, fresh):
    """(values, key, what must happen): an exception type, a Boom, a model, or
    ("sound", items) when any clear exception or any sound tree of those items will do."""
    tame = rng.random() < 0.3
    if tame:  # comparable keys: the result is known exactly
        items = [Token(rng.randint(0, 15)) for _ in range(rng.randint(0, 20))]
        fresh.extend(items)
        key_spec = rng.choice([None, "k", lambda v: v.k])
    else:
        items = [atom(rng, fresh) for _ in range(rng.choice([0, 1, 2, 3, 8]))]
        key_spec = rng.choice(KEY_SPECS)
    kind = rng.choice(["list", "gen", "breaking", "none", "int"])
    if kind in ("none", "int"):
        return (None if kind == "none" else 7), key_spec, TypeError if kind == "int" else (
            bad_key_spec(key_spec) or [])
    stop = rng.randint(0, len(items) + 1)
    if kind == "list":
        values = items
    elif kind == "gen":  # a generator that never breaks (the object keeps the items alive)
        values = BreakingIterable(items, len(items), -1, None)
    else:
        values = BreakingIterable(items, len(items), stop, Boom("values"))
        if stop < len(items):
            return values, key_spec, values.error
    if bad_key_spec(key_spec):
        return values, key_spec, bad_key_spec(key_spec)
    if not tame:
        return values, key_spec, ("sound", items)
    model = {}
    for x in items:
        model.setdefault(x.k, x)
    return values, key_spec, [model[k] for k in sorted(model)]


def outcome_of(fn, *args, **kwargs):
    """Like ``support.outcome``, but it keeps the exception itself, which must be the junk's
    very object, and skips the full collection that ten thousand calls could not afford."""
    try:
        return fn(*args, **kwargs), None
    except BaseException as exc:  # noqa: BLE001
        exc.__traceback__ = None
        return None, exc


def check_refusal(exc, expected):
    assert exc is not None, f"no exception, expected {expected}"
    if isinstance(expected, BaseException):
        assert exc is expected
    elif expected is not None:
        assert type(exc) is expected, repr(exc)
    else:
        assert isinstance(exc, Exception) and not isinstance(exc, SystemError), repr(exc)


def poke(tree, rng):
    """Junk lookups must fail cleanly or answer, never change the tree."""
    before = state(tree)
    for _ in range(3):
        probe = atom(rng, [])
        for fn in (tree.contains, tree.search_key, lambda p: list(tree.iter_from(p, 2))):
            _, exc = outcome_of(fn, probe)
            assert exc is None or isinstance(exc, Exception) and not isinstance(exc, SystemError)
            del exc
    assert state(tree) == before


def check_tree(family, tree, expected, rng):
    if family == "reconstruction":
        assert isinstance(expected, list), f"built, not {expected}"
        values = [v for v, _ in expected]
        assert same_objects(tree.in_order(), values)
        assert same_objects(tree.pre_order(), builder_preorder(values))
        assert len(tree) == len(values) and tree.height == len(values).bit_length()
        assert all(map(same_objects, tree.__reduce__()[1][0], expected))
        return
    if isinstance(expected, list):
        assert same_objects(tree, expected)
    else:
        assert expected[0] == "sound", f"built, not {expected}"
        given = {id(x) for x in expected[1]}
        assert all(id(v) in given for v in tree)
    position = {id(v): i for i, v in enumerate(tree)}  # shape and balance; order is junk
    check_shape(tree, key=lambda v: position[id(v)])
    poke(tree, rng)
    assert same_objects(ext._avltree_from_sorted_entries(*tree.__reduce__()[1]), tree)


def run_case(family, rng):
    """One generated case, start to finish; ``rng`` is a ``random.Random`` or anything
    with the same few methods (the fuzzing harness feeds its own)."""
    fresh = []
    make = pairs_case if family == "reconstruction" else values_case
    arg, key_spec, expected = make(rng, fresh)
    before = refs(fresh)
    if family == "reconstruction":
        tree, exc = outcome_of(ext._avltree_from_sorted_entries, arg, key_spec)
    else:
        tree, exc = outcome_of(AVLTree, arg, key=key_spec)
    if tree is None:
        check_refusal(exc, None if isinstance(expected, (list, tuple)) else expected)
        assert not isinstance(expected, list), f"refused {exc!r}"
    else:
        check_tree(family, tree, expected, rng)
    del tree, exc  # the input itself still holds what it held before
    for generation in (1, 2):  # check_shape's recursive helpers leave young cycles
        if refs(fresh) != before:
            gc.collect(generation)
    assert refs(fresh) == before, "references kept"


@pytest.mark.parametrize("family", ["reconstruction", "constructor"])
def test_junk_gives_an_exception_or_a_sound_tree(family):
    for case in range(CASES):
        try:
            run_case(family, seeded(f"{family}-{case}"))
        except AssertionError as failure:
            raise AssertionError(f"{family} case {case}: {failure}") from None
        figures["hostile input"]["cases"] += 1
    figures["hostile input"]["crashes"] += 0
