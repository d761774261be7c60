"""Building from values: ``AVLTree(values, key)`` against the same values inserted one by one.

Whatever path the constructor takes, the tree must have the shape of one-by-one insertion (first
value per key kept), make the same calls into Python in the same order, refuse a duplicate at
the moment insertion refuses it, and release everything in the same order when it fails.
"""

import math
import sys

import pytest
from hypothesis import given
from hypothesis import strategies as st
from support import seeded

from tervalo import AVLTree


def one_by_one(values, key=None):
    tree = AVLTree(key=key)
    for v in values:
        tree.insert(v)
    return tree


def outcome(make, values, key=None):
    """Pre-order objects and height of the built tree, or the failure's type and text."""
    try:
        tree = make(values, key=key)
    except Exception as exc:  # noqa: BLE001
        return (type(exc), str(exc))
    return ([id(v) for v in tree.pre_order()], tree.height, len(tree))


def assert_same_as_one_by_one(values, key=None):
    assert outcome(AVLTree, values, key) == outcome(one_by_one, values, key)


def arranged(values, how):
    """The same values ascending, descending, in rising saw-teeth, rising then falling, or as
    they came."""
    if how == "ascending":
        return sorted(values)
    if how == "descending":
        return sorted(values, reverse=True)
    if how == "saw-tooth":
        return [v for i in range(0, len(values), 7) for v in sorted(values[i:i + 7])]
    if how == "organ-pipe":
        ordered = sorted(values)
        return ordered[::2] + ordered[1::2][::-1]
    return values


ARRANGEMENTS = ["as drawn", "ascending", "descending", "saw-tooth", "organ-pipe"]
INT64 = st.integers(-(2**63), 2**63 - 1)
KEYS = {
    "int": st.one_of(st.integers(-20, 20), INT64),
    "float": st.one_of(st.sampled_from([0.0, -0.0, 1.5, -1.5, math.inf, -math.inf, 2.0**60]),
                       st.floats(allow_nan=False)),
    # Shared 8-character prefixes, Latin-1 and wider characters.
    "str": st.text(alphabet="ab\xe9\u0101\U0001f600", max_size=3).map(lambda s: "prefix__" + s)
    | st.text(alphabet="ab\xff\u20ac", max_size=10),
    "bytes": st.binary(max_size=10).map(lambda b: b"prefix__" + b) | st.binary(max_size=3),
}


@pytest.mark.parametrize("how", ARRANGEMENTS)
@pytest.mark.parametrize("kind", sorted(KEYS))
@given(data=st.data())
def test_shape_is_one_by_one_insertion(kind, how, data):
    values = arranged(data.draw(st.lists(KEYS[kind], max_size=60)), how)
    assert_same_as_one_by_one(values)


@pytest.mark.parametrize("n", [*range(0, 70), 127, 128, 129, 1000, 4097])
@pytest.mark.parametrize("how", ["ascending", "descending"])
def test_monotone_runs_of_every_length(n, how):
    assert_same_as_one_by_one(arranged([float(i) for i in range(n)], how))


@pytest.mark.parametrize("how", ARRANGEMENTS)
@pytest.mark.parametrize("n", [100, 1000, 20_000])  # past 4096, neighbours span summary words
def test_built_tree_changes_as_the_inserted_one(n, how):
    # Heights inside the built tree decide every later rotation.
    rng = seeded(f"later changes {n} {how}")
    values = arranged(rng.sample(range(10 * n), n), how)
    changes = rng.sample(range(10 * n), n // 2)
    built, inserted = AVLTree(values), one_by_one(values)
    for i, x in enumerate(changes):
        for tree in (built, inserted):
            tree.insert(x) if i % 3 else tree.remove(x)
    assert [id(v) for v in built.pre_order()] == [id(v) for v in inserted.pre_order()]


def test_large_node_storage_moves_whole_as_it_grows():
    # Past 32 MiB of nodes (about 1,050,000 of 32 bytes) the storage is mapped: the constructor
    # takes exactly the room it needs, the first insertion moves the nodes into mapped storage
    # half as large again, and later insertions grow it by remapping.
    n = 700_000
    tree = AVLTree(range(0, 4 * n, 4))
    for x in range(2, 4 * 400_000, 4):
        tree.insert(x)
    expected = sorted([*range(0, 4 * n, 4), *range(2, 4 * 400_000, 4)])
    assert list(tree) == expected
    assert list(tree.descending()) == expected[::-1]


@pytest.mark.parametrize("how", ARRANGEMENTS)
@pytest.mark.parametrize("distinct", [1, 2, 5, 1000])
def test_many_values_few_keys(distinct, how):
    rng = seeded(f"few keys {distinct}")
    assert_same_as_one_by_one(arranged([rng.randrange(distinct) for _ in range(3000)], how))


# Values whose comparisons the interpreter runs its own way, or that fail: wherever one arrives,
# what was built before it and everything after it must end as insertion ends.
ODD = [2**64, -(2**70), True, (1, 2), 1.0, math.nan, "text", b"bytes", None, 3]


BASES = {"int": lambda k: k, "float": lambda k: k + 0.5, "str": str}


@pytest.mark.parametrize("position", ["first", "middle", "last"])
@pytest.mark.parametrize("odd", ODD, ids=repr)
@pytest.mark.parametrize("how", ["ascending", "descending", "as drawn"])
@pytest.mark.parametrize("base", sorted(BASES))
def test_a_key_outside_the_group(base, odd, position, how):
    made = map(BASES[base], seeded(f"outside {how}").sample(range(-50, 50), 40))
    values = arranged(list(made), how)
    at = {"first": 0, "middle": 20, "last": 40}[position]
    assert_same_as_one_by_one(values[:at] + [odd] + values[at:])


@pytest.mark.parametrize("how", ARRANGEMENTS)
def test_keys_taken_by_attribute_and_callable(how):
    class Item:
        def __init__(self, k):
            self.k = k

    ks = arranged([k % 37 for k in seeded("keyed").sample(range(500), 120)], how)
    items = [Item(k) for k in ks]
    assert_same_as_one_by_one(items, "k")
    assert_same_as_one_by_one(items, lambda item: -item.k)


# --- what Python code sees -------------------------------------------------------------------


class Logged:
    """A value with an int key whose key call and finaliser are logged."""

    def __init__(self, number, k, log):
        self.number, self.k, self.log = number, k, log

    def __del__(self):
        self.log.append(("released", self.number))


def logged_key(log, fail_at=None):
    def key(v):
        log.append(("key", v.number))
        if v.number == fail_at:
            raise LookupError(f"no key for {v.number}")
        return v.k

    return key


def run_logged(build, ks, fail_at=None):
    """The log of key calls and releases while ``build`` makes a tree of fresh values (held by
    nothing else), then drops it; and the outcome."""
    log = []
    try:
        tree = build((Logged(i, k, log) for i, k in enumerate(ks)), logged_key(log, fail_at))
        result = ("built", [v.number for v in tree.pre_order()])
        del tree
    except LookupError as exc:
        result = ("failed", str(exc))
    log.append(("end", None))
    return log, result


def reference(values, key):
    """One-by-one insertion as construction promises it, failure included: the value being
    processed goes first, then those not yet processed, then the tree built so far."""
    values = list(values)
    tree = AVLTree(key=key)
    for i in range(len(values)):
        v, values[i] = values[i], None
        try:
            tree.insert(v)
        except BaseException:
            del v
            for j in range(i + 1, len(values)):
                values[j] = None
            tree.clear()
            raise
        del v
    return tree


KEY_RUNS = {
    "ascending": list(range(30)),
    "descending": list(range(30, 0, -1)),
    "duplicates": [5, 3, 5, 8, 3, 3, 9, 1, 5, 0, 8],
    "ascending with duplicates": [1, 1, 2, 2, 2, 3, 7, 7],
    "scattered": seeded("scattered keys").sample(range(100), 40),
    "mixed kinds": [3, 1, 2.5, 2, 2**70, 0, 1],
}


@pytest.mark.parametrize("fail_at", [None, 0, 1, 4, 10, 29])
@pytest.mark.parametrize("ks", KEY_RUNS.values(), ids=KEY_RUNS.keys())
def test_key_calls_refusals_and_releases_keep_their_order(ks, fail_at):
    expected = run_logged(reference, ks, fail_at)
    assert run_logged(lambda values, key: AVLTree(values, key=key), ks, fail_at) == expected
    # The refused duplicates went before the next key was asked for.
    log = expected[0]
    refused = [n for n, k in enumerate(ks) if k in ks[:n] and (fail_at is None or n < fail_at)]
    for n in refused:
        if n + 1 < len(ks) and ("key", n + 1) in log:
            assert log.index(("released", n)) < log.index(("key", n + 1))


class Int(int):
    """An int whose comparisons the tree leaves to the interpreter: construction inserts one by
    one."""


class Counted:
    """Its finaliser notes how many references its key attribute has at that moment."""

    def __init__(self, k, seen):
        self.k, self.seen = k, seen

    def __del__(self):
        self.seen.append(sys.getrefcount(self.k))


@pytest.mark.parametrize("ks", [[10**9, 10**9 + 1, 10**9], [10**9 + 5, 10**9, 10**9 + 5]])
def test_refused_duplicate_goes_value_first(ks):
    def seen_by_finalisers(kind):
        seen = []
        keys = {k: kind(str(k)) for k in ks}  # fresh objects, one for each distinct key
        AVLTree((Counted(keys[k], seen) for k in ks), key="k")
        return seen

    # The refused value's finaliser still sees the tree's reference to its key.
    assert seen_by_finalisers(int) == seen_by_finalisers(Int)
