"""A short tour of tervalo: ``python -m tervalo``."""

from __future__ import annotations

import pickle
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

    print("Lookups and removal (by value, or by an already-extracted key):")
    show("people.search(Person('?', 41))", people.search(Person("?", 41)))
    show("people.search_key(85)", people.search_key(85))
    show("Person('?', 36) in people", Person("?", 36) in people)
    show("people.contains_key(99)", people.contains_key(99))
    show("first(), last()", (people.first(), people.last()))
    show("remove_key(41), remove_key(41)", (people.remove_key(41), people.remove_key(41)))
    print()

    print("Bounded queries (bounds are keys):")
    show("range(20, 70)", list(numbers.range(20, 70)))
    show("range(20, 70, include_end=True)", list(numbers.range(20, 70, include_end=True)))
    show("iter_from(25, 3)", list(numbers.iter_from(25, 3)))
    show("iter_to(75, 3)", list(numbers.iter_to(75, 3)))
    print()

    print("Pickling restores the pairs without comparing anything:")
    restored = pickle.loads(pickle.dumps(numbers))
    show("pickle round trip", restored)
    show("restored pre_order()", list(restored.pre_order()))
    print()

    print("Snapshots do not see later changes:")
    snapshot = numbers.in_order()
    numbers.insert(5)
    show("list(snapshot) after insert(5)", list(snapshot))
    show("the tree now", numbers)


if __name__ == "__main__":
    tour()
