"""Key extractors, accepted ``values`` iterables and reference ownership."""

import gc
import sys
import weakref

import pytest
from support import HAS_NOTES, CallableName, Token, assert_notes, outcome, refs, same_objects

from tervalo import AVLTree

BAD_KEY = "key must be an attribute name, a callable, or None"


@pytest.mark.parametrize(
    "values, key, expected",
    [
        (None, None, []),
        ([], len, []),
        ([3, 1, 2, 1], None, [1, 2, 3]),
        ([3 + 1j, 1 + 5j, 2 + 0j, 1 - 1j], "real", [1 + 5j, 2 + 0j, 3 + 1j]),
        ([10, 9, 100], str, [10, 100, 9]),
        (["bbb", "a", "cc", "dd"], len, ["a", "cc", "bbb"]),
        ([-3, 2, -1], abs, [-1, 2, -3]),
        ("cab", None, ["a", "b", "c"]),
        (b"ba", None, [97, 98]),
        ({3: "x", 1: "y"}, None, [1, 3]),
        ({5, 4}, None, [4, 5]),
        (range(3, 0, -1), None, [1, 2, 3]),
        ((x * x for x in (3, -2, 2)), None, [4, 9]),
        (AVLTree([3, 1, 2]), None, [1, 2, 3]),
        (AVLTree(["bb", "a", "c"], key=len), None, ["a", "bb"]),
    ],
)
def test_values_and_key_kinds(values, key, expected):
    tree = AVLTree(values, key=key)
    assert list(tree) == expected
    assert [type(v) for v in tree] == [type(v) for v in expected]


@pytest.mark.parametrize("where", ["constructor", "insert"])
def test_missing_attribute(where):
    tree = AVLTree([Token(1)], key="k")
    if where == "constructor":
        got = outcome(AVLTree, [Token(1), object()], key="k")
    else:
        got = outcome(tree.insert, object())
    # a key failure is not an argument conversion failure: no note
    assert got == outcome(getattr, object(), "k")
    assert len(tree) == 1


def test_empty_attribute_name_is_accepted_until_used():
    tree = AVLTree(key="")
    assert len(tree) == 0 and list(tree) == []
    expected = outcome(getattr, 1, "")
    assert outcome(tree.insert, 1) == expected
    assert len(tree) == 0
    assert outcome(AVLTree, [1], key="") == expected


def test_str_subclass_with_call_is_an_attribute_name():
    name = CallableName("k")
    base = refs([name])
    tree = AVLTree([Token(2), Token(1)], key=name)
    assert [t.k for t in tree] == [1, 2]
    tree.insert(Token(0))
    assert refs([name]) == base  # only the text is kept


def test_key_callable_returning_none_keeps_first_value():
    tree = AVLTree([3, 1, 2], key=lambda v: None)
    assert list(tree) == [3]
    assert tree.insert(0) is False
    assert list(tree) == [3]


def test_key_callable_sees_each_value_once_in_iteration_order(script):
    # the scripted key callable takes exactly one positional argument: any other call raises
    values = [Token(5), Token(3), Token(5), Token(1)]
    tree = AVLTree(values, key=script.key)
    keyed = [v for what, v in script.log if what == "key"]
    assert same_objects(keyed, values)
    script.log.clear()
    new = Token(4)
    assert tree.insert(new) is True
    assert same_objects([v for what, v in script.log if what == "key"], [new])
    script.log.clear()
    list(tree), repr(tree), len(tree), tree.height
    assert script.log == []  # keys are never recomputed


def test_keys_are_not_recomputed_after_the_value_changes():
    a, b, c = Token(1), Token(2), Token(3)
    tree = AVLTree([a, b, c], key="k")
    a.k = 10
    assert same_objects(tree, [a, b, c])
    tree.insert(Token(2.5))
    assert [t.k for t in tree] == [10, 2, 2.5, 3]


def test_generator_is_drained_before_any_key_is_computed():
    events = []

    def gen():
        for i in range(3):
            events.append(("yield", i))
            yield i
        events.append("exhausted")

    def key(v):
        events.append(("key", v))
        return v

    AVLTree(gen(), key=key)
    assert events == [("yield", 0), ("yield", 1), ("yield", 2), "exhausted"] + [
        ("key", i) for i in range(3)
    ]


# --- reference counts -----------------------------------------------------


def test_identity_tree_holds_two_references_per_value():
    values = [Token(i) for i in range(5)]
    base = refs(values)
    tree = AVLTree(values[:3])
    tree.insert(values[3])
    assert [r - b for r, b in zip(refs(values), base)] == [2, 2, 2, 2, 0]
    del tree
    gc.collect()
    assert refs(values) == base


@pytest.mark.parametrize("kind", ["attribute", "callable"])
def test_keyed_tree_holds_value_and_key_once(kind):
    keys = [Token(i) for i in range(3)]
    values = [Token(k) for k in keys]  # value.k is the key object
    key = "k" if kind == "attribute" else (lambda v: v.k)
    watched = values + keys + [key]
    # the interpreter's attribute lookup cache holds the names it has seen: emptied before
    # each count, so only the tree's own references to the name remain
    sys._clear_type_cache()
    base = refs(watched)
    tree = AVLTree(values[:2], key=key)
    tree.insert(values[2])
    sys._clear_type_cache()
    owned = [1] * 6 + [kind == "callable"]  # a callable key is kept, a name is not
    assert [r - b for r, b in zip(refs(watched), base)] == owned
    del tree
    gc.collect()
    sys._clear_type_cache()
    assert refs(watched) == base


# A key callable may answer the value itself for some values and another object for others.
# The first other object may come with the first entry, after a few, or only by insertion.
@pytest.mark.parametrize("first_apart", [0, 1, 5, 12])
def test_keys_that_are_sometimes_the_value_itself(first_apart):
    values = [Token(i) for i in range(16)]
    apart = {id(v): Token(v.k) for v in values[first_apart::3]}
    watched = values + list(apart.values())
    base = refs(watched)
    tree = AVLTree(values[9::-2] + values[:9:2], key=lambda v: apart.get(id(v), v))
    assert all([tree.insert(v) for v in values[10:]])
    held = [1 if id(v) in apart else 2 for v in values] + [1] * len(apart)
    assert [r - b for r, b in zip(refs(watched), base)] == held
    assert same_objects(tree, values)
    assert all(tree.search_key(Token(i)) is v for i, v in enumerate(values))
    assert all([tree.remove(v) for v in values[::2]])
    assert same_objects(tree, values[1::2])
    del tree
    gc.collect()
    assert refs(watched) == base


@pytest.mark.parametrize("kind", ["identity", "attribute", "callable"])
def test_rejected_duplicates_are_released(kind):
    key = {"identity": None, "attribute": "k", "callable": lambda v: v.k}[kind]
    if key is None:
        first, dup = Token(1), Token(1)
        watched = [dup]
    else:
        first, dup = Token(Token(1)), Token(Token(1))
        watched = [dup, dup.k]
    tree = AVLTree([first], key=key)
    base = refs(watched)
    assert tree.insert(dup) is False
    assert refs(watched) == base
    assert list(tree)[0] is first
    # the constructor drops duplicates the same way
    tree2 = AVLTree([first, dup], key=key)
    assert refs(watched) == base and list(tree2)[0] is first


# Only a value the tree holds alone shows the order: insert's argument is its caller's until the
# call returns, but the constructor holds the values it drained from the iterable. (After a
# comparison raised, its traceback holds the key; the exception decides when that goes.)
@pytest.mark.parametrize("kind", ["attribute", "callable"])
def test_refused_duplicate_is_released_value_first(kind):
    released = []

    class Value:
        __slots__ = ("k", "watched", "__weakref__")

        def __init__(self, k, watched):
            self.k, self.watched = k, watched
            if watched:
                weakref.finalize(self, released.append, "value")

        @property
        def key(self):  # a fresh object each time: the tree holds the only reference to it
            key = Token(self.k)
            if self.watched:
                weakref.finalize(key, released.append, "key")
            return key

    values = (Value(1, watched) for watched in (False, True))
    tree = AVLTree(values, key="key" if kind == "attribute" else lambda v: v.key)
    assert released == ["value", "key"] and len(tree) == 1


def test_failed_construction_releases_the_unprocessed_values_before_the_tree():
    released = []

    class Value:
        __slots__ = ("k", "__weakref__")

        def __init__(self, k):
            self.k = k
            weakref.finalize(self, released.append, k)

    def key(value):
        if value.k == 3:
            raise LookupError("no key for 3")
        return value.k

    # Drawn from a generator, so the constructor holds the only references once it has them.
    with pytest.raises(LookupError):
        AVLTree((Value(k) for k in range(6)), key=key)
    # 3 stays alive as long as the exception's traceback does; the tree built from 0, 1, 2 goes
    # last, in pre-order.
    assert [k for k in released if k != 3] == [4, 5, 1, 0, 2]


def _iter_then_raise(items, err):
    yield from items
    raise err


@pytest.mark.parametrize(
    "build, expected",
    [
        (lambda vals: AVLTree(vals, key=5), (TypeError, BAD_KEY, ["while processing 'key'"])),
        (lambda vals: AVLTree(vals + [object()], key="k"), AttributeError),
        (lambda vals: AVLTree(vals + [Token("text")]), TypeError),
    ],
    ids=["bad key", "missing attribute", "incomparable"],
)
def test_constructor_failure_releases_everything(build, expected):
    values = [Token(i) for i in range(4)]
    base = refs(values)
    result = outcome(build, values)
    if isinstance(expected, tuple):
        assert result[:2] == expected[:2]
        assert result[2] == (expected[2] if HAS_NOTES else [])
    else:
        assert result[0] is expected and result[2] == []
    assert refs(values) == base


def test_failing_comparison_releases_value_and_its_key():
    key_obj = Token("key")
    value = Token(key_obj)
    tree = AVLTree([Token(Token(1))], key="k")
    base = refs([value, key_obj])
    result = outcome(tree.insert, value)  # "key" < 1 raises
    assert result[0] is TypeError
    assert refs([value, key_obj]) == base
    assert len(tree) == 1


def test_iterator_raising_after_two_items_leaves_no_references():
    values = [Token(0), Token(1)]
    err = OSError("broken source")
    base = refs(values)
    with pytest.raises(OSError) as info:
        AVLTree(_iter_then_raise(values, err))
    assert info.value is err
    assert_notes(err, ["while processing 'values'"])
    del info
    err.__traceback__ = None
    gc.collect()
    assert refs(values) == base


def test_snapshot_references_come_back():
    values = [Token(i) for i in range(3)]
    tree = AVLTree(values)
    base = refs(values)
    it = tree.pre_order()
    assert [r - b for r, b in zip(refs(values), base)] == [1, 1, 1]
    first = next(it)  # handed over, not copied
    assert [r - b for r, b in zip(refs(values), base)] == [1, 1, 1]
    del first, it
    assert refs(values) == base
    for name in ("in_order", "descending", "post_order", "level_order", "__iter__"):
        list(getattr(tree, name)())
    repr(tree)
    assert refs(values) == base
