"""Argument binding, argument notes, holds left behind and internal faults."""

import pytest
from support import ScriptedKey, assert_notes, calling, notes, outcome, raising, state

import tervalo
from tervalo import AVLTree
from tervalo import tervalo as ext

NEW = "AVLTree.__new__()"
INSERT = "AVLTree.insert()"
BAD_KEY = "key must be an attribute name, a callable, or None"


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (([1], str), {}, f"{NEW} takes from 0 to 1 positional arguments but 2 were given"),
        ((1, 2, 3), {}, f"{NEW} takes from 0 to 1 positional arguments but 3 were given"),
        # too many positionals is reported before any keyword is looked at
        ((1, 2), {"bogus": 3}, f"{NEW} takes from 0 to 1 positional arguments but 2 were given"),
        (([1],), {"values": [2]}, f"{NEW} got multiple values for argument 'values'"),
        ((), {"values": [1], "values2": 2}, f"{NEW} got an unexpected keyword argument 'values2'"),
        ((), {"\ud800": 1}, f"{NEW} got an unexpected keyword argument '\ud800'"),
    ],
)
def test_constructor_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        AVLTree(*args, **kwargs)
    assert str(info.value) == message


def test_binding_fails_before_values_are_drained():
    consumed = []
    gen = (consumed.append(i) for i in range(3))
    for call in (lambda: AVLTree(gen, str), lambda: AVLTree(gen, kee=str)):
        with pytest.raises(TypeError):
            call()
    assert consumed == []


def test_constructor_by_keyword():
    assert list(AVLTree(**{"values": [2, 1], "key": None})) == [1, 2]
    assert list(AVLTree(key=abs, values=[-3, 1])) == [1, -3]


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, f"{INSERT} missing 1 required positional argument: 'value'"),
        ((1, 2), {}, f"{INSERT} takes 1 positional arguments but 2 were given"),
        ((1,), {"value": 2}, f"{INSERT} got multiple values for argument 'value'"),
        ((), {"v": 1}, f"{INSERT} got an unexpected keyword argument 'v'"),
        ((), {"value": 1, "v": 2}, f"{INSERT} got an unexpected keyword argument 'v'"),
        ((), {"\ud800": 1}, f"{INSERT} got an unexpected keyword argument '\ud800'"),
    ],
)
def test_insert_binding_errors_leave_tree_alone(args, kwargs, message):
    tree = AVLTree([5])
    with pytest.raises(TypeError) as info:
        tree.insert(*args, **kwargs)
    assert str(info.value) == message
    assert list(tree) == [5]
    assert tree.insert(value=6) is True
    assert tree.insert(value=6) is False


# --- argument conversion failures carry the parameter's name -------------


@pytest.mark.parametrize("key", [None, 5, "\ud800"])
def test_non_iterable_values_checked_before_key(key):
    assert outcome(AVLTree, 5, key=key) == (*outcome(iter, 5)[:2], notes("while processing 'values'"))


@pytest.mark.parametrize("key", [5, b"x", [len], 3.5, object()])
def test_bad_key_refused_with_note(key):
    with pytest.raises(TypeError) as info:
        AVLTree([1], key=key)
    assert str(info.value) == BAD_KEY
    assert_notes(info.value, ["while processing 'key'"])


def test_key_name_that_cannot_be_encoded():
    with pytest.raises(UnicodeEncodeError) as info:
        AVLTree([], key="a\ud800b")
    assert_notes(info.value, ["while processing 'key'"])


def test_key_is_checked_only_after_values_are_drained():
    drained = []
    with pytest.raises(TypeError):
        AVLTree((drained.append(i) or i for i in range(3)), key=5)
    assert drained == [0, 1, 2]


# --- holds -----------------------------------------------------------------
# test_reentry.py calls every method from every kind of callback. What it leaves open: a
# refusal that escapes the outer call must not leave the hold behind, whichever hold it was.

HELD = {  # an outer call whose first comparison runs the callback: hold kind in the name
    "insert (exclusive)": lambda t, s: t.insert(ScriptedKey(4.5, s)),
    "remove (exclusive)": lambda t, s: t.remove(ScriptedKey(4, s)),
    "search (shared)": lambda t, s: t.search(ScriptedKey(4, s)),
    "range (shared)": lambda t, s: t.range(ScriptedKey(2, s), ScriptedKey(6, s)),
    "iter_to (shared)": lambda t, s: t.iter_to(ScriptedKey(6, s), 3),
}


@pytest.mark.parametrize("outer", list(HELD))
def test_escaped_refusal_leaves_no_hold(script, outer):
    tree = AVLTree(script.keys(range(1, 8)))
    shape = state(tree)
    script.log.clear()
    script.at(1, calling(lambda: tree.insert(ScriptedKey(0, script))))
    assert outcome(HELD[outer], tree, script) == (RuntimeError, "Already borrowed", [])
    assert state(tree) == shape
    assert tree.insert(ScriptedKey(0, script)) is True
    assert tree.remove(ScriptedKey(4, script)) is True
    assert [k.k for k in tree] == [0, 1, 2, 3, 5, 6, 7]


class Shows:
    """Value whose ``__repr__`` runs ``action`` on the tree being printed."""

    def __init__(self, action):
        self.action, self.tree, self.results = action, None, []

    def __repr__(self):
        self.results.append(self.action(self.tree))
        return "S"


def test_repr_inside_repr_then_a_refused_write():
    value = Shows(lambda t: repr(AVLTree([2, 1])))  # another tree printed mid-print
    tree = AVLTree([value])
    value.tree = tree
    assert repr(tree) == "AVLTree([S])" and value.results == ["AVLTree([1, 2])"]
    value.action = lambda t: t.insert(0)
    assert outcome(repr, tree) == (RuntimeError, "Already borrowed", [])
    assert tree.clear() is None and len(tree) == 0


# --- internal faults ------------------------------------------------------


def test_panic_exception_type():
    panic = ext.PanicException
    assert tervalo.PanicException is panic
    assert panic.__bases__ == (BaseException,)
    assert not issubclass(panic, Exception)
    assert panic.__name__ == panic.__qualname__ == "PanicException"
    assert panic.__module__ == "tervalo"
    assert "PanicException" not in ext.__all__


def _gen_then_panic(error):
    yield 1
    raise error


def _panics(where, script, error):
    """(tree or None, the failing call, a value the tree accepts afterwards)"""
    if where == "values iterator":
        return None, lambda: AVLTree(_gen_then_panic(error)), None
    if where == "constructor key":
        script.at(1, raising(error))
        return None, lambda: AVLTree([1, 2], key=script.key), None
    if where == "insert key":
        tree = AVLTree([1, 2], key=script.key)
    else:
        tree = AVLTree(script.keys([1, 2]))
    script.log.clear()
    script.at(1, raising(error))
    new, fresh = (0, 3) if where == "insert key" else script.keys([0, 3])
    return tree, lambda: tree.insert(new), fresh


@pytest.mark.parametrize(
    "where", ["insert key", "insert comparison", "constructor key", "values iterator"]
)
def test_panic_from_python_is_resumed_as_new_panic(where, script, capfd):
    error = tervalo.PanicException("boom")
    tree, call, fresh = _panics(where, script, error)
    before = state(tree) if tree is not None else None
    capfd.readouterr()
    with pytest.raises(tervalo.PanicException) as info:
        call()
    err = capfd.readouterr().err
    assert type(info.value) is tervalo.PanicException
    assert str(info.value) == "boom"
    assert info.value is not error
    # a two-line banner, then the Python traceback of the original
    assert "Traceback" in err and "boom" in err
    assert len(err.strip().splitlines()) >= 4
    if tree is not None:
        assert state(tree) == before
        assert tree.insert(fresh) is True
        assert len(tree) == 3
