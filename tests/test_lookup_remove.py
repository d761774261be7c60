"""Lookups, membership, removal, clear and the two ends of the tree."""

import operator
import weakref

import pytest
from support import (
    ALL_FALSE,
    ScriptedKey,
    Token,
    check_shape,
    outcome,
    refs,
    same_objects,
    state,
    three_way_log,
)

from tervalo import AVLTree

VALUE_LOOKUPS = ["search", "get", "contains", "has_node", "in"]
KEY_LOOKUPS = ["search_key", "contains_key"]
LOOKUPS = VALUE_LOOKUPS + KEY_LOOKUPS
VALUE_TAKING = VALUE_LOOKUPS + ["remove"]
KEY_TAKING = KEY_LOOKUPS + ["remove_key"]
FINDS = {"search", "get", "search_key"}  # answer a stored value rather than a bool
ENDS = ["first", "min", "last", "max"]
NO_ARGS = ENDS + ["clear"]


def call(tree, name, arg):
    """Run one argument-taking method; ``in`` goes through the operator."""
    return arg in tree if name == "in" else getattr(tree, name)(arg)


class Item:
    """A value only ever ordered through an extractor: it has no ``<`` itself."""

    __slots__ = ("k", "tag", "__weakref__")

    def __init__(self, k, tag=None):
        self.k = k
        self.tag = tag


# --- binding -----------------------------------------------------------------


@pytest.mark.parametrize("name", [n for n in VALUE_TAKING + KEY_TAKING if n != "in"])
def test_binding_names_the_method_called_and_its_parameter(name):
    param = "value" if name in VALUE_TAKING else "key"
    stored = Token(1)
    tree = AVLTree([stored])
    with pytest.raises(TypeError) as info:
        getattr(tree, name)()
    assert str(info.value) == f"AVLTree.{name}() missing 1 required positional argument: '{param}'"
    assert getattr(tree, name)(**{param: Token(1)}) is (stored if name in FINDS else True)


# --- removal shapes -----------------------------------------------------------

SEVEN = list(range(1, 8))  # pre-order 4, 2, 1, 3, 6, 5, 7


@pytest.mark.parametrize("by", ["remove", "remove_key"])
@pytest.mark.parametrize(
    "inserted, removed, pre_order, height",
    [
        ([2, 1, 3], [2], [3, 1], 2),  # successor 3 moves into the root
        (SEVEN, [4], [5, 2, 1, 3, 6, 7], 3),  # successor taken from under 6
        (SEVEN, [1, 3, 2], [6, 4, 5, 7], 3),  # right child of balance 0: single rotation
        (SEVEN, [7, 5, 6], [2, 1, 4, 3], 3),  # left child of balance 0: single rotation
        ([5], [5], [], 0),
    ],
)
def test_removal_shapes(by, inserted, removed, pre_order, height):
    tokens = {k: Token(k) for k in inserted}
    tree = AVLTree(tokens[k] for k in inserted)
    for k in removed:
        size = len(tree)
        assert getattr(tree, by)(Token(k)) is True
        assert len(tree) == size - 1
        check_shape(tree)
    assert [t.k for t in tree.pre_order()] == pre_order
    assert tree.height == height
    # nodes move whole: survivors are the very objects inserted
    assert same_objects(tree.in_order(), [tokens[k] for k in sorted(set(inserted) - set(removed))])
    absent = [Token(k) for k in (0, 4.5, 8)]  # below, between and above every key
    watched = list(tree) + absent
    before, counts = state(tree), refs(watched)
    assert [getattr(tree, by)(t) for t in absent] == [False] * 3
    assert state(tree) == before and refs(watched) == counts


# --- which keys a descent compares -------------------------------------------


@pytest.mark.parametrize(
    "probe, path",
    [(4, [4]), (6, [4, 6]), (3, [4, 2, 3]), (0, [4, 2, 1]), (4.5, [4, 6, 5]), (8, [4, 6, 7])],
    ids=["root", "inner key", "leaf", "below every key", "between keys", "above every key"],
)
@pytest.mark.parametrize("name", LOOKUPS + ["remove", "remove_key"])
def test_descent_compares_the_probe_with_each_key_on_its_path(script, name, probe, path):
    stored = {k: ScriptedKey(k, script) for k in SEVEN}
    tree = AVLTree(stored[k] for k in SEVEN)
    script.log.clear()
    result = call(tree, name, ScriptedKey(probe, script))
    # the probe is the left operand; an equal key ends the descent, and a removal relinks the
    # successor without comparing it
    assert script.log == three_way_log((probe, k) for k in path)
    found = stored.get(probe)
    assert result is (found if name in FINDS else found is not None)


# --- keys: when they are computed and what is answered -------------------------


@pytest.mark.parametrize("filled", [False, True])
@pytest.mark.parametrize("name", VALUE_TAKING + KEY_TAKING + NO_ARGS)
def test_extractor_runs_once_for_value_arguments_only(script, name, filled):
    calls = []
    tree = AVLTree([Item(k) for k in range(7)] if filled else [],
                   key=lambda v: calls.append(v) or v.k)
    del calls[:]
    probe = Item(3 if filled else ScriptedKey(3, script))  # an empty tree compares nothing
    arg = probe if name in VALUE_TAKING else probe.k
    result = getattr(tree, name)() if name in NO_ARGS else call(tree, name, arg)
    # the key is derived before the descent, even when there is nothing to descend
    assert calls == ([probe] if name in VALUE_TAKING else [])
    assert script.log == []
    if not filled:
        assert result is (None if name in FINDS or name in NO_ARGS else False)
        assert len(tree) == 0 and tree.height == 0


@pytest.mark.parametrize("name", VALUE_TAKING)
def test_attribute_extractor_fails_as_the_interpreter_does(name):
    # even with nothing to search, and with no note: the key is not an argument conversion
    bare = object()
    assert outcome(call, AVLTree(key="priority"), name, bare) == outcome(getattr, bare, "priority")


def test_lookups_answer_the_stored_object_not_the_probe():
    tree = AVLTree([1], key=abs)
    assert tree.search(-1) == 1 and tree.contains(-1) is True
    big = 10**20 + 1  # large ints are not cached: identity is meaningful
    stored = int(str(big))
    tree = AVLTree([stored], key=abs)
    for probe in (-stored, int(str(big))):
        assert tree.search(probe) is stored and tree.get(probe) is stored
        assert tree.contains(probe) is tree.has_node(probe) is (probe in tree) is True
    assert tree.search_key(int(str(big))) is stored and tree.contains_key(-big) is False
    assert tree.remove(-stored) is True
    assert len(tree) == 0 and tree.height == 0 and list(tree) == []


def test_key_taking_methods_use_the_argument_as_the_key():
    items = [Item(k) for k in (3, 7)]
    tree = AVLTree(items, key="k")
    assert tree.search_key(7) is items[1] and tree.contains_key(3) is True
    with pytest.raises(AttributeError):
        tree.search(7)  # 7 has no attribute `k`
    assert tree.remove_key(3) is True and same_objects(tree, items[1:])


def test_stored_none():
    tree = AVLTree([None])
    assert tree.search(None) is None and tree.get(None) is None
    assert tree.contains(None) is tree.has_node(None) is tree.contains_key(None) is True
    assert (None in tree) is True and tree.first() is None and len(tree) == 1
    assert tree.remove(None) is True and tree.contains(None) is False


# --- failing comparisons -------------------------------------------------------


# Raised exceptions at every comparison of every operation are test_fault_injection.py's;
# here, the errors the tree itself or the interpreter words.


def failure_case(kind):
    """A tree, a probe, and the outcome its lookup must have."""
    if kind == "nan_self":  # a lone NaN is stored, but never found again
        nan = float("nan")
        return AVLTree([nan]), nan, (TypeError, ALL_FALSE, [])
    tree = AVLTree(float(k) + 0.5 for k in range(1, 16))
    if kind == "nan":
        return tree, float("nan"), (TypeError, ALL_FALSE, [])
    return tree, "a", outcome(operator.lt, "a", 1.5)


@pytest.mark.parametrize("name", LOOKUPS + ["remove", "remove_key"])
@pytest.mark.parametrize("kind", ["type", "nan", "nan_self"])
def test_unordered_probe_changes_nothing(kind, name):
    tree, probe, expected = failure_case(kind)
    watched = list(tree) + ([] if kind == "type" else [probe])
    before, counts = state(tree), refs(watched)
    assert outcome(call, tree, name, probe) == expected
    assert state(tree) == before and refs(watched) == counts
    check_shape(tree)


# --- references ----------------------------------------------------------------


@pytest.mark.parametrize(
    "how, victim", [("remove", 1), ("remove", 4), ("remove_key", 6), ("clear", None)]
)
def test_identity_entries_release_both_references(how, victim):
    items = [Token(k) for k in SEVEN]  # 1 is a leaf, 4 the root, 6 has two children
    tree = AVLTree(items)
    probe = Token(victim)
    watched = items + [probe]
    counts = refs(watched)
    assert (tree.clear() is None) if how == "clear" else getattr(tree, how)(probe) is True
    # value and key are one object here, held twice by the tree
    gone = [how == "clear" or v.k == victim for v in items] + [False]
    assert refs(watched) == [c - 2 * g for c, g in zip(counts, gone)]


@pytest.mark.parametrize("extractor", ["attribute", "callable"])
@pytest.mark.parametrize("by", ["remove", "remove_key"])
def test_removal_releases_value_and_key_of_keyed_entry(by, extractor):
    items = [Item(k, tag=Token(k)) for k in SEVEN]
    tags = [v.tag for v in items]
    tree = AVLTree(items, key="tag" if extractor == "attribute" else lambda v: v.tag)
    arg = Item(4, tag=Token(4)) if by == "remove" else Token(4)
    watched = items + tags + [arg, arg.tag if by == "remove" else arg]
    counts = refs(watched)
    assert getattr(tree, by)(arg) is True
    # the tree's one reference to the value and its one to the key, nothing else
    dropped = {id(items[3]), id(tags[3])}
    assert refs(watched) == [c - 1 if id(v) in dropped else c for v, c in zip(watched, counts)]


@pytest.mark.parametrize("victim", [1, 4])  # a leaf; the root, with two children
@pytest.mark.parametrize("by", ["remove", "remove_key"])
def test_removal_releases_the_value_before_its_key(by, victim):
    released, watched = [], []

    def key_of(value):
        key = Token(value.k)
        if value.k == victim and not watched:  # the stored key, not the probe's
            watched.append(weakref.ref(key, lambda _: released.append("key")))
        return key

    tree = AVLTree((Token(k) for k in SEVEN), key=key_of)
    watched.append(weakref.ref(tree.search_key(Token(victim)), lambda _: released.append("value")))
    assert getattr(tree, by)(Token(victim)) is True
    assert released == ["value", "key"]


def test_clear_releases_values_and_fresh_keys_then_tree_is_reusable():
    made = []  # weak references to every key the extractor hands out

    def key(v):
        k = Token(v.k)
        made.append(weakref.ref(k))
        return k

    items = [Item(k) for k in range(20)]
    tree = AVLTree(items, key=key)
    counts = refs(items)
    assert all(r() is not None for r in made)
    assert tree.clear() is None
    assert len(made) == 20 and all(r() is None for r in made)
    assert refs(items) == [c - 1 for c in counts]
    assert len(tree) == 0 and tree.height == 0 and tree.first() is None
    new = Item(5)  # the extractor survives clearing
    assert tree.insert(new) is True and len(made) == 21 and tree.search(Item(5)) is new
    assert tree.clear() is None and tree.clear() is None and len(tree) == 0


LOOKUP_REFS = [(n, hit) for n in LOOKUPS for hit in (True, False)] + [(n, True) for n in ENDS]


@pytest.mark.parametrize("name, hit", LOOKUP_REFS)
def test_lookups_return_new_references_and_keep_the_probe(name, hit):
    items = [Token(k) for k in SEVEN]
    tree = AVLTree(items)
    probe = Token(3 if hit else 3.5)
    watched = items + [probe]
    if name in ENDS:
        target = items[0 if name in ("first", "min") else -1]
    else:
        target = items[2] if hit and name in FINDS else None
    counts = refs(watched)
    result = getattr(tree, name)() if name in ENDS else call(tree, name, probe)
    held = refs(watched)
    if name in FINDS or name in ENDS:
        assert result is target
    else:
        assert result is hit
    # a found value is handed out as one new reference, dropped again with the result
    assert held == [c + (v is target) for v, c in zip(watched, counts)]
    del result
    assert refs(watched) == counts
