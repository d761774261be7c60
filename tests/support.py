"""What the test files share: reading reference counts and tree shapes, one way of
capturing an exception, one scripted comparison key, the suite's random generators, and the
counters the stress tiers report."""

import collections
import gc
import operator
import os
import random
import sys

HAS_NOTES = sys.version_info >= (3, 11)
# ci/sanitizers.sh preloads the AddressSanitizer runtime into every process it starts.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


# The seed of an exploratory run (HYPOTHESIS_PROFILE=explore; conftest sets it), else None.
EXPLORE_SEED = None


def seeded(seed):
    """The generator for ``seed`` (an int or a str): seeded by it alone in every ordinary run, so
    that each run draws the same, and by it and the exploratory seed in an exploratory run. A str
    seeds through SHA-512, independent of PYTHONHASHSEED."""
    return random.Random(seed if EXPLORE_SEED is None else f"{EXPLORE_SEED}:{seed}")


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


def three_way_log(pairs):
    """The log of three-way comparisons of each ``(left, right)`` pair of keys, in turn: ``==``,
    then ``<``, then ``>``, stopping at the first true answer."""
    log = []
    for left, right in pairs:
        for op in ("==", "<", ">"):
            log.append((op, left, right))
            if _COMPARISONS[op](left, right):
                break
    return log


# Module-level rather than nested: a nested recursive function refers to itself, and that
# cycle would keep the tree's values alive until the next full collection.
def _rebuild(walk, pos, lo, hi):
    """The subtree of in-order positions [lo, hi) as ``(value, left, right, height)``."""
    if lo == hi:
        return None
    v = next(walk)
    i = pos[id(v)]
    assert lo <= i < hi, "pre-order does not fit the in-order split"
    left, right = _rebuild(walk, pos, lo, i), _rebuild(walk, pos, i + 1, hi)
    hl = left[3] if left else 0
    hr = right[3] if right else 0
    assert -1 <= hl - hr <= 1, f"unbalanced at {v!r}: {hl} vs {hr}"
    return (v, left, right, 1 + max(hl, hr))


def _post_order(node, out):
    if node:
        _post_order(node[1], out)
        _post_order(node[2], out)
        out.append(node[0])


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

    root = _rebuild(iter(preorder), pos, 0, n)
    assert tree.height == (root[3] if root else 0)

    post, level, frontier = [], [], [root] if root else []
    _post_order(root, post)
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


# --- the registry of operations -----------------------------------------------------
#
# One row per public method, protocol entry, property, constructor and module function. The
# re-entry, fault-injection and reference-leak tiers, the docstring and signature checks and
# the introspection-record checks all iterate over it: a new operation is one new row.

from tervalo import AVLTree  # noqa: E402 (the helpers above need no extension)
from tervalo.tervalo import _avltree_from_sorted_entries  # noqa: E402

# What an operation can run of Python code beyond the call itself.
COMPARES = "compares"  # rich comparisons of keys, and their results' truth tests
EXTRACTS = "extracts"  # the tree's key extractor on the argument or the values
RELEASES = "releases"  # drops stored values (their finalisers run)
REPRS = "reprs"  # the values' __repr__
INDEXES = "indexes"  # a count's __index__


class Probe:
    """The arguments a row's call reads: ``value`` (for value-taking methods), ``key`` (for
    key-taking ones), ``lo``/``hi``/``count`` (counted queries), ``start``/``end``/``closed``
    (ranges; the endpoints default to ``lo`` and ``hi`` and may be None), ``values`` and
    ``key_spec`` (building a tree). Each tier chooses them."""

    def __init__(self, value=None, key=None, lo=None, hi=None, count=0, closed=True,
                 values=(), key_spec=None, **endpoints):
        self.value, self.key, self.lo, self.hi, self.count = value, key, lo, hi, count
        self.start, self.end = endpoints.get("start", lo), endpoints.get("end", hi)
        self.closed, self.values, self.key_spec = closed, values, key_spec


class Operation(collections.namedtuple(
        "Operation", "name kind owner hold argument reaches call signature doc")):
    """``kind``: "method", "slot" (the interpreter supplies ``__doc__`` and the text signature),
    "property", "constructor" or "function" (module level). ``owner``: the class, or None.
    ``hold``: "shared", "exclusive" or None, the hold the call takes on its receiver.
    ``argument``: which part of the probe the call reads ("value", "key", "bounds", "values"),
    or None. ``reaches``: which of COMPARES ... INDEXES the call can run. ``call(tree, probe)``
    runs it. ``signature``/``doc``: the exact ``__text_signature__`` (None where the runtime
    has none of its own) and the docstring written in the stub."""


def _row(name, kind, hold, argument, reaches, call, signature, doc, owner="AVLTree"):
    return Operation(name, kind, owner, hold, argument, frozenset(reaches), call, signature, doc)


def _no_argument(name, hold, doc, reaches=()):
    return _row(name, "method", hold, None, reaches, lambda t, p: getattr(t, name)(), "($self)", doc)


def _one_argument(name, hold, argument, reaches, doc):
    return _row(name, "method", hold, argument, reaches,
                lambda t, p: getattr(t, name)(getattr(p, argument)), f"($self, {argument})", doc)


LOOKUP = (COMPARES, EXTRACTS)

OPERATIONS = [
    _row("AVLTree", "constructor", None, "values", (COMPARES, EXTRACTS),
         lambda t, p: AVLTree(p.values, key=p.key_spec), "(values=None, *, key=None)",
         "Create a tree from optional values and a fixed key extractor.\n\n"
         "`key` may be an attribute name, a one-argument callable, or `None`\n"
         "to compare values directly. Duplicate keys are stored only once."),
    _one_argument("insert", "exclusive", "value", LOOKUP,
                  "Insert `value` and return `True` if its key was not already present."),
    _one_argument("remove", "exclusive", "value", (*LOOKUP, RELEASES),
                  "Remove the entry matching `value`'s extracted key."),
    _one_argument("remove_key", "exclusive", "key", (COMPARES, RELEASES),
                  "Remove the entry matching an already-extracted key."),
    _one_argument("search", "shared", "value", LOOKUP,
                  "Return the entry matching `value`'s extracted key, or `None`."),
    _one_argument("get", "shared", "value", LOOKUP, "Alias for `search`."),
    _one_argument("search_key", "shared", "key", (COMPARES,),
                  "Return the entry matching an already-extracted key, or `None`."),
    _one_argument("contains", "shared", "value", LOOKUP,
                  "Return whether an entry matching `value`'s extracted key exists."),
    _one_argument("has_node", "shared", "value", LOOKUP, "Compatibility alias for `contains`."),
    _one_argument("contains_key", "shared", "key", (COMPARES,),
                  "Return whether an already-extracted key exists."),
    _no_argument("clear", "exclusive", "Remove every value from the tree.", (RELEASES,)),
    _no_argument("is_empty", "shared", "Return whether the tree contains no values."),
    _no_argument("first", "shared", "Return the value with the smallest key, or `None` when empty."),
    _no_argument("min", "shared", "Alias for `first`."),
    _no_argument("last", "shared", "Return the value with the largest key, or `None` when empty."),
    _no_argument("max", "shared", "Alias for `last`."),
    _row("range", "method", "shared", "bounds", (COMPARES,),
         lambda t, p: t.range(p.start, p.end, include_start=p.closed, include_end=p.closed),
         "($self, start=None, end=None, *, include_start=True, include_end=False)",
         "Return values whose extracted keys fall between optional endpoints.\n\n"
         "Endpoints are already-extracted keys. The start is inclusive and the\n"
         "end is exclusive by default. Invalid or incomparable keys raise."),
    _row("iter_from", "method", "shared", "bounds", (COMPARES, INDEXES),
         lambda t, p: t.iter_from(p.lo, p.count), "($self, start, count)",
         "Return at most `count` values from an inclusive lower-bound key.\n"
         "`start` is an already-extracted key. If it is absent from the tree,\n"
         "iteration begins at the first greater key."),
    _row("iter_to", "method", "shared", "bounds", (COMPARES, INDEXES),
         lambda t, p: t.iter_to(p.hi, p.count), "($self, end, count)",
         "Return at most `count` values from an inclusive upper-bound key.\n"
         "Values are returned in descending order. `end` is an already-\n"
         "extracted key; if absent, iteration begins at the first smaller key."),
    _no_argument("in_order", "shared", "Return a snapshot iterator in ascending key order."),
    _no_argument("descending", "shared", "Return a snapshot iterator in descending key order."),
    _no_argument("pre_order", "shared", "Return a snapshot iterator in root-left-right order."),
    _no_argument("post_order", "shared", "Return a snapshot iterator in left-right-root order."),
    _no_argument("level_order", "shared", "Return a breadth-first snapshot iterator, level by level."),
    _no_argument("__reduce__", "shared",
                 "Return `(callable, args)` for pickle reconstruction.\n\n"
                 "The tree is reduced to a sorted list of `(value, key)` pairs plus\n"
                 "the key extractor. Reconstruction uses the fast O(n) sorted builder\n"
                 "so unpickling does not perform AVL insertion or Python comparisons."),
    _row("__len__", "slot", "shared", None, (), lambda t, p: len(t), None,
         "Return the number of unique keys in the tree."),
    _row("__bool__", "slot", "shared", None, (), lambda t, p: bool(t), None,
         "Return `True` when the tree is non-empty."),
    _row("__contains__", "slot", "shared", "value", LOOKUP, lambda t, p: p.value in t, None,
         "Implement `value in tree` using the value's extracted key."),
    _row("__iter__", "slot", "shared", None, (), lambda t, p: iter(t), None,
         "Iterate over a snapshot of values in ascending key order."),
    _row("__repr__", "slot", "shared", None, (REPRS,), lambda t, p: repr(t), None,
         "Return an ascending representation of the stored values."),
    _row("height", "property", "shared", None, (), lambda t, p: t.height, None,
         "The height of the tree; an empty tree has height zero."),
    _row("__iter__", "slot", "shared", None, (), lambda t, p: iter(t).__iter__(), None,
         "Return this iterator object.", owner="_AVLTreeIterator"),
    _row("__next__", "slot", "exclusive", None, (), lambda t, p: next(iter(t), None), None,
         "Return the next value, raising `StopIteration` when exhausted.",
         owner="_AVLTreeIterator"),
    _row("_avltree_from_sorted_entries", "function", None, None, (),
         lambda t, p: _avltree_from_sorted_entries(*t.__reduce__()[1]), "(pairs, key_spec)",
         "Private reconstruction helper used by pickle.\n\n"
         "Accepts a list of `(value, key)` pairs in **strictly ascending key\n"
         "order** and the original key extractor. Nodes are allocated directly\n"
         "via the O(n) balanced builder \u2014 no AVL insertion or Python comparison\n"
         "work is performed during unpickling.\n\n"
         "This function is an implementation detail; its name and signature may\n"
         "change across versions without notice.", owner=None),
]
TREE_CALLS = [op for op in OPERATIONS if op.owner == "AVLTree" and op.hold]  # need a tree's hold


def operation_id(op):
    return op.name if op.owner in ("AVLTree", None) else f"{op.owner}.{op.name}"
