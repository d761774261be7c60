"""Plant known faults in the C++ sources, one at a time, and check that the test suite notices.

Each mutant replaces one snippet of one source file (the snippet must occur exactly once, so a
refactoring that moves the code makes this script fail loudly instead of testing nothing). The
module is rebuilt incrementally in its own build folder, staged next to a copy of the Python
package, and the suite runs fail-fast against it. Equivalent mutants are applied and reverted to
check their snippet, but not built: no Python program can tell them apart, for the reason given.

    python tools/mutants.py [--only NAME ...] [--timeout SECONDS]

Prints one line per mutant and then `[mutants] mutants: N, killed K, equivalent E`. Exits 0 only
when every mutant that is not equivalent was killed.
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
BUILD = ROOT / "build" / "mutants"
STAGING = BUILD / "staging"


class Mutant(NamedTuple):
    name: str
    file: str
    original: str
    replacement: str
    equivalent: str | None = None


CMP = "src/python_tree/compare.cpp"
BAL = "src/python_tree/balance.cpp"
TREE = "src/python_tree/python_tree.cpp"
BOUNDED = "src/python_tree/bounded.cpp"
BUILD_CPP = "src/python_tree/build.cpp"
ARGS = "src/binding/arguments.cpp"
ERROR = "src/binding/error.cpp"
TYPE = "src/python/tree_type.cpp"
PICKLE = "src/python/pickle.cpp"
QUERIES = "src/python/tree_queries.cpp"

MUTANTS = [
    # Comparisons: the generic path.
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
           "  if (a == b) return Order::Equal;\n  if (a < b) return Order::Less;",
           "  if (!(a < b) && !(a > b)) return Order::Equal;\n  if (a < b) return Order::Less;"),
    Mutant("fast-int-overflow-one-side", CMP,
           "if (a_overflow != 0 || b_overflow != 0)", "if (a_overflow != 0 && b_overflow != 0)"),
    Mutant("fast-str-sign-swapped", CMP,
           "return order < 0 ? Order::Less : order > 0 ? Order::Greater : Order::Equal;",
           "return order > 0 ? Order::Less : order < 0 ? Order::Greater : Order::Equal;"),
    Mutant("tuple-identity-shortcut-dropped", CMP,
           "    if (x == y) continue;\n", ""),
    Mutant("tuple-length-rule-dropped", CMP,
           "return three_way(a_size, b_size);", "return three_way(a_size, a_size);"),
    Mutant("bytes-length-rule-dropped", CMP,
           "return order_of(a_size, b_size);", "return Order::Equal;"),
    Mutant("latin1-widening-wrong-byte", CMP,
           "(((latin1 >> 48) & 0xFF) << 21)", "(((latin1 >> 40) & 0xFF) << 21)"),
    Mutant("tuple-real-first-item-assumed-equal", CMP,
           "(a_number.kind == Kind::TupleReal && a_number.value.real == b_number.value.real)",
           "(a_number.kind == Kind::TupleReal)"),
    Mutant("str-identity-shortcut-dropped", CMP,
           "    if (a == b) return Order::Equal;\n    const int order", "    const int order",
           "PyUnicode_Compare of a str with itself answers 0 without running any Python code, "
           "so the shortcut only saves time"),
    # Rebalancing and heights.
    Mutant("double-rotation-on-balanced-child", BAL,
           "if (balance_of(nodes, nodes[node.left]) < 0)",
           "if (balance_of(nodes, nodes[node.left]) <= 0)"),
    Mutant("right-heavy-tolerates-two", BAL, "if (balance < -1)", "if (balance < -2)"),
    Mutant("left-rotation-heights-in-wrong-order", BAL,
           "  top.right = right.left;\n  update_height(nodes, top);\n  right.left = x;\n"
           "  update_height(nodes, right);",
           "  top.right = right.left;\n  right.left = x;\n  update_height(nodes, right);\n"
           "  update_height(nodes, top);"),
    Mutant("right-rotation-forgets-old-top-height", BAL,
           "  top.left = left.right;\n  update_height(nodes, top);\n",
           "  top.left = left.right;\n"),
    Mutant("path-rebalanced-to-the-root", TREE,
           "      if (nodes[*link].height == height_before) break;\n", "",
           "a subtree whose height is unchanged leaves every ancestor's height and balance as "
           "they were, so rebalancing them changes nothing; only the work differs"),
    # Release orders.
    Mutant("remove-releases-key-before-value", TREE,
           "  nodes_[removed].value.reset();\n  nodes_[removed].key.reset();\n",
           "  nodes_[removed].key.reset();\n  nodes_[removed].value.reset();\n"),
    Mutant("subtree-releases-key-before-value", TREE,
           "  node.value.reset();\n  node.key.reset();\n  const NodeIndex right",
           "  node.key.reset();\n  node.value.reset();\n  const NodeIndex right"),
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
    Mutant("missing-keyword-kind", ARGS, 'kind = "keyword";', 'kind = "keyword-only";',
           "no bound function has a required keyword-only parameter, so no missing-argument "
           "message ever names the keyword kind"),
    Mutant("argument-note-text", ERROR,
           "\"while processing '%s'\"", "\"while parsing '%s'\""),
]

# Fast, targeted files first, so most mutants die within seconds.
FIRST_TESTS = ["test_key_order.py", "test_insert_shapes.py", "test_lookup_remove.py",
               "test_bounded.py", "test_pickle.py", "test_binding.py"]
TEST_ENV = {"TERVALO_STRESS_EXAMPLES": "20", "TERVALO_HOSTILE_CASES": "300",
            "TERVALO_THREAD_EXIT_RUNS": "2"}


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
    subprocess.run(["cmake", "-S", str(ROOT), "-B", str(BUILD), "-G", "Ninja",
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
        for path in (ROOT / "src" / "tervalo").glob(pattern):
            shutil.copy2(path, package)
    modules = list(BUILD.glob("tervalo*.so"))
    if len(modules) != 1:
        raise SystemExit(f"expected one built module in {BUILD}, found {modules}")
    shutil.copy2(modules[0], package)
    # What an installation records, so the version check finds the staged package.
    version = re.search(r'^version = "([^"]+)"', (ROOT / "pyproject.toml").read_text(), re.M)
    dist_info = STAGING / f"tervalo-{version[1]}.dist-info"
    dist_info.mkdir()
    (dist_info / "METADATA").write_text(
        f"Metadata-Version: 2.1\nName: tervalo\nVersion: {version[1]}\n")
    return True


def test_files() -> list[str]:
    rest = sorted(p.name for p in (ROOT / "tests").glob("test_*.py") if p.name not in FIRST_TESTS)
    return [f"tests/{name}" for name in FIRST_TESTS + rest]


def run_tests(env: dict[str, str], timeout: float) -> tuple[str, str]:
    """("passed" | "failed" | "timeout", the last lines of output)."""
    test_env = dict(env, PYTHONPATH=str(STAGING), **TEST_ENV)
    command = [sys.executable, "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider",
               *test_files()]
    process = subprocess.Popen(command, cwd=ROOT, env=test_env, stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, text=True, start_new_session=True)
    try:
        output, _ = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        output, _ = process.communicate()
        return "timeout", output
    return ("passed" if process.returncode == 0 else "failed"), output


def apply(mutant: Mutant) -> str:
    """Plants the mutant; answers the original text of the file."""
    path = ROOT / mutant.file
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


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", nargs="*", help="run only these mutants")
    parser.add_argument("--timeout", type=float, default=300.0, help="seconds per test run")
    options = parser.parse_args()
    mutants = [m for m in MUTANTS if not options.only or m.name in options.only]
    names = [m.name for m in MUTANTS]
    if len(set(names)) != len(names) or (options.only and len(mutants) != len(options.only)):
        raise SystemExit("mutant names must be unique and --only must name known mutants")

    env = ensure_tools()
    configure(env)
    current: dict[str, object] = {}

    def restore() -> None:
        if current:
            (ROOT / str(current["file"])).write_text(str(current["text"]))
            current.clear()

    def interrupted(signum, frame):
        restore()
        raise KeyboardInterrupt

    signal.signal(signal.SIGINT, interrupted)
    signal.signal(signal.SIGTERM, interrupted)

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

    killed = equivalent = 0
    survivors = []
    try:
        for mutant in mutants:
            mutant_started = time.monotonic()
            current.update(file=mutant.file, text=apply(mutant))
            if mutant.equivalent is not None:
                restore()
                equivalent += 1
                print(f"{mutant.name:40} {mutant.file:32} equivalent: {mutant.equivalent}",
                      flush=True)
                continue
            if not build(env):
                verdict = "killed (does not compile)"
            else:
                status, output = run_tests(env, options.timeout)
                verdict = {"passed": "survived",
                           "failed": f"killed by {first_failure(output)}",
                           "timeout": f"killed (hung past {options.timeout:.0f} s)"}[status]
            restore()
            if verdict == "survived":
                survivors.append(mutant.name)
            else:
                killed += 1
            print(f"{mutant.name:40} {mutant.file:32} {verdict} "
                  f"({time.monotonic() - mutant_started:.0f} s)", flush=True)
    finally:
        restore()
        # Leave the build matching the sources again.
        build(env)
    clean = subprocess.run(["git", "diff", "--quiet", "--", "src"], cwd=ROOT).returncode == 0
    if not clean:
        print("error: src/ differs from the committed sources after restoring", flush=True)
    print(f"total {time.monotonic() - started:.0f} s")
    print(f"[mutants] mutants: {len(mutants)}, killed {killed}, equivalent {equivalent}")
    return 0 if clean and not survivors else 1


if __name__ == "__main__":
    sys.exit(main())
