"""Re-entry: from inside every kind of callback a tree operation runs (key callable,
property, ``__getattr__``, ``__eq__``/``__lt__``/``__gt__``, a comparison result's
``__bool__``, ``__repr__``, a count's ``__index__``, a removed value's ``__del__``),
call every method of the same tree. Under the outer operation's shared hold reads
answer as they would outside and changes are refused ("Already borrowed"); under its
exclusive hold reads are refused too ("Already mutably borrowed"). Results are
recorded inside the callback and checked outside, against a model of the tree.
"""

import gc
import sys
import weakref

import pytest
from support import check_shape, figures, state

from tervalo import AVLTree

LIVE = set()  # ids of the hook-carrying objects still alive, to catch references kept


def track(obj):
    LIVE.add(id(obj))
    weakref.finalize(obj, LIVE.discard, id(obj))


class Case:
    kind = None  # which hook acts
    active = inside = escape = False
    hold = None
    baseline = {}
    seen, unexpected, escaped = 0, [], None


def hook(kind):
    if not Case.active or Case.inside or Case.kind != kind:
        return
    Case.inside = True
    try:
        first_refusal = run_table(Case.tree, Case.samples, Case.hold)
    finally:
        Case.inside = False
    if Case.escape and Case.escaped is None:
        Case.escaped = first_refusal
        raise first_refusal


class Truth:
    def __init__(self, flag):
        self.flag = flag
        track(self)

    def __bool__(self):
        hook("__bool__")
        return self.flag


def _comparison(name, op):
    def compare(self, other):
        hook(name)
        result = op(self._k, other._k)
        return Truth(result) if Case.kind == "__bool__" else result

    return compare


class V:
    """A value (and, without an extractor, its own key) carrying every hook."""

    def __init__(self, k):
        self._k = k
        track(self)

    __eq__ = _comparison("__eq__", lambda a, b: a == b)
    __lt__ = _comparison("__lt__", lambda a, b: a < b)
    __gt__ = _comparison("__gt__", lambda a, b: a > b)
    __hash__ = None

    @property
    def k(self):
        hook("property")
        return self._k

    def __getattr__(self, name):
        if name != "hooked":
            raise AttributeError(name)
        hook("__getattr__")
        return self._k

    def __repr__(self):
        hook("__repr__")
        return f"V({self._k})"

    def __del__(self):
        hook("__del__")


class Count:
    def __init__(self, n):
        self.n = n
        track(self)

    def __index__(self):
        hook("__index__")
        return self.n


def key_callable(v):
    hook("key callable")
    return v


# hook kind -> the tree's key argument
KEY_SPECS = {"key callable": key_callable, "property": "k", "__getattr__": "hooked"}
STORED = [30, 10, 50, 0, 20, 40, 60]  # a perfect tree of height 3; keys are multiples of 10


def key_of(key_spec, v):
    return v._k if isinstance(key_spec, str) else v


def summary(x):
    """Plain data for a result, holding no reference to a stored object."""
    if isinstance(x, V):
        return ("V", x._k)
    if isinstance(x, (tuple, list)) or type(x).__name__ == "_AVLTreeIterator":
        return [summary(i) for i in x]
    return x if x is None or isinstance(x, (bool, int, str)) else type(x).__name__


# Every method of the tree, with sample arguments: s.v (a stored value's twin), s.k (its
# key), s.new (a value not stored), s.lo/s.hi (keys bounding a range).
NO_ARGUMENT = ["first", "min", "last", "max", "is_empty", "in_order", "descending",
               "pre_order", "post_order", "level_order", "__iter__", "__reduce__"]
READS = {
    **{name: (lambda t, s, name=name: getattr(t, name)()) for name in NO_ARGUMENT},
    "search": lambda t, s: t.search(s.v),
    "get": lambda t, s: t.get(s.v),
    "search_key": lambda t, s: t.search_key(s.k),
    "contains": lambda t, s: t.contains(s.v),
    "has_node": lambda t, s: t.has_node(s.v),
    "in": lambda t, s: s.new in t,
    "contains_key": lambda t, s: t.contains_key(s.k),
    "len": lambda t, s: len(t),
    "bool": lambda t, s: bool(t),
    "height": lambda t, s: t.height,
    "repr": lambda t, s: repr(t),
    "range": lambda t, s: t.range(s.lo, s.hi, include_end=True),
    "iter_from": lambda t, s: t.iter_from(s.lo, 3),
    "iter_to": lambda t, s: t.iter_to(s.hi, 3),
}
CHANGES = {
    "insert": lambda t, s: t.insert(s.new),
    "remove": lambda t, s: t.remove(s.v),
    "remove_key": lambda t, s: t.remove_key(s.k),
    "clear": lambda t, s: t.clear(),
}
BORROWED, MUTABLY = (RuntimeError, "Already borrowed"), (RuntimeError, "Already mutably borrowed")


def run_table(tree, samples, hold):
    """Call every method; record what differs from the hold's promise. Returns the
    first refusal, detached from its frames, for a callback that lets it escape."""
    first = None
    for name, fn in {**READS, **CHANGES}.items():
        try:
            got = ("ok", summary(fn(tree, samples)))
        except Exception as exc:  # noqa: BLE001
            exc.__traceback__ = None
            got = (type(exc), str(exc))
            first = first or exc
        if name in CHANGES:
            want = BORROWED
        else:
            want = ("ok", Case.baseline[name]) if hold == "shared" else MUTABLY
        Case.seen += 1
        figures["re-entry"]["calls from callbacks"] += 1
        if got != want:
            Case.unexpected.append((Case.kind, name, got, want))
            figures["re-entry"]["unexpected"] += 1
    figures["re-entry"]["unexpected"] += 0
    return first


class Samples:
    def __init__(self, key_spec):
        self.v, self.new = V(40), V(45)
        self.k = key_of(key_spec, self.v)
        self.lo, self.hi = key_of(key_spec, V(15)), key_of(key_spec, V(50))


# Outer operations: name -> (hold, call, model of its effect on the stored keys)
KEEP, EMPTY = (lambda keys: keys), (lambda keys: [])
ADD, DROP = (lambda keys: sorted(keys + [45])), (lambda keys: [k for k in keys if k != 40])
OUTER = {
    "insert": ("exclusive", lambda t, s: t.insert(s.new), ADD),
    "insert_duplicate": ("exclusive", lambda t, s: t.insert(s.v), KEEP),
    "remove": ("exclusive", lambda t, s: t.remove(s.v), DROP),
    "remove_absent": ("exclusive", lambda t, s: t.remove(s.new), KEEP),
    "remove_key": ("exclusive", lambda t, s: t.remove_key(s.k), DROP),
    "clear": ("exclusive", lambda t, s: t.clear(), EMPTY),
    "search": ("shared", lambda t, s: t.search(s.v), KEEP),
    "get": ("shared", lambda t, s: t.get(s.new), KEEP),
    "contains": ("shared", lambda t, s: t.contains(s.v), KEEP),
    "has_node": ("shared", lambda t, s: t.has_node(s.new), KEEP),
    "in": ("shared", lambda t, s: s.v in t, KEEP),
    "search_key": ("shared", lambda t, s: t.search_key(s.k), KEEP),
    "contains_key": ("shared", lambda t, s: t.contains_key(s.k), KEEP),
    "range": ("shared", lambda t, s: t.range(s.lo, s.hi), KEEP),
    "iter_from": ("shared", lambda t, s: t.iter_from(s.lo, 2), KEEP),
    "iter_to": ("shared", lambda t, s: t.iter_to(s.hi, 2), KEEP),
    "repr": ("shared", lambda t, s: repr(t), KEEP),
    "iter_from_count": ("shared", lambda t, s: t.iter_from(s.lo, Count(2)), KEEP),
    "iter_to_count": ("shared", lambda t, s: t.iter_to(s.hi, Count(9)), KEEP),
}
VALUE_TAKING = ["insert", "insert_duplicate", "remove", "remove_absent", "search", "get",
                "contains", "has_node", "in"]
COMPARING = VALUE_TAKING + ["remove_key", "search_key", "contains_key", "range", "iter_from",
                            "iter_to"]
RUNS = {  # hook kind -> the outer operations that run it
    **dict.fromkeys(["key callable", "property", "__getattr__"], VALUE_TAKING),
    **dict.fromkeys(["__eq__", "__lt__", "__gt__", "__bool__"], COMPARING),
    "__repr__": ["repr"],
    "__index__": ["iter_from_count", "iter_to_count"],
    "__del__": ["remove", "remove_key", "clear"],
}
CASES = [(kind, outer) for kind, outers in RUNS.items() for outer in outers]


@pytest.mark.parametrize("escape", [False, True], ids=["caught", "escaping"])
@pytest.mark.parametrize("kind, outer", CASES)
def test_callback_meets_the_hold(kind, outer, escape, monkeypatch):
    key_spec = KEY_SPECS.get(kind)
    hold, call, effect = OUTER[outer]
    unraisable = []

    def catch(args):  # keep the error only, not the frames of the finaliser
        args.exc_value.__traceback__ = None
        unraisable.append(args.exc_value)

    monkeypatch.setattr(sys, "unraisablehook", catch)
    tree, twin = AVLTree((V(k) for k in STORED), key=key_spec), AVLTree(map(V, STORED), key=key_spec)
    samples = Samples(key_spec)
    Case.tree, Case.samples, Case.kind, Case.hold, Case.escape = tree, samples, kind, hold, escape
    Case.baseline = {name: summary(fn(tree, samples)) for name, fn in READS.items()}
    Case.seen, Case.unexpected, Case.escaped = 0, [], None
    shape, keys = state(tree), sorted(STORED)
    expected = summary(call(twin, Samples(key_spec)))  # the same call with every hook quiet

    Case.active = True
    try:
        got = ("ok", summary(call(tree, samples)))
    except Exception as exc:  # noqa: BLE001
        exc.__traceback__ = None
        got = ("raised", exc)
    finally:
        Case.active = False

    assert Case.seen > 0, "the callback never ran"
    assert Case.unexpected == []
    finaliser = kind == "__del__"  # it cannot raise: what escapes it is unraisable
    assert unraisable == ([Case.escaped] if escape and finaliser else [])
    if escape and not finaliser:
        assert got == ("raised", Case.escaped)
        assert state(tree) == shape
    else:
        assert got == ("ok", expected)
        assert [v._k for v in tree] == effect(keys)
    check_shape(tree, key=lambda v: v._k)
    del got, tree, twin, samples, Case.tree, Case.samples
    Case.escaped = None
    gc.collect()
    assert len(LIVE) == 0, "objects kept alive"
