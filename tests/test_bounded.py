"""Bounded queries: range, iter_from and iter_to."""

import itertools
import operator
import struct

import pytest
from support import (
    ALL_FALSE,
    ScriptedKey,
    assert_notes,
    notes,
    outcome,
    same_objects,
    state,
    three_way_log,
)

from tervalo import AVLTree
from tervalo import tervalo as ext

ONE_TO_SEVEN = list(range(1, 8))
ADDRESS_BITS = 8 * struct.calcsize("P")


def recording_tree(script):
    tree = AVLTree()
    for k in ONE_TO_SEVEN:
        tree.insert(ScriptedKey(k, script))
    assert [v.k for v in tree.pre_order()] == [4, 2, 1, 3, 6, 5, 7]
    script.log.clear()
    return tree


# --- which comparisons are made, and with which operands -----------------
#
# A stored key is the left operand and the bound the right (start left of end for the start-to-
# end check, which comes before the tree is looked at). Each node is compared with both bounds
# before its left subtree; a subtree is entered only when the strict answers say it can hold
# keys inside the bounds, so a bound equal to a stored key stops the descent on that side, and
# the flags decide only whether that key is yielded.

RANGE_TRACES = {
    "bounds on inner keys": (2, 6, [(4, 2), (4, 6), (2, 2), (2, 6), (3, 2), (3, 6), (6, 2),
                                    (6, 6), (5, 2), (5, 6)]),
    "bounds on a leaf and an inner key": (3, 6, [(4, 3), (4, 6), (2, 3), (2, 6), (3, 3), (3, 6),
                                                 (6, 3), (6, 6), (5, 3), (5, 6)]),
    "bounds on the two ends": (1, 7, [(4, 1), (4, 7), (2, 1), (2, 7), (1, 1), (1, 7), (3, 1),
                                      (3, 7), (6, 1), (6, 7), (5, 1), (5, 7), (7, 1), (7, 7)]),
    "bounds between keys": (2.5, 5.5, [(4, 2.5), (4, 5.5), (2, 2.5), (2, 5.5), (3, 2.5),
                                       (3, 5.5), (6, 2.5), (6, 5.5), (5, 2.5), (5, 5.5)]),
    "bounds beyond both ends": (0, 8, [(4, 0), (4, 8), (2, 0), (2, 8), (1, 0), (1, 8), (3, 0),
                                       (3, 8), (6, 0), (6, 8), (5, 0), (5, 8), (7, 0), (7, 8)]),
    "above every key": (8, 9, [(4, 8), (4, 9), (6, 8), (6, 9), (7, 8), (7, 9)]),
    "below every key": (-1, 0, [(4, -1), (4, 0), (2, -1), (2, 0), (1, -1), (1, 0)]),
    "both bounds on the root": (4, 4, [(4, 4), (4, 4)]),
    "start only, on the root": (4, None, [(4, 4), (6, 4), (5, 4), (7, 4)]),
    "end only, on a leaf": (None, 3, [(4, 3), (2, 3), (1, 3), (3, 3)]),
    "start above end": (5, 2, ValueError),
}


@pytest.mark.parametrize("include_start, include_end", list(itertools.product([True, False], repeat=2)))
@pytest.mark.parametrize("start, end, pairs", RANGE_TRACES.values(), ids=list(RANGE_TRACES))
def test_range_comparison_trace(script, start, end, pairs, include_start, include_end):
    tree = recording_tree(script)
    bounds = [None if b is None else ScriptedKey(b, script) for b in (start, end)]
    flags = {"include_start": include_start, "include_end": include_end}
    checked = [] if None in (start, end) else [(start, end)]
    if pairs is ValueError:
        with pytest.raises(ValueError, match="^range start must not exceed end$"):
            tree.range(*bounds, **flags)
        assert script.log == three_way_log(checked)
        return
    expected = [k for k in ONE_TO_SEVEN
                if (start is None or k > start or (k == start and include_start))
                and (end is None or k < end or (k == end and include_end))]
    assert [v.k for v in tree.range(*bounds, **flags)] == expected
    assert script.log == three_way_log(checked + pairs)


# One descent, then an emission that compares nothing. A key equal to the bound is kept and the
# descent goes on past it, toward the keys it cannot yield.
@pytest.mark.parametrize(
    "method, bound, count, pairs, expected",
    [
        ("iter_from", 4, 3, [(4, 4), (2, 4), (3, 4)], [4, 5, 6]),
        ("iter_from", 3, 2, [(4, 3), (2, 3), (3, 3)], [3, 4]),
        ("iter_from", 6, 9, [(4, 6), (6, 6), (5, 6)], [6, 7]),
        ("iter_from", 1, 1, [(4, 1), (2, 1), (1, 1)], [1]),
        ("iter_from", 7, 5, [(4, 7), (6, 7), (7, 7)], [7]),
        ("iter_from", 4.5, 2, [(4, 4.5), (6, 4.5), (5, 4.5)], [5, 6]),
        ("iter_from", 0, 2, [(4, 0), (2, 0), (1, 0)], [1, 2]),
        ("iter_from", 8, 2, [(4, 8), (6, 8), (7, 8)], []),
        ("iter_to", 4, 3, [(4, 4), (6, 4), (5, 4)], [4, 3, 2]),
        ("iter_to", 5, 2, [(4, 5), (6, 5), (5, 5)], [5, 4]),
        ("iter_to", 2, 9, [(4, 2), (2, 2), (3, 2)], [2, 1]),
        ("iter_to", 7, 1, [(4, 7), (6, 7), (7, 7)], [7]),
        ("iter_to", 1, 5, [(4, 1), (2, 1), (1, 1)], [1]),
        ("iter_to", 3.5, 10, [(4, 3.5), (2, 3.5), (3, 3.5)], [3, 2, 1]),
        ("iter_to", 99, 2, [(4, 99), (6, 99), (7, 99)], [7, 6]),
        ("iter_to", 0, 5, [(4, 0), (2, 0), (1, 0)], []),
    ],
)
def test_counted_walk_comparison_trace(script, method, bound, count, pairs, expected):
    tree = recording_tree(script)
    assert [v.k for v in getattr(tree, method)(ScriptedKey(bound, script), count)] == expected
    assert script.log == three_way_log(pairs)


@pytest.mark.parametrize(
    "populated, query, yields_all",
    [
        (True, lambda t, p: t.range(), True),
        (True, lambda t, p: t.range(None, None, include_end=True), True),
        (True, lambda t, p: t.iter_from(p, 0), False),
        (True, lambda t, p: t.iter_to(p, 0), False),
        (True, lambda t, p: t.iter_from(start=p, count=False), False),
        (False, lambda t, p: t.range(p), False),
        (False, lambda t, p: t.range(end=p, include_end=True), False),
        (False, lambda t, p: t.iter_from(p, 5), False),
        (False, lambda t, p: t.iter_to(p, 5), False),
    ],
)
def test_queries_that_compare_nothing(script, populated, query, yields_all):
    tree = recording_tree(script) if populated else AVLTree()
    got = list(query(tree, ScriptedKey(4, script)))
    assert script.log == []
    assert same_objects(got, tree.in_order() if yields_all else [])


# --- results --------------------------------------------------------------


@pytest.mark.parametrize(
    "method, args, kwargs, expected",
    [
        ("range", (2, 5), {}, [2, 3, 4]),
        ("range", (), {"end": 5, "start": 2, "include_end": True}, [2, 3, 4, 5]),
        ("range", (2, 5), {"include_start": False, "include_end": True}, [3, 4, 5]),
        ("range", (2, 5), {"include_start": False}, [3, 4]),
        ("range", (2.5, 5.5), {}, [3, 4, 5]),
        ("range", (None, None), {}, ONE_TO_SEVEN),
        ("range", (), {"start": 5}, [5, 6, 7]),
        ("range", (None, 3), {"include_end": True}, [1, 2, 3]),
        ("range", (4, 4), {}, []),
        ("range", (4, 4), {"include_end": True}, [4]),
        ("range", (4, 4), {"include_start": False, "include_end": True}, []),
        ("range", (4.5, 4.5), {"include_end": True}, []),
        ("iter_from", (), {"count": 3, "start": 4}, [4, 5, 6]),
        ("iter_from", (4.5, 2), {}, [5, 6]),
        ("iter_from", (8, 3), {}, []),
        ("iter_from", (6, 10), {}, [6, 7]),
        ("iter_to", (4,), {"count": 3}, [4, 3, 2]),
        ("iter_to", (3.5, 10), {}, [3, 2, 1]),
        ("iter_to", (0, 5), {}, []),
        ("iter_to", (99, 2), {}, [7, 6]),
    ],
)
def test_results_over_one_to_seven(method, args, kwargs, expected):
    it = getattr(AVLTree(ONE_TO_SEVEN), method)(*args, **kwargs)
    assert type(it) is ext._AVLTreeIterator
    assert list(it) == expected


@pytest.mark.parametrize("start, end", [(5, 2), (1, "a"), (float("nan"), 1.0)])
@pytest.mark.parametrize("values", [[], ONE_TO_SEVEN])
def test_bad_start_end_pair_on_any_tree(values, start, end):
    if start != start:
        expected = (TypeError, ALL_FALSE, [])
    elif isinstance(end, str):
        expected = outcome(operator.lt, start, end)
    else:
        expected = (ValueError, "range start must not exceed end", [])
    assert outcome(AVLTree(values).range, start, end, include_end=True) == expected


def test_key_extractor_is_not_applied_to_bounds():
    words = ["a", "bb", "ccc", "dddd", "ee"]
    tree = AVLTree(words, key=len)
    assert same_objects(tree.range(2, 4), words[1:3])
    assert same_objects(tree.iter_from(2, 9), words[1:4])
    assert same_objects(tree.iter_to(3, 9), words[2::-1])
    # a value-shaped bound is compared as a key, so str meets int
    with pytest.raises(TypeError):
        tree.range("aa", None)
    with pytest.raises(TypeError):
        tree.iter_from("aa", 1)


@pytest.mark.parametrize("method", ["iter_from", "iter_to"])
def test_none_is_an_ordinary_key_outside_range(method):
    assert outcome(getattr(AVLTree(ONE_TO_SEVEN), method), None, 3) == outcome(operator.lt, 4, None)
    assert list(getattr(AVLTree(), method)(None, 3)) == []


# --- include_start / include_end --------------------------------------------


Truthy = type("Truthy", (), {"__bool__": lambda self: True})


@pytest.mark.parametrize(
    "kwargs, message, name",
    [
        ({"include_end": 1}, "'int' object is not an instance of 'bool'", "include_end"),
        ({"include_start": None}, "'None' is not an instance of 'bool'", "include_start"),
        ({"include_start": 0}, "'int' object is not an instance of 'bool'", "include_start"),
        ({"include_end": Truthy()}, "'Truthy' object is not an instance of 'bool'", "include_end"),
        # start is converted first, whatever the keyword order
        ({"include_end": None, "include_start": 1.0}, "'float' object is not an instance of 'bool'", "include_start"),
    ],
)
def test_flags_must_be_bool(script, kwargs, message, name):
    tree = recording_tree(script)
    # start > end would be a ValueError, but conversion comes first
    with pytest.raises(TypeError) as info:
        tree.range(ScriptedKey(5, script), ScriptedKey(2, script), **kwargs)
    assert str(info.value) == message
    assert_notes(info.value, [f"while processing '{name}'"])
    assert script.log == []


def test_numpy_bools_are_flags():
    np = pytest.importorskip("numpy")
    tree = AVLTree(ONE_TO_SEVEN)
    for inc_start, inc_end in itertools.product([False, True], repeat=2):
        got = tree.range(2, 5, include_start=np.bool_(inc_start), include_end=np.bool_(inc_end))
        assert list(got) == list(tree.range(2, 5, include_start=inc_start, include_end=inc_end))
    with pytest.raises(TypeError) as info:
        tree.range(2, 5, include_end=np.int64(1))
    assert str(info.value) == f"'{np.int64.__qualname__}' object is not an instance of 'bool'"
    assert_notes(info.value, ["while processing 'include_end'"])


# --- count ------------------------------------------------------------------


class Index:
    def __init__(self, n, hook=lambda: None):
        self.n, self.hook = n, hook

    def __index__(self):
        self.hook()
        return self.n


MyInt = type("MyInt", (int,), {})


@pytest.mark.parametrize("count", [True, Index(3), MyInt(2), (1 << ADDRESS_BITS) - 1])
def test_count_accepts_integers(count):
    tree, n = AVLTree(ONE_TO_SEVEN), operator.index(count)
    assert list(tree.iter_from(2, count)) == ONE_TO_SEVEN[1:][:n]
    assert list(tree.iter_to(6, count)) == ONE_TO_SEVEN[5::-1][:n]


@pytest.mark.parametrize(
    "count, kind, message",
    [
        (-1, OverflowError, None),
        (2**64, OverflowError, None),
        (Index(-1), OverflowError, None),
        (2.0, *outcome(operator.index, 2.0)[:2]),
        ("x", *outcome(operator.index, "x")[:2]),
        (Index(1.5), *outcome(operator.index, Index(1.5))[:2]),
    ],
)
@pytest.mark.parametrize("method", ["iter_from", "iter_to"])
def test_count_conversion_errors(script, method, count, kind, message):
    tree = recording_tree(script)
    with pytest.raises(kind) as info:
        getattr(tree, method)(ScriptedKey(4, script), count)
    if message is not None:
        assert str(info.value) == message
    assert_notes(info.value, ["while processing 'count'"])
    assert script.log == []
    assert len(list(tree.iter_from(ScriptedKey(0, script), 1))) == 1  # hold was released


@pytest.mark.parametrize("method, expected", [("iter_from", [3, 4, 5, 6, 7]), ("iter_to", [3, 2, 1])])
def test_count_is_as_wide_as_an_address(method, expected):
    query = getattr(AVLTree(ONE_TO_SEVEN), method)
    assert list(query(3, 2**32 - 1)) == expected  # the widest count on every platform
    if ADDRESS_BITS > 32:
        assert list(query(3, 2**32)) == expected
        return
    with pytest.raises(OverflowError) as info:
        query(3, 2**32)
    assert str(info.value) == "out of range integral type conversion attempted"
    assert_notes(info.value, ["while processing 'count'"])


# --- binding and documentation ----------------------------------------------


@pytest.mark.parametrize(
    "method, args, kwargs, message",
    [
        ("range", (1, 2, 3), {}, "AVLTree.range() takes from 0 to 2 positional arguments but 3 were given"),
        ("range", (), {"include_end": True, "bogus": 1}, "AVLTree.range() got an unexpected keyword argument 'bogus'"),
        ("range", (1,), {"start": 2}, "AVLTree.range() got multiple values for argument 'start'"),
        ("iter_from", (1,), {}, "AVLTree.iter_from() missing 1 required positional argument: 'count'"),
        ("iter_from", (), {"count": 1}, "AVLTree.iter_from() missing 1 required positional argument: 'start'"),
        ("iter_from", (1, 2, 3), {}, "AVLTree.iter_from() takes 2 positional arguments but 3 were given"),
        ("iter_to", (), {}, "AVLTree.iter_to() missing 2 required positional arguments: 'end' and 'count'"),
        ("iter_to", (1, 2), {"end": 3}, "AVLTree.iter_to() got multiple values for argument 'end'"),
    ],
)
def test_binding_errors(method, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        getattr(AVLTree(ONE_TO_SEVEN), method)(*args, **kwargs)
    assert str(info.value) == message
    assert_notes(info.value, [])


# --- re-entry from count -----------------------------------------------------------


@pytest.mark.parametrize("method", ["iter_from", "iter_to"])
def test_refusal_inside_count_carries_the_parameter_note(method):
    # test_reentry.py checks every call from inside __index__; the note is this query's own
    tree = AVLTree(ONE_TO_SEVEN)
    shape = state(tree)
    count = Index(2, lambda: tree.insert(100))
    assert outcome(getattr(tree, method), 4, count) == (
        RuntimeError, "Already borrowed", notes("while processing 'count'"))
    assert state(tree) == shape


# --- snapshots ----------------------------------------------------------------


QUERIES = {
    "range-start": lambda t, b: t.range(b, 6),
    "range-end": lambda t, b: t.range(2, b, include_end=True),
    "iter_from": lambda t, b: t.iter_from(b, 3),
    "iter_to": lambda t, b: t.iter_to(b, 3),
}


@pytest.mark.parametrize("query", QUERIES.values(), ids=list(QUERIES))
def test_results_are_snapshots(query):
    tree = AVLTree(ONE_TO_SEVEN)
    expected = list(query(tree, 3))
    it, partly = query(tree, 3), query(tree, 3)
    first = next(partly)
    for k in (3.5, 2.5, 0, 100):
        tree.insert(k)
    tree.remove(4)
    assert list(it) == expected
    tree.clear()
    assert [first, *partly] == expected
