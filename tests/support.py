"""What the test files share: reading reference counts and tree shapes, one way of
capturing an exception, one scripted comparison key, and the counters the stress tiers report."""

import collections
import gc
import operator
import os
import sys

HAS_NOTES = sys.version_info >= (3, 11)
# ci/sanitizers.sh preloads the AddressSanitizer runtime into every process it starts.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


def assert_notes(exc, notes):
    """Argument notes only exist where the interpreter has ``add_note``."""
    if HAS_NOTES:
        assert getattr(exc, "__notes__", []) == notes
    else:
        assert not hasattr(exc, "__notes__")


def outcome(fn, *args, **kwargs):
    """Run ``fn`` and reduce its failure to plain data.

    Refcount tests must not keep the exception (and through its traceback,
    the frames and their locals) alive, so only type, text and notes escape.
    """
    try:
        result = fn(*args, **kwargs)
    except BaseException as exc:  # noqa: BLE001
        info = (type(exc), str(exc), list(getattr(exc, "__notes__", [])))
        exc.__traceback__ = None
    else:
        info = ("ok", result)
    gc.collect()
    return info


# Immortal objects (CPython 3.12+) have no meaningful count: a stable-ABI build compiled with
# older headers still adds and subtracts on them, and the interpreter's own calls do not.
_is_immortal = getattr(sys, "_is_immortal", lambda o: False)


def refs(objs):
    """Reference counts of ``objs``; only deltas between calls mean anything. An immortal
    object counts as 0 throughout."""
    return [0 if _is_immortal(o) else sys.getrefcount(o) for o in objs]


def same_objects(a, b):
    a, b = list(a), list(b)
    return len(a) == len(b) and all(map(operator.is_, a, b))


def state(tree):
    """Identity-level fingerprint: pre-order plus in-order fix the shape."""
    return (
        tuple(map(id, tree.pre_order())),
        tuple(map(id, tree.in_order())),
        tree.height,
        len(tree),
    )


class Token:
    """A fresh, comparable object whose reference count we can watch."""

    __slots__ = ("k", "__weakref__")

    def __init__(self, k):
        self.k = k

    __eq__ = lambda self, other: self.k == other.k  # noqa: E731
    __lt__ = lambda self, other: self.k < other.k  # noqa: E731
    __gt__ = lambda self, other: self.k > other.k  # noqa: E731
    __hash__ = None
    __repr__ = lambda self: f"Token({self.k!r})"  # noqa: E731


# What a comparison whose ``==``, ``<`` and ``>`` all answer false raises, on every path.
ALL_FALSE = "PyAny::compare(): All comparisons returned false"


class CallableName(str):
    """A key name that is also callable: a str key must be used as an attribute name."""

    def __call__(self, value):
        raise AssertionError("a str key is an attribute name, never called")


def notes(*lines):
    """The notes an exception carries: ``lines``, where the interpreter has ``add_note``."""
    return list(lines) if HAS_NOTES else []


class Script:
    """What a set of scripted keys does: every call they receive (comparisons, and key
    extractions when the script is the tree's key callable) is logged in order, and at chosen
    call numbers (from 1) an act replaces the honest answer.

    An act receives the honest answer and returns what to answer instead; see ``raising``,
    ``truth_raising``, ``answering`` and ``calling``.
    """

    def __init__(self):
        self.log = []  # ("==" | "<" | ">", left.k, right.k) or ("key", value)
        self.acts = {}

    def at(self, call, act):
        self.acts[call] = act
        return self

    def _answer(self, entry, honest):
        self.log.append(entry)
        act = self.acts.get(len(self.log))
        return honest if act is None else act(honest)

    def key(self, value):
        """A key callable: the value itself, logged and scripted like a comparison."""
        return self._answer(("key", value), value)

    def keys(self, ks):
        return [ScriptedKey(k, self) for k in ks]


def raising(exc):
    def act(_honest):
        raise exc

    return act


class _Truth:
    def __init__(self, exc):
        self.exc = exc

    def __bool__(self):
        raise self.exc


def truth_raising(exc):
    """Answer an object whose truth test raises ``exc``."""
    return lambda _honest: _Truth(exc)


def answering(value):
    return lambda _honest: value


def calling(fn):
    """Run ``fn()`` (typically a call back into the tree) before answering honestly."""

    def act(honest):
        fn()
        return honest

    return act


_COMPARISONS = {"==": operator.eq, "<": operator.lt, ">": operator.gt}


class ScriptedKey:
    """A comparable key ``k`` whose rich comparisons go through ``script``."""

    __slots__ = ("k", "script", "__weakref__")

    def __init__(self, k, script):
        self.k = k
        self.script = script

    def _compare(self, op, other):
        return self.script._answer((op, self.k, other.k), _COMPARISONS[op](self.k, other.k))

    __eq__ = lambda self, other: self._compare("==", other)  # noqa: E731
    __lt__ = lambda self, other: self._compare("<", other)  # noqa: E731
    __gt__ = lambda self, other: self._compare(">", other)  # noqa: E731
    __hash__ = None
    __repr__ = lambda self: f"ScriptedKey({self.k!r})"  # noqa: E731


def check_shape(tree, key=None):
    """Rebuild the tree from its in-order and pre-order walks and verify it.

    Checks strict key order, AVL balance and heights at every node, the
    ``height`` property, ``len``, and that the other walks agree with the
    rebuilt shape. Returns the root as nested ``(value, left, right, h)``.
    """
    key = key or (lambda v: v)
    inorder = list(tree.in_order())
    preorder = list(tree.pre_order())
    n = len(tree)
    assert len(inorder) == len(preorder) == n
    pos = {id(v): i for i, v in enumerate(inorder)}
    assert len(pos) == n, "a value is stored twice"
    keys = [key(v) for v in inorder]
    for a, b in zip(keys, keys[1:]):
        assert a < b, f"keys out of order: {a!r} before {b!r}"

    walk = iter(preorder)

    def build(lo, hi):
        if lo == hi:
            return None
        v = next(walk)
        i = pos[id(v)]
        assert lo <= i < hi, "pre-order does not fit the in-order split"
        left, right = build(lo, i), build(i + 1, hi)
        hl = left[3] if left else 0
        hr = right[3] if right else 0
        assert -1 <= hl - hr <= 1, f"unbalanced at {v!r}: {hl} vs {hr}"
        return (v, left, right, 1 + max(hl, hr))

    root = build(0, n)
    assert tree.height == (root[3] if root else 0)

    post, level, frontier = [], [], [root] if root else []

    def collect_post(node):
        if node:
            collect_post(node[1])
            collect_post(node[2])
            post.append(node[0])

    collect_post(root)
    while frontier:
        level.extend(node[0] for node in frontier)
        frontier = [c for node in frontier for c in node[1:3] if c]
    assert same_objects(tree.post_order(), post)
    assert same_objects(tree.level_order(), level)
    assert same_objects(tree.descending(), reversed(inorder))
    assert same_objects(iter(tree), inorder)
    return root


# --- figures: counts that the stress tiers report at the end of a run --------------

# One Counter per tier; tests add to it, and the summary prints each tier that counted
# anything, its counters in the order they were first touched.
figures = collections.defaultdict(collections.Counter)
