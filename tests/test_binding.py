"""Argument binding, argument notes, re-entry holds and internal faults."""

import operator

import pytest
from support import Token, assert_notes, interpreter_error, state

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
    kind, message = interpreter_error(iter, 5)
    with pytest.raises(kind) as info:
        AVLTree(5, key=key)
    assert str(info.value) == message
    assert_notes(info.value, ["while processing 'values'"])


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


# --- holds: re-entry into the tree being worked on ------------------------

ACTIONS = {
    "len": (len, "Already mutably borrowed"),
    "bool": (bool, "Already mutably borrowed"),
    "repr": (repr, "Already mutably borrowed"),
    "iter": (iter, "Already mutably borrowed"),
    "height": (operator.attrgetter("height"), "Already mutably borrowed"),
    **{
        name: (operator.methodcaller(name), "Already mutably borrowed")
        for name in ["is_empty", "in_order", "descending", "pre_order", "post_order", "level_order"]
    },
    "insert": (lambda t: t.insert(Token(100)), "Already borrowed"),
}


class Meddler(Token):
    """Key whose comparisons run ``action`` on ``tree``."""

    __slots__ = ("action", "tree")

    def __eq__(self, other):
        self.action(self.tree)
        return self.k == other.k


def _build(via, action):
    """A tree of Tokens 1..3 and a new value whose insertion runs ``action``."""
    if via == "comparison":
        tree = AVLTree([Token(i) for i in (1, 2, 3)])
        new = Meddler(0)
        new.action, new.tree = action, tree
        return tree, new
    tree = AVLTree([Token(i) for i in (1, 2, 3)], key=lambda v: action(tree) if v.k == 0 else v)
    return tree, Token(0)


@pytest.mark.parametrize("via", ["key callable", "comparison"])
@pytest.mark.parametrize("name", list(ACTIONS))
def test_reentry_during_insert_is_refused(via, name):
    action, message = ACTIONS[name]
    tree, new = _build(via, action)
    before = state(tree)
    with pytest.raises(RuntimeError) as info:
        tree.insert(new)
    assert str(info.value) == message
    assert state(tree) == before
    assert tree.insert(Token(4)) is True  # nothing stays held
    assert [t.k for t in tree] == [1, 2, 3, 4]


@pytest.mark.parametrize("via", ["key callable", "comparison"])
def test_refused_reentry_can_be_caught_inside_callback(via):
    seen = []

    def action(t):
        for attempt in (len, lambda t: t.insert(Token(9))):
            try:
                attempt(t)
            except RuntimeError as exc:
                seen.append(str(exc))
        return Token(0)

    tree, new = _build(via, action)
    assert tree.insert(new) is True
    # once per key computation, or once per comparison on the descent
    assert seen and seen == ["Already mutably borrowed", "Already borrowed"] * (len(seen) // 2)
    assert [t.k for t in tree] == [0, 1, 2, 3]


class Shows:
    """Value whose ``__repr__`` runs ``action`` on the tree being printed."""

    def __init__(self, action):
        self.action, self.tree, self.results = action, None, []

    def __repr__(self):
        self.results.append(self.action(self.tree))
        return "S"


@pytest.mark.parametrize(
    "action, expected",
    [
        (len, 1),
        (lambda t: t.height, 1),
        (lambda t: t.is_empty(), False),
        (lambda t: len(list(t.in_order())), 1),
        (lambda t: repr(AVLTree([2, 1])), "AVLTree([1, 2])"),
    ],
)
def test_reads_nest_inside_repr(action, expected):
    value = Shows(action)
    tree = AVLTree([value])
    value.tree = tree
    assert repr(tree) == "AVLTree([S])"
    assert value.results == [expected]


def test_write_inside_repr_is_refused():
    value = Shows(lambda t: t.insert(0))
    tree = AVLTree([value])
    value.tree = tree
    with pytest.raises(RuntimeError) as info:
        repr(tree)
    assert str(info.value) == "Already borrowed"
    value.action = len
    assert repr(tree) == "AVLTree([S])" and len(tree) == 1


# --- internal faults ------------------------------------------------------


def test_panic_exception_type():
    panic = ext.PanicException
    assert tervalo.PanicException is panic
    assert panic.__bases__ == (BaseException,)
    assert not issubclass(panic, Exception)
    assert panic.__name__ == panic.__qualname__ == "PanicException"
    assert panic.__module__ == "tervalo"
    assert "PanicException" not in ext.__all__


RAISED = []


def _panic(*_):
    RAISED.append(tervalo.PanicException("boom"))
    raise RAISED[-1]


class PanicKey(Token):
    __slots__ = ()
    __eq__ = _panic


def _gen_then_panic():
    yield 1
    _panic()


def _panics(where):
    """(tree or None, the failing call, a value the tree accepts afterwards)"""
    if where == "insert key":
        tree = AVLTree([1, 2], key=lambda v: _panic() if v == 0 else v)
        return tree, lambda: tree.insert(0), 3
    if where == "insert comparison":
        tree = AVLTree([Token(1), Token(2)])
        return tree, lambda: tree.insert(PanicKey(0)), Token(3)
    if where == "constructor key":
        return None, lambda: AVLTree([1, 2], key=_panic), None
    return None, lambda: AVLTree(_gen_then_panic()), None


@pytest.mark.parametrize(
    "where", ["insert key", "insert comparison", "constructor key", "values iterator"]
)
def test_panic_from_python_is_resumed_as_new_panic(where, capfd):
    RAISED.clear()
    tree, call, fresh = _panics(where)
    before = state(tree) if tree is not None else None
    capfd.readouterr()
    with pytest.raises(tervalo.PanicException) as info:
        call()
    err = capfd.readouterr().err
    assert type(info.value) is tervalo.PanicException
    assert str(info.value) == "boom"
    assert len(RAISED) == 1 and info.value is not RAISED[0]
    # a two-line banner, then the Python traceback of the original
    assert "Traceback" in err and "boom" in err
    assert len(err.strip().splitlines()) >= 4
    if tree is not None:
        assert state(tree) == before
        assert tree.insert(fresh) is True
        assert len(tree) == 3
