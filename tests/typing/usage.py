"""Typical typed use of tervalo; mypy --strict must accept every line."""

import pickle
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any

from tervalo import AVLTree, __version__


@dataclass
class Job:
    name: str
    priority: int


def by_priority(job: Job) -> int:
    return job.priority


version: str = __version__
numbers = AVLTree([3, 1, 2])
jobs = AVLTree([Job("a", 2)], key="priority")
jobs_by_call = AVLTree(values=[Job("b", 1)], key=by_priority)
empty = AVLTree()

added: bool = numbers.insert(4)
gone: bool = numbers.remove(4) or numbers.remove_key(4)
found: Any | None = numbers.search(2)
also_found: Any | None = jobs.search_key(2)
present: bool = 2 in numbers and numbers.contains(2) and numbers.contains_key(2)
size: int = len(numbers) + numbers.height
smallest = numbers.first()
window: list[Any] = list(numbers.range(1, 3, include_end=True))
upward: Iterator[Any] = numbers.iter_from(1, 10)
downward = list(numbers.iter_to(end=3, count=2))
walks = [list(numbers.pre_order()), list(numbers.level_order()), list(reversed(list(numbers)))]
text: str = repr(numbers)
clone: AVLTree = pickle.loads(pickle.dumps(numbers))
numbers.clear()
