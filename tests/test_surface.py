"""Module surface, docs, object model, size/height/repr and snapshot iterators."""

import gc
import importlib.metadata
import inspect
import subprocess
import sys
import textwrap
import types
import weakref

import pytest
from support import OPERATIONS, Token, operation_id, refs

import tervalo
from tervalo import AVLTree
from tervalo import tervalo as ext

Iterator = ext._AVLTreeIterator
WALKS = ["in_order", "descending", "pre_order", "post_order", "level_order"]


def test_module_attributes():
    assert ext.__name__ == "tervalo.tervalo"
    assert ext.__doc__ == "Python bindings for `tervalo`."
    assert ext.__version__ == "0.1.2" == tervalo.__version__
    assert ext.__version__ == importlib.metadata.version("tervalo")
    assert ext.__all__ == ["AVLTree", "__version__"]
    assert tervalo.__all__ == ["AVLTree", "__version__"]
    assert tervalo.AVLTree is ext.AVLTree
    tree = AVLTree([1])
    assert all(type(getattr(tree, walk)()) is Iterator for walk in WALKS + ["__iter__"])
    namespace = {}
    exec("from tervalo.tervalo import *", namespace)
    assert sorted(k for k in namespace if k != "__builtins__") == ["AVLTree", "__version__"]


@pytest.mark.parametrize("cls, name", [(AVLTree, "AVLTree"), (Iterator, "_AVLTreeIterator")])
def test_class_names(cls, name):
    assert cls.__name__ == cls.__qualname__ == name
    assert cls.__module__ == "tervalo"


CLASS_DOC = (
    "A height-balanced ordered set of comparable Python objects.\n\n"
    "Values are ordered directly unless `key` is an attribute name or a\n"
    "callable. Equal keys are treated as duplicate set entries."
)
OWNERS = {"AVLTree": AVLTree, "_AVLTreeIterator": Iterator, None: ext}
KINDS = {
    "constructor": type,
    "method": types.MethodDescriptorType,
    "slot": types.WrapperDescriptorType,
    "property": types.GetSetDescriptorType,
    "function": types.BuiltinFunctionType,
}


def test_class_doc_and_signature():
    assert AVLTree.__doc__ == CLASS_DOC
    assert str(inspect.signature(AVLTree)) == "(values=None, *, key=None)"


@pytest.mark.parametrize("op", OPERATIONS, ids=operation_id)
def test_docstring_and_signature(op):
    owner = OWNERS[op.owner]
    runtime = owner if op.kind == "constructor" else vars(owner)[op.name]
    assert isinstance(runtime, KINDS[op.kind])
    if op.kind == "slot":  # the interpreter documents slots itself; the stub's text is recorded
        return
    # A class shows its own docstring; the constructor's is only recorded.
    assert op.kind == "constructor" or runtime.__doc__ == op.doc
    assert getattr(runtime, "__text_signature__", None) == op.signature


@pytest.mark.parametrize("owner", ["AVLTree", "_AVLTreeIterator", None])
def test_registry_lists_everything_in_registration_order(owner):
    """The registry follows the stub, whose order is the method table's."""
    listed = [op.name for op in OPERATIONS if op.owner == owner and op.kind != "constructor"]
    if owner is None:
        defined = [n for n, v in vars(ext).items() if isinstance(v, types.BuiltinFunctionType)]
    else:
        defined = [n for n in vars(OWNERS[owner]) if n not in ("__new__", "__doc__", "__module__")]
    assert sorted(listed) == sorted(defined)
    methods = [n for n, v in vars(OWNERS[owner]).items() if isinstance(v, types.MethodDescriptorType)]
    assert [n for n in listed if n in methods] == methods


def test_insert_signature_through_inspect():
    assert str(inspect.signature(AVLTree.insert)) == "(self, /, value)"
    assert str(inspect.signature(AVLTree().insert)) == "(value)"


def test_iterator_doc():
    assert Iterator.__doc__ == (
        "An iterator over a snapshot of tree values.\n\n"
        "Mutating or clearing the source tree does not invalidate this iterator."
    )
    assert Iterator.__text_signature__ is None


# --- object model ---------------------------------------------------------


def test_not_tracked_by_the_cycle_collector():
    tree = AVLTree([[1], [2]])
    assert not gc.is_tracked(AVLTree())
    assert not gc.is_tracked(tree)
    assert not any(gc.is_tracked(getattr(tree, name)()) for name in WALKS)
    assert not gc.is_tracked(iter(tree))


@pytest.mark.parametrize("base", [AVLTree, Iterator])
def test_classes_are_final(base):
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (base,), {})


def test_iterator_cannot_be_created_directly():
    with pytest.raises(TypeError, match="cannot create"):
        Iterator()
    with pytest.raises(TypeError):
        type(iter(AVLTree()))()


@pytest.mark.parametrize("make", [AVLTree, lambda: AVLTree([1]).in_order()])
def test_no_instance_attributes_or_weakrefs(make):
    obj = make()
    with pytest.raises(AttributeError):
        obj.foo = 1
    with pytest.raises(AttributeError):
        obj.__dict__  # noqa: B018
    with pytest.raises(TypeError):
        weakref.ref(obj)


def test_height_is_read_only():
    tree = AVLTree([1, 2])
    with pytest.raises(AttributeError):
        tree.height = 3
    with pytest.raises(AttributeError):
        del tree.height
    with pytest.raises(TypeError):
        tree.height()
    assert tree.height == 2


# --- size, height and repr ------------------------------------------------


@pytest.mark.parametrize(
    "values, key, size, height, text",
    [
        ([], None, 0, 0, "AVLTree([])"),
        ([1], None, 1, 1, "AVLTree([1])"),
        (range(1, 8), None, 7, 3, "AVLTree([1, 2, 3, 4, 5, 6, 7])"),
        (range(7, 0, -1), None, 7, 3, "AVLTree([1, 2, 3, 4, 5, 6, 7])"),
        (["b", "a"], None, 2, 2, "AVLTree(['a', 'b'])"),
        ([2, 2, 1], None, 2, 2, "AVLTree([1, 2])"),
        (["bbb", "a", "cc"], len, 3, 2, "AVLTree(['a', 'cc', 'bbb'])"),
        ([None], lambda v: 0, 1, 1, "AVLTree([None])"),
        (["é", "\n"], None, 2, 2, "AVLTree(['\\n', 'é'])"),
    ],
)
def test_size_height_and_repr(values, key, size, height, text):
    tree = AVLTree(values, key=key)
    assert len(tree) == size
    assert bool(tree) is (size > 0)
    assert tree.is_empty() is (size == 0)
    assert tree.height == height
    assert repr(tree) == text == str(tree)


class Weird:
    def __init__(self, result):
        self.result = result

    def __eq__(self, other):
        return True

    __hash__ = None

    def __repr__(self):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


@pytest.mark.parametrize(
    "result, kind",
    [
        (ValueError("bad repr"), ValueError),
        (42, TypeError),  # __repr__ returned a non-str
        ("lone \ud800", UnicodeEncodeError),
    ],
)
def test_failing_value_repr(result, kind):
    value = Weird(result)
    tree = AVLTree([value])
    with pytest.raises(kind) as info:
        repr(tree)
    if isinstance(result, BaseException):
        assert info.value is result
    assert len(tree) == 1 and next(iter(tree)) is value
    value.result = "fine"
    assert repr(tree) == "AVLTree([fine])"
    assert tree.insert(Weird("x")) is False  # every Weird is equal


def test_tree_containing_itself_reprs_to_recursion_error():
    # run apart: a crash here must not take the whole session down
    code = textwrap.dedent(
        """
        from tervalo import AVLTree
        for key in (None, id):
            t = AVLTree(key=key)
            assert t.insert(t) is True
            try:
                repr(t)
            except RecursionError:
                pass
            else:
                raise SystemExit("no RecursionError")
            assert len(t) == 1 and t.height == 1
            if key is id:
                assert t.insert(object()) is True  # no hold was left behind
            t.clear()  # the collector never frees a tree holding itself: nothing may outlive us
        print("done")
        """
    )
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "done"


def test_cycle_through_tree_is_not_collected():
    class Holder:
        def __lt__(self, other):
            return False

    holder = Holder()
    tree = AVLTree([holder])
    holder.tree = tree
    alive = weakref.ref(holder)
    del holder, tree
    gc.collect()
    assert alive() is not None
    alive().tree = None  # break the cycle by hand: both go at once
    assert alive() is None


# --- snapshot iterators ---------------------------------------------------


@pytest.mark.parametrize("name", WALKS + ["__iter__"])
def test_snapshot_ignores_later_inserts(name):
    tree = AVLTree([4, 2, 6])
    expected = list(getattr(tree, name)())
    it = getattr(tree, name)()
    for v in (1, 3, 5, 7):
        tree.insert(v)
    assert list(it) == expected
    assert len(list(getattr(tree, name)())) == 7


def test_iterators_advance_independently():
    tree = AVLTree(range(5))
    a, b = tree.in_order(), tree.in_order()
    assert [next(a), next(a)] == [0, 1]
    assert next(b) == 0
    assert list(a) == [2, 3, 4]
    assert list(b) == [1, 2, 3, 4]


def test_iterator_protocol():
    it = AVLTree([1]).in_order()
    assert iter(it) is it
    assert it.__iter__() is it
    assert next(it) == 1
    for _ in range(3):
        with pytest.raises(StopIteration) as info:
            next(it)
        assert info.value.args == ()
    empty = iter(AVLTree())
    for _ in range(2):
        with pytest.raises(StopIteration):
            next(empty)


def test_iterator_does_not_keep_tree_alive():
    values = [Token(i) for i in range(3)]
    tree = AVLTree(values)
    base_tree = sys.getrefcount(tree)
    it = tree.descending()
    assert sys.getrefcount(tree) == base_tree
    base = refs(values)
    del tree
    # the tree released its two references per value; the iterator keeps one
    assert [b - r for r, b in zip(refs(values), base)] == [2, 2, 2]
    assert list(it) == values[::-1]
    assert all(a is b for a, b in zip(AVLTree(values).descending(), values[::-1]))
