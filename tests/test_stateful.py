"""Model-based stress: random programs of every operation, checked step by step
against a sorted dictionary (key -> first value inserted under it).

After every step the whole shape is rebuilt from the walks and checked (order,
every node's balance and height, ``len``). Deterministic by default; set
TERVALO_STRESS_EXAMPLES (and TERVALO_STRESS_STEPS) to run longer.
"""

import copy
import operator
import os
import pickle

import pytest
from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import (
    RuleBasedStateMachine,
    invariant,
    precondition,
    rule,
    run_state_machine_as_test,
)
from sortedcontainers import SortedDict
from support import check_shape, figures, same_objects

from tervalo import AVLTree

EXAMPLES = int(os.environ.get("TERVALO_STRESS_EXAMPLES", "60"))
STEPS = int(os.environ.get("TERVALO_STRESS_STEPS", "50"))
# Derandomized (or exploring) as the profile in force says; see conftest.py.
SETTINGS = settings(max_examples=EXAMPLES, stateful_step_count=STEPS)


class Item:
    """A value without an order of its own: only its extracted key orders it."""

    def __init__(self, k, tag):
        self.k, self.tag = k, tag

    def __reduce__(self):
        return Item, (self.k, self.tag)

    def __repr__(self):
        return f"Item({self.k}, {self.tag})"


class Ordered(Item):
    """A value that orders itself through Python-level comparisons (the tree's general path);
    it also compares with the plain numbers used as bounds and key arguments."""

    def __reduce__(self):
        return Ordered, (self.k, self.tag)

    __eq__ = lambda self, other: self.k == getattr(other, "k", other)  # noqa: E731
    __lt__ = lambda self, other: self.k < getattr(other, "k", other)  # noqa: E731
    __gt__ = lambda self, other: self.k > getattr(other, "k", other)  # noqa: E731
    __hash__ = None


def negated(item):
    """Callable key that reverses the natural order, so the extractor visibly matters."""
    return -item.k


# kind -> (key argument, value from (k, tag), key of a value). Identity trees mix an int
# and a float of the same number: equal keys, distinct objects, so "first value wins"
# is visible. Numbers take the tree's built-in fast paths; "compared" values do not.
KINDS = {
    "identity": (None, lambda k, tag: float(k) if tag % 2 else k, lambda v: v),
    "compared": (None, Ordered, operator.attrgetter("k")),
    "attribute": ("k", Item, operator.attrgetter("k")),
    "callable": (negated, Item, negated),
}
WALKS = ["in_order", "descending", "pre_order", "post_order", "level_order", "__iter__"]

ks = st.integers(-25, 25)
values = st.tuples(ks, st.integers(0, 3))
bounds = st.one_of(st.none(), ks, ks.map(lambda k: k + 0.5))  # present, absent, None
flags = st.booleans()


class TreeMachine(RuleBasedStateMachine):
    kind = "identity"

    def __init__(self):
        super().__init__()
        self.key_spec, self.make, self.key = KINDS[self.kind]
        self.tree = AVLTree(key=self.key_spec)
        self.model = SortedDict()
        self.pending = []  # (iterator, what it must still yield)

    def value(self, kt):
        return self.make(*kt)

    def expect(self, keys):
        return [self.model[k] for k in keys]

    # --- changes ---------------------------------------------------------------

    @rule(kts=st.lists(values, max_size=25))
    def insert(self, kts):
        for kt in kts:
            v = self.value(kt)
            k = self.key(v)
            assert self.tree.insert(v) is (k not in self.model)
            self.model.setdefault(k, v)

    @rule(kts=st.lists(values, max_size=30))
    def construct(self, kts):
        vals = [self.value(kt) for kt in kts]
        self.tree = AVLTree(iter(vals), key=self.key_spec)
        self.model = SortedDict()
        for v in vals:
            self.model.setdefault(self.key(v), v)

    @rule(kt=values, by_key=st.booleans())
    def remove(self, kt, by_key):
        v = self.value(kt)
        k = self.key(v)
        removed = self.tree.remove_key(k) if by_key else self.tree.remove(v)
        assert removed is (self.model.pop(k, None) is not None)

    @rule()
    def clear(self):
        assert self.tree.clear() is None
        self.model.clear()

    @rule(how=st.sampled_from(["copy", "deepcopy", *range(pickle.HIGHEST_PROTOCOL + 1)]))
    def round_trip(self, how):
        if how == "copy":
            restored = copy.copy(self.tree)
            assert same_objects(restored, self.tree)
        else:
            restored = copy.deepcopy(self.tree) if how == "deepcopy" else pickle.loads(
                pickle.dumps(self.tree, how))
            assert list(map(repr, restored)) == list(map(repr, self.model.values()))
        self.tree = restored
        self.model = SortedDict((self.key(v), v) for v in restored)

    # --- reads -----------------------------------------------------------------

    @rule(kt=values)
    def lookups(self, kt):
        v = self.value(kt)
        k = self.key(v)
        stored, present = self.model.get(k), k in self.model
        t = self.tree
        for found in (t.search(v), t.get(v), t.search_key(k)):
            assert found is stored
        for answer in (t.contains(v), t.has_node(v), v in t, t.contains_key(k)):
            assert answer is present

    @rule()
    def ends(self):
        lo, hi = self.model.values()[:1], self.model.values()[-1:]
        t = self.tree
        assert t.first() is t.min() is (lo[0] if lo else None)
        assert t.last() is t.max() is (hi[0] if hi else None)
        assert t.is_empty() is (not self.model) is (not t)

    @rule(start=bounds, end=bounds, inc_start=flags, inc_end=flags)
    def range(self, start, end, inc_start, inc_end):
        if start is not None and end is not None and start > end:
            with pytest.raises(ValueError, match="range start must not exceed end"):
                self.tree.range(start, end, include_start=inc_start, include_end=inc_end)
            return
        got = self.tree.range(start, end, include_start=inc_start, include_end=inc_end)
        keys = self.model.irange(start, end, inclusive=(inc_start, inc_end))
        assert same_objects(got, self.expect(keys))

    @rule(bound=bounds, count=st.integers(0, 40), upward=st.booleans())
    def iter_bounded(self, bound, count, upward):
        query = self.tree.iter_from if upward else self.tree.iter_to
        if bound is None and self.model and count:  # None is a key here, not "no bound"
            with pytest.raises(TypeError):
                query(bound, count)
            return
        if bound is None:
            keys = []
        elif upward:
            keys = self.model.irange(minimum=bound)
        else:
            keys = self.model.irange(maximum=bound, reverse=True)
        assert same_objects(query(bound, count), self.expect(list(keys)[:count]))

    # --- snapshots consumed later ------------------------------------------------

    @rule(walk=st.sampled_from(WALKS), now=st.integers(0, 3))
    def take_snapshot(self, walk, now):
        it = getattr(self.tree, walk)()
        if walk in ("in_order", "__iter__"):
            expected = list(self.model.values())
        elif walk == "descending":
            expected = list(reversed(self.model.values()))
        else:  # the shape walks: check_shape has tied a fresh walk to the model
            expected = list(getattr(self.tree, walk)())
        for want in expected[:now]:
            assert next(it) is want
        self.pending.append((it, expected[now:]))

    @precondition(lambda self: self.pending)
    @rule(pick=st.integers(0, 100))
    def consume_snapshot(self, pick):
        it, rest = self.pending.pop(pick % len(self.pending))
        assert same_objects(it, rest)
        assert next(it, None) is None

    def teardown(self):
        while self.pending:
            self.consume_snapshot(0)

    @invariant()
    def whole_shape(self):
        check_shape(self.tree, key=self.key)
        assert same_objects(self.tree.in_order(), self.model.values())
        assert len(self.tree) == len(self.model)
        figures["stateful stress"]["steps"] += 1


@pytest.mark.parametrize("kind", KINDS)
def test_tree_follows_the_model(kind):
    machine = type(f"{kind.title()}TreeMachine", (TreeMachine,), {"kind": kind})
    run_state_machine_as_test(machine, settings=SETTINGS)
