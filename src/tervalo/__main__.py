"""A short tour of tervalo: ``python -m tervalo``."""

from __future__ import annotations

from dataclasses import dataclass

from tervalo import AVLTree, __version__


@dataclass
class Person:
    name: str
    age: int


def show(label: str, value: object) -> None:
    print(f"  {label:<34} {value!r}")


def tour() -> None:
    print(f"tervalo {__version__}\n")

    print("A tree of numbers, keyed by the values themselves:")
    numbers = AVLTree([50, 20, 80, 10, 30, 70, 90, 20])
    show("AVLTree([50, 20, 80, 10, 30, ...])", numbers)
    show("len(tree), tree.height", (len(numbers), numbers.height))
    show("insert(60) (a new key)", numbers.insert(60))
    show("insert(20) (already present)", numbers.insert(20))
    print()

    print("Walks (each returns a snapshot iterator):")
    for walk in ("in_order", "descending", "pre_order", "post_order", "level_order"):
        show(f"{walk}()", list(getattr(numbers, walk)()))
    print()

    print("Keys from an attribute and from a callable:")
    people = AVLTree(
        [Person("Ada", 36), Person("Alan", 41), Person("Grace", 85), Person("Ada L.", 36)],
        key="age",
    )
    show("key='age' (first value per key wins)", [p.name for p in people])
    words = AVLTree(["pear", "fig", "banana", "kiwi"], key=len)
    show("key=len", words)
    show("insert('plum') (len 4 is taken)", words.insert("plum"))
    print()

    print("Snapshots do not see later changes:")
    snapshot = numbers.in_order()
    numbers.insert(5)
    show("list(snapshot) after insert(5)", list(snapshot))
    show("the tree now", numbers)


if __name__ == "__main__":
    tour()
