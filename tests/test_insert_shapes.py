"""Insertion: rebalancing shapes, walk orders, comparison protocol, unordered keys."""

import operator

import pytest
from support import (
    ALL_FALSE,
    ScriptedKey,
    Token,
    answering,
    check_shape,
    outcome,
    seeded,
    state,
    three_way_log,
)

from tervalo import AVLTree

WALKS = ["in_order", "descending", "pre_order", "post_order", "level_order"]


def walk(tree, name):
    return list(getattr(tree, name)())


@pytest.mark.parametrize(
    "inserts, pre_order, height",
    [
        ([1, 2, 3, 4, 5, 6, 7], [4, 2, 1, 3, 6, 5, 7], 3),
        ([7, 6, 5, 4, 3, 2, 1], [4, 2, 1, 3, 6, 5, 7], 3),
        ([1, 2, 3], [2, 1, 3], 2),  # single left rotation
        ([3, 2, 1], [2, 1, 3], 2),  # single right rotation
        ([3, 1, 2], [2, 1, 3], 2),  # left child leaning right: double rotation
        ([1, 3, 2], [2, 1, 3], 2),  # mirror double rotation
        ([2, 1, 3, 4, 5], [2, 1, 4, 3, 5], 3),  # rotation below the root
        ([5, 2, 8, 1, 4, 3], [4, 2, 1, 3, 5, 8], 3),  # double rotation at the root
        ([2, 3], [2, 3], 2),
        ([42], [42], 1),
    ],
)
def test_insertion_shapes(inserts, pre_order, height):
    tree = AVLTree()
    for v in inserts:
        assert tree.insert(v) is True
    assert walk(tree, "pre_order") == pre_order
    assert tree.height == height
    assert len(tree) == len(inserts)
    check_shape(tree)
    # the constructor inserts in iteration order, so it builds the same shape
    assert walk(AVLTree(inserts), "pre_order") == pre_order


SEVEN = {
    "in_order": [1, 2, 3, 4, 5, 6, 7],
    "descending": [7, 6, 5, 4, 3, 2, 1],
    "pre_order": [4, 2, 1, 3, 6, 5, 7],
    "post_order": [1, 3, 2, 5, 7, 6, 4],
    "level_order": [4, 2, 6, 1, 3, 5, 7],
}
ROOT_WITH_RIGHT_CHILD = dict(zip(WALKS, [[2, 3], [3, 2], [2, 3], [3, 2], [2, 3]]))


@pytest.mark.parametrize(
    "values, expected",
    [
        (range(1, 8), SEVEN),
        ([2, 3], ROOT_WITH_RIGHT_CHILD),
        ([9], {name: [9] for name in WALKS}),
        ([], {name: [] for name in WALKS}),
    ],
)
@pytest.mark.parametrize("name", WALKS)
def test_walk_orders(values, expected, name):
    tree = AVLTree(values)
    assert walk(tree, name) == expected[name]
    assert list(tree) == expected["in_order"]


def test_perfect_tree_from_sorted_runs():
    # consecutive inserts of 1..2**k-1 fill every level of an AVL tree
    for k in range(1, 11):
        n = 2**k - 1
        up, down = AVLTree(range(n)), AVLTree(range(n, 0, -1))
        assert up.height == down.height == k
        check_shape(up)
        check_shape(down)


@pytest.mark.parametrize("seed", [1, 2])
def test_random_ints_and_shuffled_ranges(seed):
    rng = seeded(seed)
    values = [rng.randrange(-2000, 2000) for _ in range(5000)]
    tree = AVLTree(values)
    assert list(tree) == sorted(set(values))
    check_shape(tree)
    shuffled = list(range(3000))
    rng.shuffle(shuffled)
    tree = AVLTree()
    assert all(tree.insert(v) for v in shuffled)
    assert not any(tree.insert(v) for v in shuffled[:100])
    check_shape(tree)


# --- the comparison protocol ----------------------------------------------


def expected_log(new, path):
    """The new key, on the left, against each stored key of the path."""
    return three_way_log((new, stored) for stored in path)


def recording_tree(script, keys=range(1, 8)):
    tree = AVLTree(ScriptedKey(k, script) for k in keys)
    script.log.clear()
    return tree


@pytest.mark.parametrize(
    "new, path, inserted",
    [
        (4.5, [4, 6, 5], True),
        (0, [4, 2, 1], True),
        (8, [4, 6, 7], True),
        (4, [4], False),
        (6, [4, 6], False),
        (3, [4, 2, 3], False),
    ],
)
def test_comparison_order_and_operands(script, new, path, inserted):
    tree = recording_tree(script)
    assert tree.insert(ScriptedKey(new, script)) is inserted
    assert script.log == expected_log(new, path)


def test_empty_tree_insert_and_walks_compare_nothing(script):
    tree = AVLTree()
    assert tree.insert(ScriptedKey(1, script)) is True
    assert AVLTree([ScriptedKey(2, script)]).height == 1
    assert script.log == []
    tree = recording_tree(script)
    for name in WALKS:
        walk(tree, name)
    repr(tree), len(tree), bool(tree), tree.height, tree.is_empty()
    assert script.log == []


def test_rotation_makes_no_extra_comparisons(script):
    tree = recording_tree(script, keys=[1, 2])
    assert tree.insert(ScriptedKey(3, script)) is True
    assert script.log == expected_log(3, [1, 2])
    assert [k.k for k in tree.pre_order()] == [2, 1, 3]


def test_constructor_compares_each_value_against_tree_so_far(script):
    AVLTree([ScriptedKey(k, script) for k in (2, 1, 3)])
    assert script.log == expected_log(1, [2]) + expected_log(3, [2])


# --- keys that cannot be ordered ------------------------------------------

@pytest.mark.parametrize("stored", [1.0, 1, "scripted"])
def test_all_false_comparison_is_refused(script, stored):
    # numbers are compared without calling Python; scripted keys go through their methods
    new = float("nan")
    if stored == "scripted":
        stored, new = script.keys([1, 2])
        for call in (1, 2, 3):
            script.at(call, answering(False))
    tree = AVLTree([stored])
    before = state(tree)
    assert outcome(tree.insert, new) == (TypeError, ALL_FALSE, [])
    assert state(tree) == before
    script.log.clear()
    assert outcome(AVLTree, [stored, new]) == (TypeError, ALL_FALSE, [])


def test_single_nan_is_allowed_but_never_equal_to_itself():
    nan = float("nan")
    tree = AVLTree([nan])
    assert len(tree) == 1 and list(tree)[0] is nan
    # no identity shortcut: the very same object still compares unordered
    for probe in (nan, float("nan")):
        assert outcome(tree.insert, probe) == (TypeError, ALL_FALSE, [])
    assert len(tree) == 1


@pytest.mark.parametrize("values", [[1, "a"], ["a", 1], [1, 2, None]])
def test_incomparable_types_raise_interpreters_error(values):
    # the new key is the left operand of '<'
    expected = outcome(operator.lt, values[-1], values[0])
    assert outcome(AVLTree, values) == expected
    tree = AVLTree(values[:-1])
    before = state(tree)
    assert outcome(tree.insert, values[-1]) == expected
    assert state(tree) == before


@pytest.mark.parametrize("value", [object(), [1], {}, 1 + 2j, None])
def test_one_value_of_any_kind(value):
    tree = AVLTree([value])
    assert len(tree) == 1 and tree.height == 1 and next(iter(tree)) is value


def test_first_value_wins():
    tree = AVLTree([1, -1], key=abs)
    assert tree.insert(-1) is False
    assert list(tree) == [1]
    first = Token(1)
    tree = AVLTree([first, Token(0), Token(1)])
    before = state(tree)
    assert tree.insert(Token(1)) is False and tree.insert(Token(1.0)) is False
    assert state(tree) == before and list(tree)[1] is first
