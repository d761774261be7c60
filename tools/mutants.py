"""Plant known faults in the C++ sources, one at a time, and check that the test suite notices.

Each mutant replaces one snippet of one source file (the snippet must occur exactly once, so a
refactoring that moves the code makes this script fail loudly instead of testing nothing). The
faults are planted in a copy of the checkout's committed files under build/mutants/, never in the
checkout itself, so an interrupted run leaves nothing behind; the script refuses to start while
src/ has uncommitted changes, since its verdict would then be about sources nobody can see. The
module is rebuilt incrementally from the copy, staged next to a copy of the Python package, and
the checkout's suite runs fail-fast against it. Equivalent mutants are checked for their snippet
but not built: no Python program can tell them apart, for the reason given. A mutant that does
not compile is reported as invalid, not killed, and fails the run: it tests nothing.

Two lists: MUTANTS below, and tools/mutants_blind.py, written from the README's promises and the
sources alone, without reading the tests, so that what the suite already checks did not shape it.

    python tools/mutants.py [--list all|known|blind] [--only NAME ...] [--timeout SECONDS]

Prints one line per mutant and then, per list, `[mutants] LIST: N mutants, killed K, equivalent
E` (and the survivors and invalid ones by name). Exits 0 only when every mutant that is not
equivalent compiled and was killed.
"""

from __future__ import annotations

import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path
from typing import NamedTuple

ROOT = Path(__file__).resolve().parent.parent
WORK = ROOT / "build" / "mutants"
SOURCES = WORK / "checkout"  # the copy that mutants are planted in
BUILD = WORK / "build"
STAGING = WORK / "staging"


class Mutant(NamedTuple):
    name: str
    file: str
    original: str
    replacement: str
    equivalent: str | None = None


CMP = "src/python_tree/compare.cpp"
BAL = "src/python_tree/balance.h"
CONSTRUCTION = "src/python_tree/construction.cpp"
REPLAY = "src/python_tree/replay.cpp"
REPLAY_H = "src/python_tree/replay.h"
KEY_SET = "src/python_tree/key_set.cpp"
TRAVERSE = "src/python_tree/traverse.cpp"
STORAGE = "src/python_tree/relocatable_array.h"
TREE = "src/python_tree/python_tree.cpp"
ARENA = "src/python_tree/arena.cpp"
ARENA_H = "src/python_tree/arena.h"
BOUNDED = "src/python_tree/bounded.cpp"
BUILD_CPP = "src/python_tree/build.cpp"
ARGS = "src/binding/arguments.cpp"
CONVERSIONS = "src/binding/conversions.cpp"
TYPE = "src/python/tree_type.cpp"
PICKLE = "src/python/pickle.cpp"
QUERIES = "src/python/tree_queries.cpp"

MUTANTS = [
    # Comparisons: the generic path.
    Mutant("str-summary-drops-latin1-high-bit", CMP,
           "latin1 |= std::uint64_t{code & 0xFF}", "latin1 |= std::uint64_t{code & 0x7F}"),
    Mutant("rich-less-answers-greater", CMP,
           "if (less) return Ordering::Less;", "if (less) return Ordering::Greater;"),
    Mutant("rich-all-false-is-equal", CMP,
           "  if (greater) return Ordering::Greater;\n  return incomparable();",
           "  if (greater) return Ordering::Greater;\n  return Ordering::Equal;"),
    Mutant("rich-less-asked-reflected", CMP,
           "compare_op(a, b, Py_LT)", "compare_op(b, a, Py_GT)"),
    # Comparisons: the fast paths.
    Mutant("fast-unordered-is-equal", CMP,
           "    default:\n      return incomparable();",
           "    default:\n      return Ordering::Equal;"),
    Mutant("fast-float-nan-equal", CMP,
           "  if (a == b) return DirectOrder::Equal;\n  if (a < b) return DirectOrder::Less;",
           "  if (!(a < b) && !(a > b)) return DirectOrder::Equal;\n"
           "  if (a < b) return DirectOrder::Less;"),
    Mutant("fast-int-overflow-one-side", CMP,
           "if (a_overflow != 0 || b_overflow != 0)", "if (a_overflow != 0 && b_overflow != 0)"),
    Mutant("fast-str-sign-swapped", CMP,
           "return sign < 0 ? DirectOrder::Less : sign > 0 ? DirectOrder::Greater : "
           "DirectOrder::Equal;",
           "return sign > 0 ? DirectOrder::Less : sign < 0 ? DirectOrder::Greater : "
           "DirectOrder::Equal;"),
    Mutant("tuple-identity-shortcut-dropped", CMP,
           "    if (x == y) continue;\n", ""),
    Mutant("tuple-length-rule-dropped", CMP,
           "return three_way(a_size, b_size);", "return three_way(a_size, a_size);"),
    Mutant("bytes-length-rule-dropped", CMP,
           "return order_of(a_size, b_size);", "return DirectOrder::Equal;"),
    Mutant("latin1-widening-wrong-byte", CMP,
           "(((latin1 >> 48) & 0xFF) << 21)", "(((latin1 >> 40) & 0xFF) << 21)"),
    Mutant("tuple-real-first-item-assumed-equal", CMP,
           "(a_number.kind == Kind::TupleReal && a_number.value.real == b_number.value.real)",
           "(a_number.kind == Kind::TupleReal)"),
    Mutant("str-identity-shortcut-dropped", CMP,
           "    if (a == b) return DirectOrder::Equal;\n    const int sign", "    const int sign",
           "PyUnicode_Compare of a str with itself answers 0 without running any Python code, "
           "so the shortcut only saves time"),
    # Rebalancing and heights.
    Mutant("double-rotation-on-balanced-child", BAL,
           "if (detail::balance_of(links, links[node.left]) < 0)",
           "if (detail::balance_of(links, links[node.left]) <= 0)"),
    Mutant("right-heavy-tolerates-two", BAL, "if (balance < -1)", "if (balance < -2)"),
    Mutant("left-rotation-heights-in-wrong-order", BAL,
           "  top.right = right.left;\n  detail::update_height(links, top);\n  right.left = x;\n"
           "  detail::update_height(links, right);",
           "  top.right = right.left;\n  right.left = x;\n  detail::update_height(links, right);\n"
           "  detail::update_height(links, top);"),
    Mutant("right-rotation-forgets-old-top-height", BAL,
           "  top.left = left.right;\n  detail::update_height(links, top);\n",
           "  top.left = left.right;\n"),
    # Construction: the stash, its duplicate checks and the replayed shape.
    Mutant("nan-joins-the-float-group", CONSTRUCTION,
           "std::isnan(number.value.real) ? Group::Mixed : Group::Real", "Group::Real"),
    Mutant("bytes-join-the-str-group", CONSTRUCTION,
           "    case KeyNumber::Kind::Bytes:\n      return Group::Bytes;",
           "    case KeyNumber::Kind::Bytes:\n      return Group::Text;"),
    Mutant("group-change-not-linked", CONSTRUCTION,
           "if (group != group_ || group == Group::Mixed) link_stash();",
           "if (group == Group::Mixed) link_stash();"),
    Mutant("duplicate-refused-key-first", CONSTRUCTION,
           "    value.reset();\n    key.reset();\n    if (!duplicate)",
           "    key.reset();\n    value.reset();\n    if (!duplicate)"),
    Mutant("rising-run-ends-without-set", CONSTRUCTION,
           "    arrival_ = Arrival::Scattered;\n    kept_.fill(entries);\n",
           "    arrival_ = Arrival::Scattered;\n"),
    Mutant("scattered-keys-not-remembered", CONSTRUCTION,
           "  if (arrival_ == Arrival::Scattered) kept_.add_last(Stash(tree_.nodes_));\n", ""),
    Mutant("falling-run-placed-rising", CONSTRUCTION,
           "      if (falling) nodes.reverse_slots();\n", ""),
    Mutant("falling-run-keys-left-in-place", ARENA,
           "  if (keys_apart_) std::reverse(keys_.data() + 1, keys_.data() + 1 + count);\n", ""),
    Mutant("falling-run-taken-as-rising", CONSTRUCTION,
           "arrival_ == Arrival::Rising ? Ordering::Greater : Ordering::Less;",
           "Ordering::Greater;"),
    Mutant("scattered-cycle-closed-at-its-start", ARENA,
           "        nodes_[hole] = std::move(held);", "        nodes_[start] = std::move(held);"),
    Mutant("scattered-keys-left-in-place", ARENA_H,
           "    if (keys_apart_) keys_[to].key = std::move(keys_[from].key);\n", ""),
    Mutant("scattered-cycle-mark-skipped", ARENA,
           "std::exchange(from[hole], static_cast<NodeIndex>(hole));", "from[hole];"),
    Mutant("abandon-skips-linking", CONSTRUCTION,
           "void TreeConstruction::abandon() {\n  if (stashing_) link_stash();",
           "void TreeConstruction::abandon() {\n  release_stash();\n  stashing_ = false;"),
    Mutant("hash-match-skipped", KEY_SET,
           "(buckets_[at] >> 32) != hash) continue;", "(buckets_[at] >> 32) == hash) continue;"),
    Mutant("negative-zero-hashed-apart", KEY_SET,
           "number.value.real == 0.0 ? 0.0 : number.value.real", "number.value.real"),
    Mutant("replay-parent-from-wrong-side", REPLAY,
           "links_[lower].right == kNoNode) {", "links_[lower].left == kNoNode) {"),
    Mutant("replay-neighbour-skips-own-word", REPLAY,
           "bits_below(words_[word], slot % kBits)) {",
           "bits_below(words_[word], slot % kBits) & 0) {"),
    Mutant("replay-neighbour-word-from-group-start", REPLAY,
           "  while (words == 0) words = summary_[--group];\n"
           "  word = group * kBits + highest_bit(words);",
           "  while (words == 0) words = summary_[--group];\n"
           "  word = group * kBits + lowest_bit(words);"),
    Mutant("replay-rotation-forgets-grandchildren", REPLAY,
           "          if (grandchild != kNoNode) links_[grandchild].parent = child;\n", ""),
    Mutant("ascending-top-one-level-too-high", REPLAY_H,
           "std::bit_width(remaining / 3)", "std::bit_width(remaining / 2)"),
    Mutant("ascending-perfect-subtrees-one-too-low", REPLAY_H,
           "static_cast<std::uint8_t>(std::bit_width(size)));",
           "static_cast<std::uint8_t>(std::bit_width(size / 2)));"),
    Mutant("mirror-keeps-sides", REPLAY_H,
           "    if (mirrored) std::swap(left, right);\n", ""),
    Mutant("in-order-layout-kept-after-removal", "src/python_tree/arena.cpp",
           "void NodeArena::give_back(NodeIndex index) noexcept {\n  in_key_order_ = false;\n",
           "void NodeArena::give_back(NodeIndex index) noexcept {\n"),
    Mutant("descending-listing-ascends", TRAVERSE,
           "descending ? len - i : i + 1", "descending ? i + 1 : i + 1"),
    Mutant("path-rebalanced-to-the-root", BAL,
           "      if (links[*link].height == height_before) break;\n", "",
           "a subtree whose height is unchanged leaves every ancestor's height and balance as "
           "they were, so rebalancing them changes nothing; only the work differs"),
    # Release orders.
    Mutant("entry-releases-key-before-value", ARENA_H,
           "    value.reset();\n    key.reset();\n", "    key.reset();\n    value.reset();\n"),
    Mutant("subtree-released-before-its-top", TREE,
           "  nodes.release_entry(index);\n  const NodeIndex right = nodes[index].right;\n"
           "  release_subtree(nodes, nodes[index].left);\n",
           "  const NodeIndex right = nodes[index].right;\n"
           "  release_subtree(nodes, nodes[index].left);\n  nodes.release_entry(index);\n"),
    # Keys kept with their values, and moved apart.
    Mutant("shared-key-reference-never-released", ARENA_H,
           ": Ref::steal(value.get());", ": Ref();"),
    Mutant("keys-moved-apart-take-new-references", ARENA,
           "keys.emplace_back(Ref::steal(nodes_[index].value.get()));",
           "keys.emplace_back(Ref::borrow(nodes_[index].value.get()));"),
    Mutant("relayout-leaves-keys-behind", ARENA,
           "  if (keys_apart_) keys_.emplace_back(std::move(from.keys_[index].key));",
           "  if (keys_apart_) keys_.emplace_back();"),
    Mutant("other-key-stored-as-the-value", ARENA_H,
           "    if (value != key && !keys_apart_) move_keys_apart();",
           "    static_cast<void>(key);"),
    # The remembered ends.
    Mutant("remove-keeps-stale-first", TREE,
           "  if (removed == first_) first_ = kNoNode;\n", ""),
    Mutant("insert-sets-first-when-rightmost", TREE,
           "if (leftmost) first_ = *link;", "if (rightmost) first_ = *link;"),
    Mutant("insert-clears-wrong-end-flag", TREE,
           "(less ? rightmost : leftmost) = false;", "(less ? leftmost : rightmost) = false;"),
    Mutant("clear-keeps-remembered-ends", TREE,
           "  first_ = last_ = kNoNode;\n  release_subtree", "  release_subtree",
           "after clear the root is empty, so first/last answer None before consulting the "
           "remembered ends, remove finds nothing, and the next insertion into the empty tree "
           "is both leftmost and rightmost and overwrites both"),
    # Bounded queries.
    Mutant("counted-walk-skips-equal-bound", BOUNDED,
           "if (ordering == kSkip) {", "if (ordering == kSkip || ordering == Ordering::Equal) {"),
    Mutant("counted-walk-one-too-many", BOUNDED,
           "out.size() < count)", "out.size() <= count)"),
    Mutant("counted-walk-zero-count-compares", BOUNDED,
           "  if (count == 0) return out;\n", ""),
    Mutant("range-start-uses-end-flag", BOUNDED,
           "(to_start == Ordering::Equal && bounds.include_start)",
           "(to_start == Ordering::Equal && bounds.include_end)"),
    Mutant("range-start-exclusive-by-default", QUERIES,
           'flag_or(arguments[2], true, "include_start")',
           'flag_or(arguments[2], false, "include_start")'),
    # The sorted builder.
    Mutant("sorted-builder-lower-middle", BUILD_CPP,
           "first + n / 2);\n  Node& node = nodes[top];\n"
           "  node.left = link_balanced(nodes, first, n / 2);\n"
           "  node.right = link_balanced(nodes, top + 1, n - n / 2 - 1);",
           "first + (n - 1) / 2);\n  Node& node = nodes[top];\n"
           "  node.left = link_balanced(nodes, first, (n - 1) / 2);\n"
           "  node.right = link_balanced(nodes, top + 1, n - (n - 1) / 2 - 1);"),
    Mutant("sorted-builder-height-off-by-one", BUILD_CPP,
           "std::bit_width(n)", "std::bit_width(n - 1)"),
    # Pickling.
    Mutant("pickle-pairs-key-first", PICKLE,
           "PyTuple_Pack(2, value, key)", "PyTuple_Pack(2, key, value)"),
    Mutant("unpickle-pairs-swapped", PICKLE,
           "entries.append(Ref::borrow(PyTuple_GetItem(item, 0)), "
           "Ref::borrow(PyTuple_GetItem(item, 1)));",
           "entries.append(Ref::borrow(PyTuple_GetItem(item, 1)), "
           "Ref::borrow(PyTuple_GetItem(item, 0)));"),
    # Hold kinds of changing methods.
    Mutant("remove-holds-shared", TYPE,
           "fast<kRemoveDescription, Hold::Exclusive", "fast<kRemoveDescription, Hold::Shared"),
    Mutant("insert-holds-shared", TYPE,
           "fast<kInsertDescription, Hold::Exclusive", "fast<kInsertDescription, Hold::Shared"),
    Mutant("clear-holds-shared", TYPE,
           "noargs<Hold::Exclusive, tree_clear>", "noargs<Hold::Shared, tree_clear>"),
    # Binding messages and notes.
    Mutant("message-singular-for-zero", ARGS,
           'given == 1 ? " was given"', 'given == 0 ? " was given"',
           "every bound function has at least one positional parameter, so the too-many "
           "message is only ever made for 2 or more given, where both rules say 'were'"),
    Mutant("takes-from-wrong-lower-bound", ARGS,
           "std::to_string(required_positional_count) + \" to \"",
           "std::to_string(positional_count) + \" to \""),
    Mutant("parameter-list-comma-for-two", ARGS,
           "if (names.size() > 2) text += \",\";", "if (names.size() > 1) text += \",\";"),
    Mutant("multiple-values-message", ARGS,
           '" got multiple values for argument \'"', '" got multiple values for keyword \'"'),
    # Node storage: moved whole by copy while small, by remapping once large.
    Mutant("storage-copy-drops-last-node", STORAGE,
           "static_cast<void*>(data_), size_ * sizeof(T));",
           "static_cast<void*>(data_), (size_ - 1) * sizeof(T));"),
    Mutant("storage-remap-keeps-half", STORAGE,
           "mremap(data_, capacity_ * sizeof(T), bytes",
           "mremap(data_, capacity_ * sizeof(T) / 2, bytes"),
    Mutant("argument-note-text", CONVERSIONS,
           "\"while processing '%s'\"", "\"while parsing '%s'\""),
]

# Fast, targeted files first, so most mutants die within seconds; before them, the files about
# the subject of the mutated source. Only the time to the first failure depends on the order:
# every file runs until one fails.
FIRST_TESTS = ["test_key_order.py", "test_insert_shapes.py", "test_lookup_remove.py",
               "test_bounded.py", "test_pickle.py", "test_binding.py"]
SUBJECT_TESTS = {
    "src/python_tree/compare.cpp": ["test_key_order.py"],
    "src/python_tree/balance.h": ["test_insert_shapes.py"],
    "src/python_tree/construction.cpp": ["test_construction.py"],
    "src/python_tree/key_set.cpp": ["test_construction.py"],
    "src/python_tree/replay.cpp": ["test_construction.py"],
    "src/python_tree/replay.h": ["test_construction.py"],
    "src/python_tree/arena.cpp": ["test_insert_shapes.py", "test_lookup_remove.py"],
    "src/python_tree/relocatable_array.h": ["test_construction.py"],
    "src/python_tree/python_tree.cpp": ["test_insert_shapes.py", "test_lookup_remove.py",
                                        "test_deep_release.py"],
    "src/python_tree/bounded.cpp": ["test_bounded.py"],
    "src/python_tree/build.cpp": ["test_pickle.py"],
    "src/python_tree/traverse.cpp": ["test_insert_shapes.py"],
    "src/binding/arguments.cpp": ["test_binding.py"],
    "src/binding/conversions.cpp": ["test_binding.py"],
    "src/foundation/error.cpp": ["test_binding.py"],
    "src/binding/release_nesting.cpp": ["test_deep_release.py"],
    "src/binding/release_nesting.h": ["test_deep_release.py"],
    "src/binding/borrow.h": ["test_reentry.py"],
    "src/binding/trampoline.h": ["test_reentry.py", "test_binding.py"],
    "src/python/pickle.cpp": ["test_pickle.py"],
    "src/python/tree_queries.cpp": ["test_bounded.py"],
    "src/python/tree_lookup.cpp": ["test_lookup_remove.py"],
    "src/python/key_extractor.cpp": ["test_keys_and_values.py"],
    "src/python/tree_type.cpp": ["test_construction.py", "test_insert_shapes.py",
                                 "test_keys_and_values.py"],
}
TEST_ENV = {"HYPOTHESIS_PROFILE": "mutation", "TERVALO_STRESS_EXAMPLES": "20",
            "TERVALO_HOSTILE_CASES": "300", "TERVALO_THREAD_EXIT_RUNS": "2"}


def ensure_tools() -> dict[str, str]:
    """cmake and ninja from PyPI, in this interpreter's environment."""
    missing = [name for name in ("cmake", "ninja")
               if subprocess.run([sys.executable, "-c", f"import {name}"],
                                 capture_output=True).returncode != 0]
    if missing:
        subprocess.run([sys.executable, "-m", "pip", "install", "-q", *missing], check=True)
    env = dict(os.environ)
    env["PATH"] = str(Path(sys.executable).parent) + os.pathsep + env.get("PATH", "")
    return env


def configure(env: dict[str, str]) -> None:
    """Configured once per interpreter: a folder configured for another one starts over."""
    cache = BUILD / "CMakeCache.txt"
    if cache.exists() and (BUILD / "build.ninja").exists():
        configured = re.search(r"^Python_EXECUTABLE:\w+=(.*)$", cache.read_text(), re.M)
        if configured and configured[1] == sys.executable:
            return
    shutil.rmtree(BUILD, ignore_errors=True)
    subprocess.run(["cmake", "-S", str(SOURCES), "-B", str(BUILD), "-G", "Ninja",
                    "-DCMAKE_BUILD_TYPE=Release", f"-DPython_EXECUTABLE={sys.executable}"],
                   env=env, check=True, stdout=subprocess.DEVNULL)


def build(env: dict[str, str]) -> bool:
    """Incremental build, then the module staged beside a copy of the package."""
    done = subprocess.run(["ninja", "-C", str(BUILD), "-j2"], env=env,
                          capture_output=True, text=True)
    if done.returncode != 0:
        sys.stderr.write(done.stdout[-3000:])
        return False
    package = STAGING / "tervalo"
    shutil.rmtree(STAGING, ignore_errors=True)
    package.mkdir(parents=True)
    for pattern in ("*.py", "*.pyi", "py.typed"):
        for path in (SOURCES / "src" / "tervalo").glob(pattern):
            shutil.copy2(path, package)
    modules = list(BUILD.glob("tervalo*.so"))
    if len(modules) != 1:
        raise SystemExit(f"expected one built module in {BUILD}, found {modules}")
    shutil.copy2(modules[0], package)
    # What an installation records, so the version check finds the staged package.
    version = re.search(r'^version = "([^"]+)"', (SOURCES / "pyproject.toml").read_text(),
                        re.M)
    dist_info = STAGING / f"tervalo-{version[1]}.dist-info"
    dist_info.mkdir()
    (dist_info / "METADATA").write_text(
        f"Metadata-Version: 2.1\nName: tervalo\nVersion: {version[1]}\n")
    return True


def test_files(source: str | None = None) -> list[str]:
    first = SUBJECT_TESTS.get(source, []) + [n for n in FIRST_TESTS
                                            if n not in SUBJECT_TESTS.get(source, [])]
    rest = sorted(p.name for p in (ROOT / "tests").glob("test_*.py") if p.name not in first)
    return [f"tests/{name}" for name in first + rest]


def run_tests(env: dict[str, str], timeout: float,
              source: str | None = None) -> tuple[str, str]:
    """("passed" | "failed" | "timeout", the last lines of output)."""
    test_env = dict(env, PYTHONPATH=str(STAGING), **TEST_ENV)
    command = [sys.executable, "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider",
               *test_files(source)]
    process = subprocess.Popen(command, cwd=ROOT, env=test_env, stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, text=True, start_new_session=True)
    try:
        output, _ = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        output, _ = process.communicate()
        return "timeout", output
    return ("passed" if process.returncode == 0 else "failed"), output


def committed_files() -> list[str]:
    listed = subprocess.run(["git", "ls-files", "-z"], cwd=ROOT, check=True,
                            capture_output=True).stdout.decode()
    return [name for name in listed.split("\0") if name and not name.startswith("tests/")]


def refuse_dirty_sources() -> None:
    status = subprocess.run(["git", "status", "--porcelain", "--", "src"], cwd=ROOT, check=True,
                            capture_output=True, text=True).stdout
    if status.strip():
        raise SystemExit("uncommitted changes in src/; commit or stash them first:\n" + status)


def sync_copy() -> None:
    """The copy takes the committed files; unchanged ones keep their times, so ninja rebuilds
    only what differs from the previous run."""
    wanted = committed_files()
    for name in wanted:
        source, target = ROOT / name, SOURCES / name
        data = source.read_bytes()
        if not target.is_file() or target.read_bytes() != data:
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_bytes(data)
            shutil.copymode(source, target)
    keep = {SOURCES / name for name in wanted}
    for path in SOURCES.rglob("*"):
        if path.is_file() and path not in keep:
            path.unlink()


def apply(mutant: Mutant) -> str:
    """Plants the mutant in the copy; answers the original text of the file."""
    path = SOURCES / mutant.file
    text = path.read_text()
    found = text.count(mutant.original)
    if found != 1:
        raise SystemExit(f"mutant {mutant.name}: snippet occurs {found} times in {mutant.file}")
    path.write_text(text.replace(mutant.original, mutant.replacement))
    return text


def first_failure(output: str) -> str:
    for line in output.splitlines():
        if line.startswith("FAILED ") or line.startswith("ERROR "):
            return line.split(" - ")[0].split("::", 1)[-1]
    return "crashed" if "Fatal Python error" in output or "Segmentation" in output else "?"


def load_lists(choice: str) -> dict[str, list[Mutant]]:
    lists: dict[str, list[Mutant]] = {}
    if choice in ("all", "known"):
        lists["known"] = MUTANTS
    if choice in ("all", "blind"):
        sys.path.insert(0, str(Path(__file__).resolve().parent))
        import mutants_blind

        lists["blind"] = mutants_blind.MUTANTS
    return lists


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--list", choices=("all", "known", "blind"), default="all",
                        help="which list of mutants to run (default: both)")
    parser.add_argument("--only", nargs="*", help="run only these mutants")
    parser.add_argument("--timeout", type=float, default=300.0, help="seconds per test run")
    options = parser.parse_args()
    lists = load_lists(options.list)
    everything = [m for mutants in lists.values() for m in mutants]
    names = [m.name for m in everything]
    selected = [m for m in everything if not options.only or m.name in options.only]
    if len(set(names)) != len(names) or (options.only and len(selected) != len(options.only)):
        raise SystemExit("mutant names must be unique and --only must name known mutants")

    refuse_dirty_sources()
    sync_copy()
    env = ensure_tools()
    configure(env)
    current: dict[str, object] = {}

    def restore() -> None:
        if current:
            (SOURCES / str(current["file"])).write_text(str(current["text"]))
            current.clear()

    started = time.monotonic()
    if not build(env):
        raise SystemExit("the unmutated sources do not build")
    probe = subprocess.run([sys.executable, "-c", "import tervalo.tervalo as m; print(m.__file__)"],
                           env=dict(env, PYTHONPATH=str(STAGING)), capture_output=True, text=True)
    print(f"testing the module at {probe.stdout.strip() or probe.stderr.strip()}", flush=True)
    if not probe.stdout.strip().startswith(str(STAGING)):
        raise SystemExit("the tests would not import the staged build")
    status, output = run_tests(env, options.timeout)
    if status != "passed":
        sys.stdout.write(output[-5000:])
        raise SystemExit("the unmutated build fails its tests: every mutant would look killed")
    print(f"baseline passes ({time.monotonic() - started:.0f} s)", flush=True)

    figures = []
    failed = False
    try:
        for list_name, mutants in lists.items():
            chosen = [m for m in mutants if not options.only or m.name in options.only]
            if not chosen:
                continue
            killed = equivalent = 0
            survivors, invalid = [], []
            for mutant in chosen:
                mutant_started = time.monotonic()
                current.update(file=mutant.file, text=apply(mutant))
                if mutant.equivalent is not None:
                    restore()
                    equivalent += 1
                    print(f"{mutant.name:40} {mutant.file:32} equivalent: {mutant.equivalent}",
                          flush=True)
                    continue
                if not build(env):
                    verdict = "INVALID (does not compile)"
                    invalid.append(mutant.name)
                else:
                    status, output = run_tests(env, options.timeout, mutant.file)
                    verdict = {"passed": "SURVIVED",
                               "failed": f"killed by {first_failure(output)}",
                               "timeout": f"killed (hung past {options.timeout:.0f} s)"}[status]
                    if status == "passed":
                        survivors.append(mutant.name)
                    else:
                        killed += 1
                restore()
                print(f"{mutant.name:40} {mutant.file:32} {verdict} "
                      f"({time.monotonic() - mutant_started:.0f} s)", flush=True)
            figure = f"{list_name}: {len(chosen)} mutants, killed {killed}, equivalent {equivalent}"
            if survivors:
                figure += f", survived {len(survivors)} ({' '.join(survivors)})"
            if invalid:
                figure += f", invalid {len(invalid)} ({' '.join(invalid)})"
            figures.append(figure)
            failed = failed or bool(survivors or invalid)
    finally:
        restore()
        # Leave the build matching the sources again.
        build(env)
    print(f"total {time.monotonic() - started:.0f} s")
    print(f"[mutants] {'; '.join(figures)}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
