"""Key order against the interpreter's own operators: for the key types the tree compares
without calling them (exact int, float, str, bytes and tuples of these, first by the numbers
summarising them, then by their values), and for the keys it must hand to their own
comparisons (subclasses, bools, objects with comparisons of their own)."""

import math
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from support import ALL_FALSE, outcome

from tervalo import AVLTree

# Characters of every internal width (1, 2 and 4 bytes per code point) and the edges of each,
# few enough that generated strings often share long prefixes.
CHARS = ["\x00", "\x01", "a", "b", "\x7f", "\x80", "\xe9", "\xff", "\u0100", "\u20ac",
         "\ud800", "\uffff", "\U00010000", "\U0001f600", "\U0010ffff"]
LATIN1 = [c for c in CHARS if c <= "\xff"]
BYTES = [0, 1, 0x61, 0x7f, 0x80, 0xfe, 0xff]
# The edges of 64 bits, and an int no float holds (next to 2.0**53).
BIG = [2**63 - 1, -2**63, 2**63, -2**63 - 1, 2**64, 10**30, 2**53 + 1]
FLOATS = [0.0, -0.0, 1.5, -1.5, math.inf, -math.inf, 2.0**63, -2.0**63, 2.0**64, 2.0**53,
          1e300, 5e-324]


def backwards(base):
    """A subclass of ``base`` whose ``<`` and ``>`` are swapped: a tree that compares it as its
    base instead of asking it orders it wrongly."""
    return type(f"Backwards{base.__name__.title()}", (base,), {
        "__lt__": lambda self, other: base.__gt__(self, other),
        "__gt__": lambda self, other: base.__lt__(self, other),
        "__hash__": base.__hash__,
        "__repr__": lambda self: f"{type(self).__name__}({base.__repr__(self)})",
    })


BACKWARDS = {base: backwards(base) for base in (int, float, str, bytes, tuple)}


class Reversed:
    """No built-in type at all: its own comparisons order its number backwards, against plain
    numbers too."""

    __slots__ = ("n",)

    def __init__(self, n):
        self.n = n

    def _number(self, other):
        return other.n if isinstance(other, Reversed) else other

    __eq__ = lambda self, other: self.n == self._number(other)  # noqa: E731
    __lt__ = lambda self, other: self.n > self._number(other)  # noqa: E731
    __gt__ = lambda self, other: self.n < self._number(other)  # noqa: E731
    __hash__ = None
    __repr__ = lambda self: f"Reversed({self.n!r})"  # noqa: E731


texts = st.lists(st.sampled_from(CHARS), max_size=11).map("".join)
# Strings of one width that differ late: all prefix levels agree and the full comparison decides.
long_texts = st.lists(st.sampled_from(["a", "b"]), min_size=6, max_size=11).map("".join)
blobs = st.lists(st.sampled_from(BYTES), max_size=11).map(bytes)
ints = st.one_of(st.integers(-3, 3), st.integers(), st.sampled_from(BIG))
# A fresh NaN object per draw: two NaNs drawn separately are distinct objects.
floats = st.one_of(st.sampled_from(FLOATS).map(float), st.floats(), st.just(0).map(
    lambda _: float("nan")))
# Keys the tree must leave to their own comparisons, though each looks like a number or text.
foreign = st.one_of(
    ints.map(BACKWARDS[int]), floats.map(BACKWARDS[float]), texts.map(BACKWARDS[str]),
    blobs.map(BACKWARDS[bytes]), st.booleans(), st.one_of(ints, floats).map(Reversed))
scalars = st.one_of(texts, long_texts, blobs, ints, floats, foreign)
tuples = st.recursive(
    st.lists(scalars, max_size=4).map(tuple),
    lambda inner: st.lists(st.one_of(scalars, inner), max_size=3).map(tuple), max_leaves=6)
keys = st.one_of(scalars, tuples, tuples.map(BACKWARDS[tuple]))


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
    return type(b)(tuple(x if t else y for x, y, t in zip(a, b, take)) + b[len(a):])


def drawn_text(draw, alphabet, min_size, max_size):
    return "".join(draw(st.lists(st.sampled_from(alphabet), min_size=min_size,
                                 max_size=max_size)))


@st.composite
def tied_texts(draw):
    """Two strs whose numbers tie: the same first 8 characters below 256, or the same first 3
    of any width (which also ties a wide str with a narrow one, in the wide form)."""
    alphabet, size = draw(st.sampled_from([(LATIN1, 8), (CHARS, 3), (LATIN1, 3), (CHARS, 8)]))
    head = drawn_text(draw, alphabet, size, size)
    return head + drawn_text(draw, CHARS, 0, 3), head + drawn_text(draw, CHARS, 0, 3)


@st.composite
def tied_blobs(draw):
    """Two bytes with the same first 8 bytes."""
    head = bytes(draw(st.lists(st.sampled_from(BYTES), min_size=8, max_size=8)))
    tails = st.lists(st.sampled_from(BYTES), max_size=3).map(bytes)
    return head + draw(tails), head + draw(tails)


@st.composite
def tied_numbers(draw):
    """A number and an equal copy of it (a distinct object, a float NaN a distinct NaN), its
    neighbour, the same value of the other kind, a bool, or a backwards subclass of it."""
    x = draw(st.one_of(ints, floats))
    if type(x) is int:
        partners = [x, int(str(x)), x + 1, x - 1, BACKWARDS[int](x)]
        partners += [float(x)] if abs(x) < 2**1000 else []
        partners += [bool(x)] if x in (0, 1) else []
    else:
        partners = [x, float(repr(x)), -x, math.nextafter(x, math.inf), BACKWARDS[float](x)]
        partners += [int(x)] if math.isfinite(x) else []
    return x, draw(st.sampled_from(partners))


# What a pair is put beside inside tuples: made fresh for every pair, equal (of one kind or of
# two, and one NaN object on both sides), or not.
COMPANIONS = [
    lambda: (5, 5), lambda: (2**64, int(str(2**64))), lambda: (0.0, -0.0), lambda: (1, 1.0),
    lambda: (1, True), lambda: ("abc", "".join(["ab", "c"])), lambda: (b"k", bytes([107])),
    lambda: (BACKWARDS[str]("x"), "x"), lambda: (float("nan"),) * 2, lambda: (0, 1),
    lambda: ("a", b"a"),
]

# Every place in a key where the pair can stand: the whole key, the first item of a tuple, a
# later one after companions, inside a nested tuple, and as the first item of one; and the
# whole key against a tuple's first item, whose summaries must never decide between the two.
POSITIONS = [
    lambda x, y, c, d: (x, y),
    lambda x, y, c, d: (x, (y, d)),
    lambda x, y, c, d: ((x, c), (y, d)),
    lambda x, y, c, d: ((c, x), (d, y)),
    lambda x, y, c, d: ((c, (c, x)), (d, (d, y))),
    lambda x, y, c, d: (((x, c), c), ((y, d), d)),
]


@st.composite
def key_pairs(draw):
    if draw(st.booleans()):  # two keys drawn apart, or one key twice
        a = draw(keys)
        b = draw(st.one_of(keys, st.just(a)))
        take = draw(st.lists(st.booleans(), min_size=4, max_size=4))
        return a, share_items(a, b, take)
    x, y = draw(st.one_of(tied_numbers(), tied_texts(), tied_blobs()))
    if type(x) is type(y) and type(x) in BACKWARDS and draw(st.integers(0, 3)) == 0:
        x, y = BACKWARDS[type(x)](x), BACKWARDS[type(y)](y)  # one subclass on both sides
    return draw(st.sampled_from(POSITIONS))(x, y, *draw(st.sampled_from(COMPANIONS))())


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


def start_end_order(a, b):
    """The tree's check that a range from `a` to `b` does not start after it ends: "gt" when it
    does, else "le" (or the exception)."""
    try:
        AVLTree().range(a, b)
    except Exception as exc:  # noqa: BLE001
        if type(exc) is ValueError and str(exc) == "range start must not exceed end":
            return "gt"
        return type(exc), str(exc)
    return "le"


@settings(max_examples=3000)
@given(key_pairs())
def test_pair_order_matches_interpreter(pair):
    # Each comparison the tree makes, with each key of the pair as the left operand: a probe
    # against a stored key, a stored key against a bound, a range's start against its end.
    for a, b in (pair, pair[::-1]):
        order = interpreter_order(a, b)
        assert tree_order_probe_left(a, b) == order
        assert tree_order_node_left(a, b) == order
        assert start_end_order(a, b) == ({"lt": "le", "eq": "le"}.get(order, order))
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
    ("a" * 64 + "b", "a" * 63 + "c"), ("ab" + "z" * 70, "ac" + "a" * 70), ("b" + "a" * 99, "a" * 64),
    ("\u0100" * 65, "\xff" * 65), ("\xe9" * 70, "\xe9" * 7 + "\u0100"), ("\u20ac" * 66, "\u20ad"),
    ("ba" + "a" * 70, "bb"), ("\u20ac" + "a" * 70, "\u20ac\u20ac"),
    (b"", b"\x00"), (b"\xff" * 8, b"\xff" * 8 + b"\x00"), (b"\x00\xff", b"\x00\xfe\xff"),
    (1, 1.0), (-0.0, 0.0), (2**63, 2.0**63), (2**63 + 1, 2.0**63), (10**30, math.inf),
    ((), (0,)), ((1, 2), (1,)), ((1, "a"), (1, "b")), ((1, 2.5), (1.0, 2.5)),
    ((2**64, 1), (2**64, 2)), ((1, (2, 3)), (1, (2, 4))), ((b"x", 1), (b"x", 0)),
    (("", 1), ("\x00",)), ((0.0, "a"), (-0.0, "b")), ((1,), (1, float("nan"))),
    ("\u0100", ("a",)), ("a", ("\u0100", 1)), (1, (1,)), (b"a", (b"a",)), (2.5, (0.5,)),
])
def test_edge_pairs_match_interpreter(a, b):
    for x, y in ((a, b), (b, a)):
        assert tree_order_probe_left(x, y) == interpreter_order(x, y)
        assert tree_order_node_left(x, y) == interpreter_order(x, y)


def test_str_keys_gain_no_cached_encoding():
    # The interpreter caches an encoded form inside a str once asked for one, and counts it in
    # the str's size: summarising the keys must not ask.
    keys = ["".join(c) + str(i) for i, c in enumerate(zip(CHARS, reversed(CHARS)))]
    sizes = [sys.getsizeof(k) for k in keys]
    tree = AVLTree(keys)
    for k in keys:
        tree.insert(k)
        assert k in tree
    assert [sys.getsizeof(k) for k in keys] == sizes


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
