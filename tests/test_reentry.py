"""Re-entry: from inside every kind of callback a tree operation runs (key callable,
property, ``__getattr__``, ``__eq__``/``__lt__``/``__gt__``, a comparison result's
``__bool__``, ``__repr__``, a count's ``__index__``, a removed value's ``__del__``),
call every method of the same tree. Under the outer operation's shared hold reads
answer as they would outside and changes are refused ("Already borrowed"); under its
exclusive hold reads are refused too ("Already mutably borrowed"). Results are
recorded inside the callback and checked outside, against a twin tree on which the same
call ran with every callback quiet. The registry of operations says which callbacks an
operation runs; the others must not run at all.
"""

import gc
import sys
import weakref

import pytest
from support import (
    COMPARES,
    EXTRACTS,
    INDEXES,
    RELEASES,
    REPRS,
    TREE_CALLS,
    Probe,
    check_shape,
    figures,
    state,
)

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


# Inner calls answer as a read would outside under a shared hold, and are refused otherwise.
BORROWED, MUTABLY = (RuntimeError, "Already borrowed"), (RuntimeError, "Already mutably borrowed")


def run_table(tree, samples, hold):
    """Call every method; record what differs from the hold's promise. Returns the
    first refusal, detached from its frames, for a callback that lets it escape."""
    first = None
    for op in TREE_CALLS:
        try:
            got = ("ok", summary(op.call(tree, samples)))
        except Exception as exc:  # noqa: BLE001
            exc.__traceback__ = None
            got = (type(exc), str(exc))
            first = first or exc
        if op.hold == "exclusive":
            want = BORROWED
        else:
            want = ("ok", Case.baseline[op.name]) if hold == "shared" else MUTABLY
        Case.seen += 1
        figures["re-entry"]["calls from callbacks"] += 1
        if got != want:
            Case.unexpected.append((Case.kind, op.name, got, want))
            figures["re-entry"]["unexpected"] += 1
    figures["re-entry"]["unexpected"] += 0
    return first


def probe(key_spec, which):
    """Arguments for every call: a stored value's twin (or a value not stored), its key, bounds
    around it and a count whose ``__index__`` is a hook too."""
    k = {"stored": 40, "absent": 45}[which]
    value = V(k)
    return Probe(value=value, key=key_of(key_spec, value), lo=key_of(key_spec, V(k - 25)),
                 hi=key_of(key_spec, V(50)), closed=which == "stored",
                 count=Count(2 if which == "stored" else 9))


# hook kind -> what an operation must reach for the hook to run
HOOKS = {
    **dict.fromkeys(["key callable", "property", "__getattr__"], EXTRACTS),
    **dict.fromkeys(["__eq__", "__lt__", "__gt__", "__bool__"], COMPARES),
    "__repr__": REPRS,
    "__index__": INDEXES,
    "__del__": RELEASES,
}


def cases(running):
    """(hook kind, operation, probe) triples where the hook runs, or where it must not."""
    found = []
    for op in TREE_CALLS:
        for kind, reach in HOOKS.items():
            for which in ["stored", "absent"] if op.argument else ["stored"]:
                # only a stored value can be released
                runs = reach in op.reaches and (reach != RELEASES or which == "stored")
                if runs is running:
                    found.append(pytest.param(kind, op, which, id=f"{kind}-{op.name}-{which}"))
    return found


def run_outer(kind, op, which, escape, monkeypatch):
    """Run ``op`` with the hook of ``kind`` live; check the tree against a twin on which the
    same call ran with every hook quiet. Returns how many inner calls the hook made."""
    key_spec = KEY_SPECS.get(kind)
    unraisable = []

    def catch(args):  # keep the error only, not the frames of the finaliser
        args.exc_value.__traceback__ = None
        unraisable.append(args.exc_value)

    monkeypatch.setattr(sys, "unraisablehook", catch)
    tree, twin = AVLTree((V(k) for k in STORED), key=key_spec), AVLTree(map(V, STORED), key=key_spec)
    samples = probe(key_spec, which)
    Case.tree, Case.samples, Case.kind, Case.hold, Case.escape = tree, samples, kind, op.hold, escape
    Case.baseline = {o.name: summary(o.call(tree, samples)) for o in TREE_CALLS if o.hold == "shared"}
    Case.seen, Case.unexpected, Case.escaped = 0, [], None
    shape = state(tree)
    expected = summary(op.call(twin, probe(key_spec, which)))

    Case.active = True
    try:
        got = ("ok", summary(op.call(tree, samples)))
    except Exception as exc:  # noqa: BLE001
        exc.__traceback__ = None
        got = ("raised", exc)
    finally:
        Case.active = False

    seen = Case.seen
    assert Case.unexpected == []
    finaliser = kind == "__del__"  # it cannot raise: what escapes it is unraisable
    assert unraisable == ([Case.escaped] if escape and finaliser else [])
    if escape and not finaliser:
        assert got == ("raised", Case.escaped)
        assert state(tree) == shape
    else:
        assert got == ("ok", expected)
        assert [v._k for v in tree] == [v._k for v in twin]
    check_shape(tree, key=lambda v: v._k)
    del got, tree, twin, samples, Case.tree, Case.samples
    Case.escaped = None
    if LIVE:  # a full collection costs more than the whole case: only for what is left
        gc.collect()
    assert len(LIVE) == 0, "objects kept alive"
    return seen


@pytest.mark.parametrize("escape", [False, True], ids=["caught", "escaping"])
@pytest.mark.parametrize("kind, op, which", cases(running=True))
def test_callback_meets_the_hold(kind, op, which, escape, monkeypatch):
    assert run_outer(kind, op, which, escape, monkeypatch) > 0, "the callback never ran"


@pytest.mark.parametrize("kind, op, which", cases(running=False))
def test_operation_runs_no_other_callback(kind, op, which, monkeypatch):
    assert run_outer(kind, op, which, False, monkeypatch) == 0
