"""Misuse that mypy --strict must reject: exactly the lines marked below."""

from tervalo import AVLTree

tree = AVLTree([1, 2])
AVLTree([1], len)  # error: the key is keyword-only
AVLTree(key=5)  # error: a key is a name, a callable or None
tree.insert()  # error: insert takes a value
tree.iter_from(1, "3")  # error: count is an int
tree.range(1, 2, True)  # error: the flags are keyword-only
tree.height = 3  # error: height is read-only
size: str = len(tree)  # error: len is an int


class Sub(AVLTree):  # error: the class is final
    pass
