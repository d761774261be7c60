"""Bounded queries: range, iter_from and iter_to."""

import gc
import itertools
import operator
import random
import struct

import pytest
from sortedcontainers import SortedList
from support import ScriptedKey, assert_notes, interpreter_error, refs, same_objects, state

from tervalo import AVLTree
from tervalo import tervalo as ext

ONE_TO_SEVEN = list(range(1, 8))
ADDRESS_BITS = 8 * struct.calcsize("P")


def three_way(log):
    """Fold a raw (op, left, right) log into one pair per three-way comparison.

    Each comparison must ask ==, then <, then >, on the same operands, and
    stop at the first true answer.
    """
    pairs, i = [], 0
    while i < len(log):
        _, a, b = log[i]
        for j, (op, truth) in enumerate((("==", a == b), ("<", a < b), (">", a > b))):
            assert log[i + j : i + j + 1] == [(op, a, b)], f"bad comparison sequence at {i}: {log}"
            if truth:
                break
        pairs.append((a, b))
        i += j + 1
    return pairs


def recording_tree(script):
    tree = AVLTree()
    for k in ONE_TO_SEVEN:
        tree.insert(ScriptedKey(k, script))
    assert [v.k for v in tree.pre_order()] == [4, 2, 1, 3, 6, 5, 7]
    script.log.clear()
    return tree


def _refuse(*_):
    raise AssertionError("bound was compared")


class Poison:
    """A bound that fails loudly the moment anything compares it."""

    k = property(_refuse)
    __eq__ = __lt__ = __gt__ = _refuse
    __hash__ = None


# --- which comparisons are made, and with which operands -----------------


@pytest.mark.parametrize(
    "method, args, pairs, expected",
    [
        ("range", (3, 6), [(3, 6), (4, 3), (4, 6), (2, 3), (2, 6), (3, 3), (3, 6), (6, 3), (6, 6), (5, 3), (5, 6)], [3, 4, 5]),
        ("iter_from", (4, 3), [(4, 4), (2, 4), (3, 4)], [4, 5, 6]),
        ("iter_to", (4, 3), [(4, 4), (6, 4), (5, 4)], [4, 3, 2]),
        # the start/end check comes before the tree is looked at
        ("range", (5, 2), [(5, 2)], ValueError),
    ],
)
def test_comparison_trace(script, method, args, pairs, expected):
    tree = recording_tree(script)
    n = 2 if method == "range" else 1  # the rest is the count
    args = [ScriptedKey(a, script) for a in args[:n]] + list(args[n:])
    if expected is ValueError:
        with pytest.raises(ValueError, match="^range start must not exceed end$"):
            getattr(tree, method)(*args)
    else:
        assert [v.k for v in getattr(tree, method)(*args)] == expected
    assert three_way(script.log) == pairs


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
    got = list(query(tree, Poison()))
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
        kind, message = TypeError, "PyAny::compare(): All comparisons returned false"
    elif isinstance(end, str):
        kind, message = interpreter_error(operator.lt, start, end)
    else:
        kind, message = ValueError, "range start must not exceed end"
    with pytest.raises(kind) as info:
        AVLTree(values).range(start, end, include_end=True)
    assert str(info.value) == message
    assert_notes(info.value, [])


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
    kind, message = interpreter_error(operator.lt, 4, None)
    with pytest.raises(kind) as info:
        getattr(AVLTree(ONE_TO_SEVEN), method)(None, 3)
    assert str(info.value) == message
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
        (2.0, *interpreter_error(operator.index, 2.0)),
        ("x", *interpreter_error(operator.index, "x")),
        (Index(1.5), *interpreter_error(operator.index, Index(1.5))),
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


# --- failures half-way through a query --------------------------------------


class Boom(Exception):
    pass


class BadTruth:
    """A comparison result whose truth test raises."""

    def __init__(self, exc):
        self.exc = exc

    def __bool__(self):
        raise self.exc


class Fused:
    """Key whose comparisons fail once a shared budget of comparisons runs out."""

    __slots__ = ("k", "fuse")

    def __init__(self, k, fuse):
        self.k, self.fuse = k, fuse

    def _cmp(self, op, other):
        self.fuse["left"] -= 1
        if self.fuse["left"] == 0:
            if self.fuse["mode"] == "raise":
                raise self.fuse["exc"]
            return BadTruth(self.fuse["exc"])
        return op(self.k, other.k)

    __eq__ = lambda self, other: self._cmp(operator.eq, other)  # noqa: E731
    __lt__ = lambda self, other: self._cmp(operator.lt, other)  # noqa: E731
    __gt__ = lambda self, other: self._cmp(operator.gt, other)  # noqa: E731
    __hash__ = None


@pytest.mark.parametrize("mode", ["raise", "bool"])
def test_failure_mid_range_releases_partial_result(mode):
    fuse = {"left": -1, "mode": mode}
    values = [Fused(k, fuse) for k in ONE_TO_SEVEN]
    tree = AVLTree(values)
    lo, hi = Fused(0, fuse), Fused(8, fuse)
    fuse["left"] = 10**9
    assert same_objects(tree.range(lo, hi), values)
    total = 10**9 - fuse["left"]
    # every node is visited, so most fuse points fail after values were taken
    assert total > 2 * len(values)
    # measured outside the assert: its rewriting would keep temporaries alive
    watched = values + [lo, hi]
    before, shape = refs(watched), state(tree)
    for n in range(1, total + 1):
        boom = Boom(n)
        fuse.update(left=n, exc=boom)
        try:
            tree.range(lo, hi)
        except Boom as exc:
            caught = exc
            exc.__traceback__ = None
        else:
            pytest.fail(f"no failure at comparison {n}")
        assert caught is boom
        del caught, boom
        gc.collect()
        after = refs(watched)
        assert after == before, f"leak when comparison {n} failed"
        assert state(tree) == shape


# --- agreement with a sorted-list model --------------------------------------


@pytest.mark.parametrize("seed", range(6))
def test_against_sorted_list(seed):
    rng = random.Random(seed)
    for size in (0, 1, 2, 3, 7, 31, rng.randrange(50, 201)):
        keys = rng.sample(range(0, 6 * size + 2, 2), size)
        sl = SortedList(keys)
        # odd sizes store str values under int keys, so bounds meet keys only
        out = str if size % 2 else int
        tree = AVLTree(map(out, keys), key=int if size % 2 else None)
        # absent bounds, bounds outside, on stored keys and between them
        probes = [None, -3, 6 * size + 5] + rng.sample(keys, min(size, 3))
        probes += [rng.randrange(-2, 6 * size + 4) for _ in range(15)]
        for start, end in itertools.product(probes[:12], repeat=2):
            for flags in itertools.product([False, True], repeat=2):
                def call():  # called within this iteration
                    return list(tree.range(start, end, include_start=flags[0],  # noqa: B023
                                           include_end=flags[1]))  # noqa: B023
                if start is not None and end is not None and start > end:
                    with pytest.raises(ValueError):
                        call()
                    continue
                assert call() == [out(k) for k in sl.irange(start, end, flags)]
        for bound in probes[1:]:
            for count in {0, 1, 2, 5, size, size + 3}:
                up = itertools.islice(sl.irange(minimum=bound), count)
                down = itertools.islice(sl.irange(maximum=bound, reverse=True), count)
                assert list(tree.iter_from(bound, count)) == [out(k) for k in up]
                assert list(tree.iter_to(bound, count)) == [out(k) for k in down]


# --- re-entry from comparisons and from count ---------------------------------


class Probe:
    """A bound that runs a hook inside each of its comparisons."""

    def __init__(self, k, hook):
        self.k, self.hook = k, hook

    __eq__ = lambda self, other: (self.hook(), self.k == other)[1]  # noqa: E731
    __lt__ = lambda self, other: (self.hook(), self.k < other)[1]  # noqa: E731
    __gt__ = lambda self, other: (self.hook(), self.k > other)[1]  # noqa: E731
    __hash__ = None


QUERIES = {
    "range-start": lambda t, b: t.range(b, 6),
    "range-end": lambda t, b: t.range(2, b, include_end=True),
    "iter_from": lambda t, b: t.iter_from(b, 3),
    "iter_to": lambda t, b: t.iter_to(b, 3),
}
HOOKS = {
    "read": lambda t: (len(t), list(t.in_order())),
    "insert": lambda t: t.insert(100),
    "remove": lambda t: t.remove(1),
}


@pytest.mark.parametrize("hook", list(HOOKS))
@pytest.mark.parametrize("query", QUERIES.values(), ids=list(QUERIES))
def test_reentry_from_a_comparison(query, hook):
    tree, seen = AVLTree(ONE_TO_SEVEN), []
    shape = state(tree)
    probe = Probe(3, lambda: seen.append(HOOKS[hook](tree)))
    if hook == "read":
        # shared holds nest, so reading the tree mid-query is fine
        assert list(query(tree, probe)) == list(query(tree, 3))
        assert seen and all(s == (7, ONE_TO_SEVEN) for s in seen)
        return
    with pytest.raises(RuntimeError) as info:
        query(tree, probe)
    assert str(info.value) == "Already borrowed"
    assert_notes(info.value, [])
    assert state(tree) == shape and seen == []
    assert tree.insert(8) is True


@pytest.mark.parametrize("method", ["iter_from", "iter_to"])
def test_count_index_reentry(method):
    tree = AVLTree(ONE_TO_SEVEN)
    shape = state(tree)
    with pytest.raises(RuntimeError) as info:
        getattr(tree, method)(4, Index(2, lambda: tree.insert(100)))
    assert str(info.value) == "Already borrowed"
    assert_notes(info.value, ["while processing 'count'"])
    assert state(tree) == shape
    lengths = []
    got = getattr(tree, method)(4, Index(2, lambda: lengths.append(len(tree))))
    assert list(got) == list(getattr(tree, method)(4, 2)) and lengths == [7]


# --- snapshots ----------------------------------------------------------------


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
