"""Every entry point gives back exactly the references it takes, on success and on failure.

Needs an interpreter built with reference totals (``sys.gettotalrefcount``); elsewhere the
module is skipped. ``ci/refleaks.sh`` builds the extension against Debian's debug CPython and
runs this file. Each scenario makes its own fresh objects, runs many times, and the
interpreter-wide reference total must come back to where it was. A leak of one reference per
call shows as +CALLS; an extension compiled without reference counting (against the release
``pyconfig.h``) fails nearly every scenario by hundreds, as the interpreter then counts only
half of each reference the extension hands over or takes back.
"""

import contextlib
import copy
import gc
import io
import operator
import pickle
import sys

import pytest

if not hasattr(sys, "gettotalrefcount"):
    pytest.skip("needs an interpreter built with reference totals", allow_module_level=True)

from support import OPERATIONS, Probe, operation_id

import tervalo
from tervalo import AVLTree
from tervalo.tervalo import _avltree_from_sorted_entries as from_sorted
from tervalo.tervalo import _AVLTreeIterator as Iterator

CALLS, ROUNDS, WARMUP = 100, 3, 3
NOISE = 10  # far below CALLS: one reference per call cannot hide in it
MEASURED = {}


# The interpreter's type attribute cache keeps a reference to the name string of each lookup,
# in a slot chosen by the string's address: a lookup by a freshly made name (as unpickling
# does for every global it finds) takes a new slot and keeps that copy alive. Both readings are
# therefore taken with the interpreter's caches emptied, so that only objects' references count.
clear_caches = getattr(sys, "_clear_internal_caches", None) or sys._clear_type_cache


def total_references():
    gc.collect()
    clear_caches()
    return sys.gettotalrefcount()


def ref_delta(fn):
    """Net change of the reference total over CALLS calls; the quietest of ROUNDS rounds."""
    for _ in range(WARMUP):
        fn()
    best = None
    for _ in range(ROUNDS):
        before = total_references()
        for _ in range(CALLS):
            fn()
        delta = total_references() - before
        if best is None or abs(delta) < abs(best):
            best = delta
    return best


class _Figure:
    """Prints the totals once the run is over, after the terminal capture has ended."""

    @staticmethod
    def pytest_terminal_summary(terminalreporter):
        if MEASURED:
            terminalreporter.write_line(f"reference leaks: {len(MEASURED)} scenarios, "
                                        f"total leaked references: {sum(MEASURED.values())}")


@pytest.fixture(scope="module", autouse=True)
def _figure(request):
    if not request.config.pluginmanager.is_registered(_Figure):
        request.config.pluginmanager.register(_Figure)


def check_no_leak(name, fn):
    MEASURED[name] = delta = ref_delta(fn)
    assert abs(delta) < NOISE, f"{name}: reference total moved by {delta} over {CALLS} calls"


# --- values, keys and misbehaving objects ----------------------------------------------------


class V:
    """Ordered by ``k``; ``fail`` names a comparison that raises instead, or "bool" (the
    comparison answers an object without a truth value) or "none" (every comparison is False)."""

    fail = None

    def __init__(self, k, fail=None):
        self.k = k
        if fail:
            self.fail = fail

    def _compare(self, op, other):
        if self.fail == op:
            raise ArithmeticError(op)
        if self.fail == "bool":
            return Truthless()
        if self.fail == "none":
            return False
        return getattr(operator, op)(self.k, other.k)

    __eq__ = lambda self, other: self._compare("eq", other)  # noqa: E731
    __lt__ = lambda self, other: self._compare("lt", other)  # noqa: E731
    __gt__ = lambda self, other: self._compare("gt", other)  # noqa: E731
    __hash__ = None

    def __repr__(self):
        if self.fail == "repr":
            raise LookupError("no repr")
        return 42 if self.fail == "repr type" else f"V({self.k})"


class Truthless:
    def __bool__(self):
        raise ValueError("no truth value")


class Meddler(V):
    """Runs ``action`` (typically a call back into a tree) in ``==`` and in ``repr``."""

    def __init__(self, k, action):
        super().__init__(k)
        self.action = action

    def __eq__(self, other):
        self.action()
        return super().__eq__(other)

    def __repr__(self):
        self.action()
        return "M"

    __hash__ = None


class Finalised(V):
    """On release, tries to read the tree in ``box[0]`` and records what happened in ``box``."""

    def __init__(self, k, box):
        super().__init__(k)
        self.box = box

    def __del__(self):
        if self.box:
            try:
                self.box.append(len(self.box[0]))
            except RuntimeError as exc:
                self.box.append(str(exc))


class Index:
    def __init__(self, result):
        self.result = result

    def __index__(self):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


class Pairs:
    """A sequence of (value, key) pairs whose length or an item fails."""

    def __init__(self, fail):
        self.fail = fail

    def __len__(self):
        if self.fail == "len":
            raise LookupError("no length")
        return 3

    def __getitem__(self, i):
        if i >= 3 or (self.fail == "item" and i == 2):
            raise IndexError(i) if i >= 3 else KeyError(i)
        return (V(i), i)


def by_k(value):
    return value.k


def failing_on(k, exc=ZeroDivisionError):
    def key(value):
        if value.k == k:
            raise exc("no key")
        return value.k

    return key


def keyed():
    return AVLTree([V(1)], key=failing_on(2))


def raising_values():
    yield V(1)
    yield V(2)
    raise KeyError("values run dry")


KEY_SPECS = {"identity": None, "attribute": "k", "callable": by_k}
KEY_OF = {"identity": V, "attribute": int, "callable": int}  # probe key for a number


def tree(kind="identity", keys=(5, 2, 8, 1, 3, 7, 9)):
    return AVLTree([V(k) for k in keys], key=KEY_SPECS[kind])


def fails(exc, fn, *args, message=None, note=None, **kwargs):
    try:
        fn(*args, **kwargs)
    except exc as error:
        assert message is None or str(error) == message, str(error)
        assert note is None or getattr(error, "__notes__", None) == [note]
        return
    raise AssertionError(f"no {exc.__name__}")


def ks(values):
    return [v.k for v in values]


# --- successful calls, hits and misses --------------------------------------------------------

WALKS = ["in_order", "descending", "pre_order", "post_order", "level_order", "__iter__"]


def probe(kind, which):
    """Arguments that hit a stored key (5), miss one (4), or meet an empty tree."""
    key, k = KEY_OF[kind], 4 if which == "miss" else 5
    return Probe(value=V(k), key=key(k), lo=key(k - 3), hi=key(8), count=3,
                 closed=which != "miss", values=[V(k), V(1), V(5)], key_spec=KEY_SPECS[kind])


def calls_on_tree():
    """Every operation of the registry: with an argument, on a hit and on a miss; without, on
    the tree and on an empty one."""
    for op in OPERATIONS:
        for which in ["hit", "miss"] if op.argument else ["hit", "empty"]:
            yield pytest.param(op, which, id=f"{operation_id(op)}-{which}")


@pytest.mark.parametrize("kind", KEY_SPECS)
@pytest.mark.parametrize("op, which", calls_on_tree())
def test_calls(op, which, kind):
    def scenario():
        result = op.call(tree(kind, () if which == "empty" else (5, 2, 8, 1, 3, 7, 9)),
                         probe(kind, which))
        if type(result) is Iterator:
            list(result)

    check_no_leak(f"{operation_id(op)} {which} [{kind}]", scenario)


# Arguments that take paths of their own; each takes a fresh tree of V(1, 2, 3, 5, 7, 8, 9) and a
# maker of probe keys, and answers True.
VARIANTS = {
    "range bounds": lambda t, key: (
        ks(t.range(key(2), key(8), include_start=False, include_end=True)) == [3, 5, 7, 8]
        and ks(t.range(end=key(3))) == [1, 2] and ks(t.range(key(9), None)) == [9]
        and ks(t.range()) == ks(t) and ks(t.range(key(4), key(4))) == []
    ),
    "counts": lambda t, key: (
        ks(t.iter_from(key(4), 2)) == [5, 7] and ks(t.iter_from(key(10), 3)) == []
        and ks(t.iter_from(key(0), 0)) == [] and len(list(t.iter_from(key(0), 2**64 - 1))) == 7
        and ks(t.iter_to(key(6), 3)) == [5, 3, 2] and ks(t.iter_to(key(0), 1)) == []
    ),
    "pickle": lambda t, key: ks(pickle.loads(pickle.dumps(t))) == ks(t),
    "copy": lambda t, key: ks(copy.copy(t)) == ks(copy.deepcopy(t)) == ks(t),
}


@pytest.mark.parametrize("kind", KEY_SPECS)
@pytest.mark.parametrize("name", VARIANTS)
def test_variants(name, kind):
    def scenario():
        assert VARIANTS[name](tree(kind), KEY_OF[kind])

    check_no_leak(f"{name} [{kind}]", scenario)


class Name(str):
    pass


def _half_consumed():
    t = tree()
    for make in [*(getattr(t, w) for w in WALKS), lambda: t.range(V(2)),
                 lambda: t.iter_from(V(2), 3), lambda: t.iter_to(V(8), 3)]:
        it = make()
        next(it)
        del it
    return True


def _exhausted():
    it = tree().in_order()  # the tree goes first: the snapshot stands alone
    assert len(list(it)) == 7
    fails(StopIteration, next, it)
    fails(StopIteration, next, it)
    return True


def _finalisers(action):
    box = []
    t = AVLTree([Finalised(k, box) for k in range(5)])
    box.append(t)
    action(t)
    # Each finaliser ran while the change still held the tree, so its read was refused.
    assert box[1:] == ["Already mutably borrowed"] * (len(box) - 1) and len(box) > 1
    box.clear()  # the rest are released with the tree, reading nothing
    return True


def _deep_chain(link, release):
    """A chain nested far past the depth at which releases are postponed, then released."""
    t = V(0)
    for _ in range(300):
        t = link(t)
    outer = AVLTree([t], key=lambda value: 0)
    del t
    release(outer)
    return True


OTHER_SCENARIOS = {
    "constructor variants": lambda: [len(t) for t in (
        AVLTree(), AVLTree(None), AVLTree(iter([V(2), V(1), V(2)])), AVLTree(key=None),
        AVLTree((V(i) for i in range(3)), key=Name("k")),
    )] == [0, 0, 2, 0, 3],
    # Keys that compare without Python code: rising, falling, scattered with duplicates, and a
    # key of another kind part-way.
    "constructor over plain keys": lambda: [len(AVLTree(values, key=key)) for values, key in (
        ([V(k) for k in range(9)], "k"), ([V(k) for k in range(9, 0, -1)], by_k),
        ([V(k % 4) for k in (5, 2, 8, 2, 1, 3, 7, 9)], "k"), ([str(k) for k in range(20, 0, -3)], None),
        ([b"b", b"a", b"b"], None), ([1.5, -0.0, 0.0, 2.5], None), ([3, 1, 2.5, 2**70, 0], None),
    )] == [9, 9, 4, 7, 2, 3, 5],
    "pairs without a length": lambda: ks(from_sorted(Pairs("len"), "k")) == [0, 1, 2],
    "duplicate insert": lambda: (t := tree()).insert(V(5)) is False and len(t) == 7,
    "iterators dropped half-consumed": _half_consumed,
    "iterators exhausted": _exhausted,
    "clear with finalisers": lambda: _finalisers(lambda t: t.clear()),
    "remove with finalisers": lambda: _finalisers(lambda t: t.remove(V(0))),
    "deep chain of trees released": lambda: _deep_chain(lambda t: AVLTree([t]), lambda o: None),
    "deep chain of keyed trees cleared": lambda: _deep_chain(
        lambda t: AVLTree([t], key=id), lambda o: o.clear()),
    "deep chain of iterators removed": lambda: _deep_chain(
        lambda t: AVLTree([t]).in_order(), lambda o: o.remove_key(0)),
}


@pytest.mark.parametrize("name", OTHER_SCENARIOS)
def test_other(name):
    def scenario():
        assert OTHER_SCENARIOS[name]()

    check_no_leak(name, scenario)


# --- failures ----------------------------------------------------------------------------------


def _reentry_from_key():
    box = []
    t = AVLTree([V(1)], key=lambda v: box[0].insert(V(2)) if box else v.k)
    box.append(t)
    fails(RuntimeError, t.insert, V(3), message="Already borrowed")
    box.clear()


def _reentry_from_repr():
    box = []
    t = AVLTree([V(1), Meddler(2, lambda: box and box[0].clear())])
    box.append(t)
    fails(RuntimeError, repr, t, message="Already borrowed")
    box.clear()


def _panic(where):
    def boom(value):
        raise tervalo.PanicException("resumed")

    with contextlib.redirect_stderr(io.StringIO()) as err:
        if where == "key":
            fails(tervalo.PanicException, AVLTree, [V(1), V(2)], key=boom)
        elif where == "comparison":
            fails(tervalo.PanicException, tree().insert, Meddler(4, lambda: boom(None)))
        else:
            fails(tervalo.PanicException, AVLTree, map(boom, [V(1)]))
    assert "internal fault" in err.getvalue()


# name: (exception, call) or (exception, call, parameter named by the exception's note)
FAILURES = {
    # binding
    "too many positionals": (TypeError, lambda: AVLTree().insert(V(1), V(2))),
    "missing argument": (TypeError, lambda: AVLTree().iter_from(V(1))),
    "unknown keyword": (TypeError, lambda: AVLTree().insert(value=V(1), bogus=2)),
    "unencodable keyword": (TypeError, lambda: AVLTree().contains(V(1), **{"\ud800": 1})),
    "duplicate argument": (TypeError, lambda: AVLTree().range(V(1), start=V(2))),
    "constructor too many": (TypeError, lambda: AVLTree([V(1)], by_k)),
    "constructor unknown keyword": (TypeError, lambda: AVLTree([V(1)], keys=by_k)),
    "constructor duplicate": (TypeError, lambda: AVLTree([V(1)], values=[V(2)])),
    "module function missing": (TypeError, lambda: from_sorted([(V(1), 1)])),
    # constructor arguments and keys
    "values not iterable": (TypeError, lambda: AVLTree(V(1)), "values"),
    "values iteration fails": (KeyError, lambda: AVLTree(raising_values(), key=by_k), "values"),
    "key not callable": (TypeError, lambda: AVLTree([V(1), V(2)], key=[by_k]), "key"),
    "key fails part way": (ZeroDivisionError, lambda: AVLTree([V(1), V(2), V(3)], key=failing_on(2))),
    "key fails after scattered keys": (
        ZeroDivisionError, lambda: AVLTree([V(k) for k in (5, 3, 8, 3, 1, 2)], key=failing_on(2))),
    "missing attribute key": (AttributeError, lambda: AVLTree([V(1)], key="nope")),
    "key fails on insert": (ZeroDivisionError, lambda: keyed().insert(V(2))),
    "key fails on lookup": (ZeroDivisionError, lambda: keyed().search(V(2))),
    "key fails on remove": (ZeroDivisionError, lambda: keyed().remove(V(2))),
    "key fails on contains": (ZeroDivisionError, lambda: V(2) in AVLTree(key=failing_on(2))),
    # comparisons
    "__eq__ raises": (ArithmeticError, lambda: tree().insert(V(4, "eq"))),
    "__lt__ raises": (ArithmeticError, lambda: tree().search(V(4, "lt"))),
    "__gt__ raises": (ArithmeticError, lambda: tree().remove(V(4, "gt"))),
    "__bool__ raises": (ValueError, lambda: tree().contains(V(4, "bool"))),
    "all comparisons false": (TypeError, lambda: tree().remove_key(V(4, "none"))),
    "stored key raises in range": (ArithmeticError, lambda: AVLTree([V(1, "eq")]).range(V(0), V(2))),
    "comparison fails in constructor": (ArithmeticError, lambda: AVLTree([V(1), V(2), V(3, "lt")])),
    "NaN in constructor": (TypeError, lambda: AVLTree([1.0, float("nan"), 2.0])),
    "NaN lookup": (TypeError, lambda: AVLTree([1.0, 2.0]).search_key(float("nan"))),
    "NaN bound": (TypeError, lambda: AVLTree([1.0, 2.0]).range(float("nan"), 3.0)),
    "incomparable bounds": (TypeError, lambda: tree("attribute").range(1, "a")),
    "incomparable iter_from": (TypeError, lambda: tree("attribute").iter_from("a", 2)),
    "range start after end": (ValueError, lambda: tree().range(V(5), V(2))),
    # bounds' flags and counts
    "flag not bool": (TypeError, lambda: tree().range(include_start=1), "include_start"),
    "flag None": (TypeError, lambda: tree().range(V(1), include_end=None), "include_end"),
    "count negative": (OverflowError, lambda: tree().iter_from(V(1), -1), "count"),
    "count float": (TypeError, lambda: tree().iter_to(V(1), 1.5), "count"),
    "count huge": (OverflowError, lambda: tree().iter_to(V(1), 1 << 70), "count"),
    "count __index__ raises": (KeyError, lambda: tree().iter_from(V(1), Index(KeyError(1))), "count"),
    "count __index__ negative": (OverflowError, lambda: tree().iter_from(V(1), Index(-2)), "count"),
    # hold conflicts from callbacks
    "insert inside a read": (RuntimeError, lambda: (t := tree()).get(Meddler(4, lambda: t.clear()))),
    "read inside an insert": (RuntimeError, lambda: (t := tree()).insert(Meddler(4, lambda: len(t)))),
    "insert inside a key": (None, _reentry_from_key),
    "clear inside repr": (None, _reentry_from_repr),
    # internal faults resumed from Python code
    "panic from key": (None, lambda: _panic("key")),
    "panic from comparison": (None, lambda: _panic("comparison")),
    "panic from values": (None, lambda: _panic("values")),
    # printing
    "repr raises": (LookupError, lambda: repr(AVLTree([V(1), V(2, "repr"), V(3)]))),
    "repr not a str": (TypeError, lambda: repr(AVLTree([V(1), V(2, "repr type")]))),
    # pickle input
    "pairs str": (TypeError, lambda: from_sorted("ab", None), "pairs"),
    "pairs dict": (TypeError, lambda: from_sorted({1: V(1)}, None), "pairs"),
    "pairs list item": (TypeError, lambda: from_sorted([(V(1), 1), [V(2), 2]], None), "pairs"),
    "pairs 3-tuple": (ValueError, lambda: from_sorted([(V(1), 1), (V(2), 2, 2)], None), "pairs"),
    "pairs item fails": (KeyError, lambda: from_sorted(Pairs("item"), "k"), "pairs"),
    "bad key_spec": (TypeError, lambda: from_sorted([(V(1), 1)], 5), "key_spec"),
}


@pytest.mark.parametrize("name", FAILURES)
def test_failure(name):
    exc, call, *parameter = FAILURES[name]
    note = f"while processing '{parameter[0]}'" if parameter else None
    check_no_leak(name, (lambda: fails(exc, call, note=note)) if exc else call)


def test_harness_sees_a_leak():
    kept = []
    assert ref_delta(lambda: kept.append(V(1))) >= CALLS
