"""Releases nested deeper than the C stack could follow, the order of shallow releases, the
bound past which nested releases are postponed, and memory taken in proportion to what a tree
stores.

A crash here ends the interpreter, so the deep chains are built and released in a child.
"""

import itertools
import subprocess
import sys
import textwrap

import pytest
from support import UNDER_ASAN, figures

from tervalo import AVLTree

CHAIN_PROGRAM = textwrap.dedent("""
    import pickle, sys, threading
    from tervalo import AVLTree

    shape, release, levels, stack = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])

    def crafted_pickle():
        # A chain built by the unpickler itself: each level is a tree whose only entry is the
        # level below, with no loop and no recursion in the program that loads it.
        level = (b"q\\x010h\\x00(((h\\x01h\\x01tlNtR")
        return (b"\\x80\\x02ctervalo.tervalo\\n_avltree_from_sorted_entries\\nq\\x00"
                b"h\\x00(]NtR" + level * levels + b".")

    def chain():
        if shape == "pickle":
            return pickle.loads(crafted_pickle())
        link = {
            "tree": lambda t: AVLTree([t]),
            "keyed tree": lambda t: AVLTree([t], key=id),
            "iterator": lambda t: AVLTree([t]).in_order(),
        }[shape]
        t = AVLTree()
        for _ in range(levels):
            t = link(t)
        return t

    def run():
        # The chain's last reference is held by `outer` and dropped by the release under test.
        outer = AVLTree([chain()], key=lambda value: 0)
        if release == "dealloc":
            del outer
        elif release == "clear":
            outer.clear()
        elif release == "remove":
            assert outer.remove(None)
        elif release == "remove_key":
            assert outer.remove_key(0)
        print("released", flush=True)

    if stack:
        threading.stack_size(stack)
        worker = threading.Thread(target=run)
        worker.start()
        worker.join()
    else:
        run()
""")

SHAPES = ["tree", "keyed tree", "iterator", "pickle"]
RELEASES = ["dealloc", "clear", "remove", "remove_key"]

CASES = [
    *[(shape, "dealloc", 1_000_000, 0) for shape in SHAPES],
    *[("tree", release, 1_000_000, 0) for release in RELEASES[1:]],
    *[(shape, release, 100_000, 256 * 1024) for shape in SHAPES for release in RELEASES],
]


@pytest.mark.parametrize(
    "shape, release, levels, stack",
    CASES,
    ids=[f"{s}-{r}-{n}-{'thread' if k else 'main'}" for s, r, n, k in CASES],
)
def test_deep_chains_release_without_overflowing_the_stack(shape, release, levels, stack):
    proc = subprocess.run(
        [sys.executable, "-c", CHAIN_PROGRAM, shape, release, str(levels), str(stack)],
        capture_output=True, text=True, timeout=600,
    )
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, "released\n", "")
    counts = figures["nesting"]
    counts["chains released"] += 1
    counts["levels deepest"] = max(counts["levels deepest"], levels)


class Logged:
    """Appends its name to ``log`` when it is released."""

    def __init__(self, name, k, log):
        self.name, self.k, self.log = name, k, log

    def __lt__(self, other):
        return self.k < other.k

    def __eq__(self, other):
        return self.k == other.k

    def __gt__(self, other):
        return self.k > other.k

    __hash__ = None

    def __del__(self):
        self.log.append(self.name)


def _nested(depth, log, counter):
    """Seven entries under fresh key objects; below `depth` levels, the middle value is a tree
    built the same way. Answers the tree and the order its release must follow: each node's
    value (a nested tree releasing its own entries in place), then its key, then the left
    subtree, then the right."""
    key_names = {}

    def key_of(value):
        n = next(counter)
        key_names[id(value)] = f"key{n}"
        return Logged(f"key{n}", n, log)

    values = [Logged(f"value{next(counter)}", 0, log) for _ in range(6)]
    inner_order = []
    if depth:
        inner, inner_order = _nested(depth - 1, log, counter)
        values.insert(3, inner)
        del inner
    tree = AVLTree(values, key=key_of)
    order = []
    for value in tree.pre_order():
        order += inner_order if isinstance(value, AVLTree) else [value.name]
        order.append(key_names[id(value)])
    return tree, order


@pytest.mark.parametrize("release", ["del", "clear"])
@pytest.mark.parametrize("depth", [0, 1, 30])
def test_shallow_nesting_releases_value_key_left_right(depth, release):
    log = []
    tree, order = _nested(depth, log, itertools.count())
    if release == "clear":
        tree.clear()
    else:
        del tree
    assert log == order


def _chain(levels, link, log):
    """`levels` trees (or iterators over a tree's entries) nested one in another, level 1
    outermost. Each level holds the level below and, after it in key order, a marker that logs
    the level's number when released: a level's marker is released after everything below it."""
    inner = None
    for level in range(levels, 0, -1):
        entries = [Logged(level, 1, log)] if inner is None else [inner, Logged(level, 1, log)]
        inner = AVLTree(entries, key=lambda v: getattr(v, "k", 0))
        if link == "iterator":
            inner = inner.in_order()
        del entries
    return inner


@pytest.mark.parametrize("release", ["del", "clear", "remove_key"])
@pytest.mark.parametrize("link", ["tree", "iterator"])
@pytest.mark.parametrize("levels", [49, 50, 51, 52, 101])
def test_releases_nested_past_fifty_levels_wait_for_the_outermost(levels, link, release):
    log, after = [], []
    outermost = _chain(levels, link, log)
    if release == "del":
        del outermost
    else:  # the last reference is a tree's: level 1's release is still the outermost one
        holder = AVLTree([outermost, Logged("next", 1, log)], key=lambda v: getattr(v, "k", 0))
        del outermost
        if release == "clear":
            holder.clear()
            after = ["next"]
        else:
            assert holder.remove_key(0) is True
    # Levels 1 to 50 release in place, the innermost first. Level 51 and what it holds wait
    # until level 1's release is done, all before that outermost release returns (so before the
    # holder's next entry). Released then, level 51 is one level deep again: levels 51 to 99
    # release in place, and level 100 waits in turn.
    segments, start = [], 1
    while start <= levels:
        end = min(start + (50 if start == 1 else 49) - 1, levels)
        segments += range(end, start - 1, -1)
        start = end + 1
    assert log == [*segments, *after]


def test_postponed_releases_run_last_postponed_first():
    """As in the interpreter's own containers: the list of postponed releases is a stack."""
    log = []
    subtrees = [AVLTree([Logged(name, 0, log)]) for name in "abc"]
    rank = {id(t): i for i, t in enumerate(subtrees)}
    # Level 50 holds three trees, whose releases are each postponed, in pre-order: b, a, c.
    inner = AVLTree([*subtrees, Logged(50, 9, log)], key=lambda v: rank.get(id(v), getattr(v, "k", 0)))
    del subtrees
    for level in range(49, 0, -1):
        inner = AVLTree([inner, Logged(level, 1, log)], key=lambda v: getattr(v, "k", 0))
    del inner
    assert log == [*range(50, 0, -1), "c", "a", "b"]


def test_deep_nesting_releases_every_object_exactly_once():
    log, levels = [], 500  # far past the depth at which releases are postponed
    t = AVLTree()
    for level in range(levels):
        t = AVLTree([t, Logged(f"v{level}", level, log)], key=lambda v: getattr(v, "k", -1))
    del t
    assert sorted(log) == sorted(f"v{level}" for level in range(levels))


MEMORY_PROGRAM = textwrap.dedent("""
    import itertools, resource
    from tervalo import AVLTree

    with open("/proc/self/status") as status:
        size = next(int(line.split()[1]) for line in status if line.startswith("VmSize:"))
    limit = size * 1024 + 544 * 2**20
    resource.setrlimit(resource.RLIMIT_AS, (limit, resource.getrlimit(resource.RLIMIT_AS)[1]))
    assert len(list(itertools.repeat(0, 20_000_000))) == 20_000_000  # the peers fit
    print(len(AVLTree(itertools.repeat(0, 20_000_000))), len(AVLTree(range(10))))
""")


@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer reserves more address space")
def test_construction_memory_follows_stored_entries_not_input_items():
    proc = subprocess.run(
        [sys.executable, "-c", MEMORY_PROGRAM], capture_output=True, text=True, timeout=600
    )
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, "1 10\n", "")
