"""Key order against the interpreter's own operators, for the key types the tree compares
without calling them: exact int, float, str, bytes and tuples of these."""

import math

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from support import ALL_FALSE, outcome

from tervalo import AVLTree

# Characters of every internal width (1, 2 and 4 bytes per code point) and the edges of each,
# few enough that generated strings often share long prefixes.
CHARS = ["\x00", "\x01", "a", "b", "\x7f", "\x80", "\xe9", "\xff", "\u0100", "\u20ac",
         "\ud800", "\uffff", "\U00010000", "\U0001f600", "\U0010ffff"]
BIG = [2**63 - 1, -2**63, 2**63, -2**63 - 1, 2**64, 10**30]
FLOATS = [0.0, -0.0, 1.5, -1.5, math.inf, -math.inf, 2.0**63, 1e300]

texts = st.lists(st.sampled_from(CHARS), max_size=11).map("".join)
# Strings of one width that differ late: all prefix levels agree and the full comparison decides.
long_texts = st.lists(st.sampled_from(["a", "b"]), min_size=6, max_size=11).map("".join)
blobs = st.lists(st.sampled_from([0, 1, 0x61, 0x7f, 0x80, 0xfe, 0xff]), max_size=11).map(bytes)
ints = st.one_of(st.integers(-3, 3), st.integers(), st.sampled_from(BIG))
# A fresh NaN object per draw: two NaNs drawn separately are distinct objects.
floats = st.one_of(st.sampled_from(FLOATS).map(float), st.floats(), st.just(0).map(
    lambda _: float("nan")))
scalars = st.one_of(texts, long_texts, blobs, ints, floats)
tuples = st.recursive(
    st.lists(scalars, max_size=4).map(tuple),
    lambda inner: st.lists(st.one_of(scalars, inner), max_size=3).map(tuple), max_leaves=6)
keys = st.one_of(scalars, tuples)


def interpreter_order(a, b):
    """`==`, `<`, `>` of `a` with `b` in that order, as the tree must ask them."""
    try:
        if a == b:
            return "eq"
        if a < b:
            return "lt"
        if a > b:
            return "gt"
    except Exception as exc:  # noqa: BLE001
        return type(exc), str(exc)
    return TypeError, ALL_FALSE


def share_items(a, b, take):
    """`b` with some items replaced by the very objects of `a` (exercising the identity
    shortcut of tuple item equality)."""
    if not (isinstance(a, tuple) and isinstance(b, tuple)):
        return b
    return tuple(x if t else y for x, y, t in zip(a, b, take)) + b[len(a):]


@st.composite
def key_pairs(draw):
    a = draw(keys)
    b = draw(st.one_of(keys, st.just(a)))
    take = draw(st.lists(st.booleans(), min_size=4, max_size=4))
    return a, share_items(a, b, take)


def tree_order_probe_left(a, b):
    """The tree's ordering of a probe `a` against a stored key `b`."""
    tree = AVLTree([b])
    try:
        added = tree.insert(a)
    except Exception as exc:  # noqa: BLE001
        return type(exc), str(exc)
    if not added:
        return "eq"
    stored = list(tree)
    return "lt" if stored[0] is a else "gt"


def tree_order_node_left(b, a):
    """The tree's ordering of a stored key `b` against a bound `a`."""
    tree = AVLTree([b])
    try:
        above = list(tree.iter_from(a, 1))
        below = list(tree.iter_to(a, 1))
    except Exception as exc:  # noqa: BLE001
        return type(exc), str(exc)
    return {(True, True): "eq", (False, True): "lt", (True, False): "gt"}[bool(above),
                                                                           bool(below)]


@settings(max_examples=3000)
@given(key_pairs())
def test_pair_order_matches_interpreter(pair):
    a, b = pair
    assert tree_order_probe_left(a, b) == interpreter_order(a, b)
    assert tree_order_node_left(b, a) == interpreter_order(b, a)
    order = interpreter_order(a, b)
    if isinstance(order, str):
        assert AVLTree([b]).contains_key(a) is (order == "eq")


# Families within which every two keys are ordered, so a tree of them must hold exactly the
# interpreter's sorted, deduplicated keys.
finite = st.one_of(st.integers(-5, 5), st.integers(), st.sampled_from(BIG),
                   st.floats(allow_nan=False))
ordered_families = [
    st.lists(texts, max_size=40),
    st.lists(long_texts, max_size=40),
    st.lists(blobs, max_size=40),
    st.lists(finite, max_size=40),
    st.lists(st.lists(finite, max_size=3).map(tuple), max_size=40),
    st.lists(st.tuples(texts, blobs, finite), max_size=40),
    st.lists(st.lists(st.one_of(texts, long_texts), max_size=3).map(tuple), max_size=40),
    st.lists(st.tuples(st.integers(0, 3), st.lists(finite, max_size=2).map(tuple)),
             max_size=40),
]


def model_insert(model, k):
    if any(k == m for m in model):
        return False
    model.append(k)
    return True


@settings(max_examples=300)
@given(st.sampled_from(ordered_families).flatmap(
    lambda family: st.tuples(family, family, family)))
def test_tree_matches_sorted_model(lists):
    inserted, probes, removed = lists
    tree, model = AVLTree(), []
    for k in inserted:
        assert tree.insert(k) is model_insert(model, k)
    model.sort()
    assert all(map(lambda x, y: x is y, tree, model)) and len(tree) == len(model)
    for p in probes:
        found = next((m for m in model if m == p), None)
        assert tree.search_key(p) is found
        assert tree.contains_key(p) is (found is not None)
    for lo in probes[:5]:
        for hi in probes[:5]:
            if lo > hi:
                continue
            assert list(tree.range(lo, hi, include_end=True)) == \
                [m for m in model if lo <= m <= hi]
            assert list(tree.range(lo, hi)) == [m for m in model if lo <= m < hi]
    for r in removed:
        gone = next((m for m in model if m == r), None)
        assert tree.remove_key(r) is (gone is not None)
        if gone is not None:
            model.remove(gone)
        assert list(tree) == model


@pytest.mark.parametrize("a, b", [
    ("", "\x00"), ("a", "a\x00"), ("abcdefgh", "abcdefgh\x00"), ("abcdefgh", "abcdefghi"),
    ("\xff" * 9, "\u0100"), ("ab\u20ac", "ab\xff"), ("a" * 8, "a" * 7 + "\U0010ffff"),
    ("\U0001f600", "\uffff"), ("\ud800", "\ue000"), ("abc\u0100", "abcd"),
    ("abd", "abc\u20ac"), ("b\xff", "b\xfe\x00\U0010ffff"), (("abd", 0), ("abc\u20ac", 1)),
    (b"", b"\x00"), (b"\xff" * 8, b"\xff" * 8 + b"\x00"), (b"\x00\xff", b"\x00\xfe\xff"),
    (1, 1.0), (-0.0, 0.0), (2**63, 2.0**63), (2**63 + 1, 2.0**63), (10**30, math.inf),
    ((), (0,)), ((1, 2), (1,)), ((1, "a"), (1, "b")), ((1, 2.5), (1.0, 2.5)),
    ((2**64, 1), (2**64, 2)), ((1, (2, 3)), (1, (2, 4))), ((b"x", 1), (b"x", 0)),
    (("", 1), ("\x00",)), ((0.0, "a"), (-0.0, "b")), ((1,), (1, float("nan"))),
])
def test_edge_pairs_match_interpreter(a, b):
    for x, y in ((a, b), (b, a)):
        assert tree_order_probe_left(x, y) == interpreter_order(x, y)
        assert tree_order_node_left(x, y) == interpreter_order(x, y)


@pytest.mark.parametrize("same_object", [True, False])
def test_nan_in_tuples_compares_by_identity(same_object):
    # Item equality has the identity shortcut, so a tuple holding the very NaN stored equals it.
    nan = float("nan")
    stored = (nan, 1)
    probe = (nan, 1) if same_object else (float("nan"), 1)
    tree = AVLTree([stored])
    if same_object:
        assert tree.search_key(probe) is stored and tree.insert(probe) is False
    else:
        for call in (tree.search_key, tree.insert):
            assert outcome(call, probe) == (TypeError, ALL_FALSE, [])
    assert tree.search_key(stored) is stored


def recording(base):
    class Recorded(base):
        log = []

        def __lt__(self, other):
            Recorded.log.append("<")
            return base.__lt__(self, other)

        def __eq__(self, other):
            Recorded.log.append("==")
            return base.__eq__(self, other)

        __hash__ = base.__hash__

    return Recorded


@pytest.mark.parametrize("base, make", [
    (str, lambda t, v: t(str(v))), (bytes, lambda t, v: t(str(v).encode())),
    (int, lambda t, v: t(v)), (float, lambda t, v: t(v)), (tuple, lambda t, v: t((v, v))),
])
@pytest.mark.parametrize("nest", [False, True])
def test_subclass_keys_run_their_comparisons(base, make, nest):
    kind = recording(base)
    wrap = (lambda k: (0, k)) if nest else (lambda k: k)
    stored = [wrap(make(kind, v)) for v in (3, 1, 5)]
    probe = wrap(make(kind, 4))
    expected = []
    for s in (stored[0], stored[2]):  # the probe's path: root 3, then 5
        kind.log.clear()
        interpreter_order(probe, s)
        expected += kind.log
    tree = AVLTree(sorted(stored))
    kind.log.clear()
    assert tree.insert(probe) is True
    assert kind.log == expected and "<" in expected
