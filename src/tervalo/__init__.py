"""A height-balanced ordered set of Python objects, implemented in C++."""

from .tervalo import AVLTree as AVLTree
from .tervalo import PanicException as PanicException
from .tervalo import __version__ as __version__

__all__ = ["AVLTree", "__version__"]
