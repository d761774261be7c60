#!/usr/bin/env python3
"""Benchmark tervalo.AVLTree against sortedcontainers, list + bisect and set/dict.

All contenders run in this one process on the same data. Repetitions are interleaved: each
repetition runs every contender once, in an order that rotates from one repetition to the next,
and the median per (workload, contender) is reported. Setup (data, prebuilt containers) is
outside the timed region, and the garbage collector is off while timing, as in `timeit`. The
first repetition of every workload checks that all contenders produced the same result.

    python benchmarks/bench.py                      # n=200000, 5 repetitions, then memory
    python benchmarks/bench.py --n 50000 --repeat 3 --only build,insert,11
    python benchmarks/bench.py --markdown           # also print a Markdown table
    python benchmarks/bench.py --only memory --memory-n 1000000
    python benchmarks/bench.py --only 1 --floor       # builds against their C++ shape floor

Memory is measured in a fresh process per contender (this script, re-run in a hidden mode).
"""
import argparse
import array
import gc
import json
import os
import pickle
import platform
import random
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time
import tracemalloc
from bisect import bisect_left, bisect_right, insort
from itertools import islice, repeat
from operator import attrgetter

import sortedcontainers
from sortedcontainers import SortedKeyList, SortedList, SortedSet

from tervalo import AVLTree

AVL, SL, SS, LB, H = "AVLTree", "SortedList", "SortedSet", "list+bisect", "set/dict"
COLUMNS = (AVL, SL, SS, LB, H)
# Workload 10 only: the list of (value, key) tuples that a tree pickles as, round-tripped bare.
# No tree can pickle faster than its own pairs list, so AVLTree / pairs is the tree's overhead.
PAIRS = "pairs list"
QUADRATIC_MAX = 500_000  # list insort / del past this size would take minutes: skipped
QUERIES = 5_000          # range, iter_from and iter_to queries
CALLS = 100_000          # first() and last() calls each


def neg(x):  # the module-level key callable of workload 12
    return -x


class Item:  # objects ordered by an attribute (workload 12)
    __slots__ = ("k",)

    def __init__(self, k):
        self.k = k


COUNTS = [0, 0, 0, 0]  # calls of __eq__, __lt__, __gt__, __hash__ (workload 13)


class Cmp:  # a value whose comparisons run Python code (workload 13)
    __slots__ = ("v",)

    def __init__(self, v):
        self.v = v

    def __eq__(self, other):
        COUNTS[0] += 1
        return self.v == other.v

    def __lt__(self, other):
        COUNTS[1] += 1
        return self.v < other.v

    def __gt__(self, other):
        COUNTS[2] += 1
        return self.v > other.v

    def __hash__(self):
        COUNTS[3] += 1
        return hash(self.v)


def canon(out, key=None):
    """A comparable form of a container: its keys, in iteration order (sorted for hashes)."""
    if isinstance(out, (set, dict)):
        return sorted(out)
    return list(out) if key is None else [key(x) for x in out]


# ---------------------------------------------------------------- cases: {contender: (setup, run)}

def build_cases(data, key=None, avl_key=None):
    if key is None:
        return {AVL: (lambda: data, AVLTree), SL: (lambda: data, SortedList),
                SS: (lambda: data, SortedSet), LB: (lambda: data, lambda d: sorted(set(d))),
                H: (lambda: data, set)}
    return {AVL: (lambda: data, lambda d: AVLTree(d, key=avl_key)),
            SL: (lambda: data, lambda d: SortedKeyList(d, key=key)),
            SS: (lambda: data, lambda d: SortedSet(d, key=key)),
            LB: (lambda: data, lambda d: sorted(d, key=key))}


def prebuilt(data, key=None, avl_key=None):
    """Setups that build each contender's container from data (untimed)."""
    setups = {c: (lambda b=b: b(data)) for c, (_, b) in build_cases(data, key, avl_key).items()}
    if key is not None:
        setups[H] = lambda: {key(x): x for x in data}
    return setups


def each(name, seq):
    """run(c): call c.<name>(x) for every x of seq (the method is looked up once)."""
    def run(c):
        f = getattr(c, name)
        for x in seq:
            f(x)
        return c
    return run


def insert_cases(data, key=None, avl_key=None):
    def lb(lst):
        ins = insort
        if key is None:
            for x in data:
                ins(lst, x)
        else:
            for x in data:
                ins(lst, x, key=key)
        return lst

    cases = {AVL: (lambda: AVLTree(key=avl_key), each("insert", data)),
             SL: ((lambda: SortedKeyList(key=key)) if key else SortedList, each("add", data)),
             SS: (lambda: SortedSet(key=key), each("add", data))}
    if len(data) <= QUADRATIC_MAX:
        cases[LB] = (list, lb)
    return cases


def contains_cases(data, queries, key=None, avl_key=None):
    def member(c):
        hits = 0
        for x in queries:
            if x in c:
                hits += 1
        return hits

    def lb(lst):
        n, hits, bl = len(lst), 0, bisect_left
        if key is None:
            for x in queries:
                i = bl(lst, x)
                if i != n and lst[i] == x:
                    hits += 1
        else:
            for x in queries:
                k = key(x)
                i = bl(lst, k, key=key)
                if i != n and key(lst[i]) == k:
                    hits += 1
        return hits

    def keyed_dict(d):
        hits = 0
        for x in queries:
            if key(x) in d:
                hits += 1
        return hits

    pre = prebuilt(data, key, avl_key)
    return {AVL: (pre[AVL], member), SL: (pre[SL], member), SS: (pre[SS], member),
            LB: (pre[LB], lb), H: (pre[H], member if key is None else keyed_dict)}


def remove_cases(data, order):
    def lb(lst):
        bl = bisect_left
        for x in order:
            del lst[bl(lst, x)]
        return lst

    pre = prebuilt(data)
    cases = {c: (pre[c], each("remove", order)) for c in (AVL, SL, SS)}
    if len(data) <= QUADRATIC_MAX:
        cases[LB] = (pre[LB], lb)
    return cases


def lookup_cases(data, queries):
    def getter(name):  # AVLTree.search / dict.get: the stored value or None
        def run(c):
            hits = total = 0
            g = getattr(c, name)
            for x in queries:
                v = g(x)
                if v is not None:
                    hits += 1
                    total += v
            return hits, total
        return run

    def indexed(s):  # SortedList / SortedSet: bisect, then fetch by position
        hits = total = 0
        n, bl = len(s), s.bisect_left
        for x in queries:
            i = bl(x)
            if i != n:
                v = s[i]
                if v == x:
                    hits += 1
                    total += v
        return hits, total

    def lb(lst):
        hits = total = 0
        n, bl = len(lst), bisect_left
        for x in queries:
            i = bl(lst, x)
            if i != n:
                v = lst[i]
                if v == x:
                    hits += 1
                    total += v
        return hits, total

    pre = prebuilt(data)
    return {AVL: (pre[AVL], getter("search")), SL: (pre[SL], indexed), SS: (pre[SS], indexed),
            LB: (pre[LB], lb), H: (lambda: {x: x for x in data}, getter("get"))}


def query_cases(data, queries, avl_q, sl_q, lb_q):
    """Each contender answers every query of queries; run returns (items seen, last answer)."""
    def runner(q):
        def run(c):
            total = 0
            for a in queries:
                out = q(c, a)
                total += len(out)
            return total, out
        return run

    pre = prebuilt(data)
    return {AVL: (pre[AVL], runner(avl_q)), SL: (pre[SL], runner(sl_q)),
            SS: (pre[SS], runner(sl_q)), LB: (pre[LB], runner(lb_q))}


INC = (True, False)
RANGE_Q = (lambda t, ab: list(t.range(ab[0], ab[1])),
           lambda s, ab: list(s.irange(ab[0], ab[1], inclusive=INC)),
           lambda lst, ab: lst[bisect_left(lst, ab[0]):bisect_left(lst, ab[1])])
def lb_from(lst, k):
    i = bisect_left(lst, k)
    return lst[i:i + 10]


def lb_to(lst, k):
    j = bisect_right(lst, k)
    return lst[j - 10 if j > 10 else 0:j][::-1]


FROM_Q = (lambda t, k: list(t.iter_from(k, 10)),
          lambda s, k: list(islice(s.irange(minimum=k), 10)), lb_from)
TO_Q = (lambda t, k: list(t.iter_to(k, 10)),
        lambda s, k: list(islice(s.irange(maximum=k, reverse=True), 10)), lb_to)


def walk(c):
    x = None
    for x in c:  # noqa: B007 (the last value is the walk's result)
        pass
    return x


def avl_ends(t):
    first, last = t.first, t.last
    for _ in repeat(None, CALLS):
        first()
        last()
    return first(), last()


def indexed_ends(s):
    for _ in repeat(None, CALLS):
        s[0]
        s[-1]
    return s[0], s[-1]


def roundtrip(c):
    return pickle.loads(pickle.dumps(c, protocol=pickle.HIGHEST_PROTOCOL))


def reduced_pairs(setup):
    """Setup of the bare pairs contender: the pairs list of a tree (made untimed)."""
    return lambda: setup().__reduce__()[1][0]


def unpaired(out):
    """Digest of workload 10: a container's keys, or the values of round-tripped pairs."""
    if type(out) is list and out and type(out[0]) is tuple:
        return [v for v, _ in out]
    return canon(out)


CMP_COUNTS = {}  # contender -> COUNTS after its last insert_cmp run


def counted(name, fn):
    def run(c):
        COUNTS[:] = [0, 0, 0, 0]
        out = fn(c)
        CMP_COUNTS[name] = COUNTS[:]
        return out
    return run


# ---------------------------------------------------------------- workloads

CONSONANTS, VOWELS = "bcdfghjklmnpqrstvwxyz", "aeiou"
SYLLABLES = [c + v for c in CONSONANTS for v in VOWELS]  # 105


def name_maker(seed):
    """A name of 8 letters (4 consonant-vowel syllables, e.g. 'kotamibe') for each int below
    105**4: distinct ints give distinct names, scattered so that name order is not int order."""
    space = len(SYLLABLES) ** 4
    offset = random.Random(seed).randrange(space)

    def name(x):
        v = (x * 2654435761 + offset) % space  # the multiplier is coprime to 105: a bijection
        out = []
        for _ in range(4):
            v, s = divmod(v, len(SYLLABLES))
            out.append(SYLLABLES[s])
        return "".join(out)
    return name


def workloads(n, seed):
    """Yield (group, id, cases, digest). Containers are only built by the (untimed) setups."""
    rng = random.Random(seed)
    pool = rng.sample(range(4 * n), 2 * n)
    data, misses = pool[:n], pool[n:]
    queries = rng.sample(data, n // 2) + misses[:n - n // 2]
    rng.shuffle(queries)
    order = data[:]
    rng.shuffle(order)
    ordered = sorted(data)
    starts = [rng.randrange(max(1, n - 100)) for _ in range(QUERIES)]
    bounds = [(ordered[i], ordered[min(i + 100, n - 1)]) for i in starts]
    probes = [rng.randrange(4 * n) for _ in range(QUERIES)]
    same = lambda out: out  # noqa: E731

    quarter = data[:max(1, n // 4)]  # a quarter of the values distinct
    FLOOR_INPUTS.update(build=data, build_asc=ordered, build_desc=ordered[::-1],
                        build_dups=[rng.choice(quarter) for _ in range(n)])
    for wid, values in FLOOR_INPUTS.items():
        # SortedList keeps every duplicate, the others one of each: compared by distinct keys
        yield 1, wid, build_cases(values), lambda out: sorted(set(out))
    yield 2, "insert", insert_cases(data), canon
    yield 3, "contains", contains_cases(data, queries), same
    yield 4, "remove", remove_cases(data, order), canon
    yield 5, "lookup", lookup_cases(data, queries), same
    yield 6, "range", query_cases(data, bounds, *RANGE_Q), same
    yield 7, "iter_from", query_cases(data, probes, *FROM_Q), same
    yield 7, "iter_to", query_cases(data, probes, *TO_Q), same
    pre = prebuilt(data)
    yield 8, "iterate", {c: (pre[c], walk) for c in (AVL, SL, SS, LB)}, same
    yield 8, "list", {c: (pre[c], list) for c in (AVL, SL, SS, LB)}, same
    yield 9, "first_last", {c: (pre[c], avl_ends if c == AVL else indexed_ends)
                            for c in (AVL, SL, SS, LB)}, same
    pickled = {c: (pre[c], roundtrip) for c in COLUMNS}
    pickled[PAIRS] = (reduced_pairs(pre[AVL]), roundtrip)
    yield 10, "pickle", pickled, unpaired
    name = name_maker(seed)
    for kind, make in (("str", name), ("bytes", lambda x: name(x).encode()),
                       ("float", lambda x: x + 0.5), ("tuple", lambda x: (x, str(x))),
                       ("pair", lambda x: (x // 1000, x % 1000))):
        d, q = [make(x) for x in data], [make(x) for x in queries]
        yield 11, f"build_{kind}", build_cases(d), canon
        if kind == "str":
            yield 11, "build_asc_str", build_cases(sorted(d)), canon
        yield 11, f"insert_{kind}", insert_cases(d), canon
        yield 11, f"contains_{kind}", contains_cases(d, q), same
    items = [Item(x) for x in data]
    by_int = dict(zip(data, items))
    item_q = [by_int.get(x) or Item(x) for x in queries]  # hits are the stored objects
    get_k = attrgetter("k")
    for kind, d, q, key, avl_key in (("keyf", data, queries, neg, neg),
                                     ("attr", items, item_q, get_k, "k")):
        dig = lambda out, key=key: canon(out, key)  # noqa: E731
        yield 12, f"build_{kind}", build_cases(d, key, avl_key), dig
        yield 12, f"insert_{kind}", insert_cases(d, key, avl_key), dig
        yield 12, f"contains_{kind}", contains_cases(d, q, key, avl_key), same
    cmps = [Cmp(x) for x in data]
    cases = insert_cases(cmps)
    yield 13, "insert_cmp", {c: (s, counted(c, r)) for c, (s, r) in cases.items()}, \
        lambda out: [x.v for x in out]


# ---------------------------------------------------------------- the shape floor (C++)

FLOOR_INPUTS = {}  # build workload id -> its int values, in arrival order
FLOOR_SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "shape_floor.cpp")


def floor_program():
    """benchmarks/shape_floor.cpp, compiled into build/ when missing or older than its sources."""
    root = os.path.dirname(os.path.dirname(FLOOR_SOURCE))
    sources = [FLOOR_SOURCE, os.path.join(root, "src", "python_tree", "replay.cpp")]
    binary = os.path.join(root, "build", "shape_floor")
    newest = max(os.path.getmtime(p) for p in sources + [os.path.join(
        root, "src", "python_tree", name) for name in ("replay.h", "balance.h")])
    if not os.path.exists(binary) or os.path.getmtime(binary) < newest:
        os.makedirs(os.path.dirname(binary), exist_ok=True)
        include = sysconfig.get_paths()["include"]
        subprocess.run([os.environ.get("CXX", "g++"), "-std=c++23", "-O2", "-DNDEBUG",
                        f"-I{root}/src", f"-I{include}", *sources, "-o", binary], check=True)
    return binary


def floor_report(results, repeat_count):
    """Each int build against the same insertions on the keys' 64-bit numbers alone."""
    rows = [(wid, med) for _group, wid, med in results if wid in FLOOR_INPUTS]
    if not rows:
        return
    binary = floor_program()
    print("\nShape floor: the same insertions replayed on 64-bit numbers, into 40-byte nodes")
    print(f"{'workload':<16} {'floor s':>10} {'AVLTree s':>10} {'AVLTree/floor':>14}")
    with tempfile.TemporaryDirectory() as folder:
        for wid, med in rows:
            path = os.path.join(folder, wid)
            with open(path, "wb") as out:
                out.write(array.array("q", FLOOR_INPUTS[wid]).tobytes())
            shown = subprocess.run([binary, path, str(repeat_count)], check=True,
                                   capture_output=True, text=True).stdout.split()
            floor = float(shown[0]) / 1000
            print(f"{wid:<16} {floor:>10.4f} {med[AVL]:>10.4f} {med[AVL] / floor:>14.2f}")


def run_workload(wid, cases, digest, repeat_count, summary=statistics.median):
    names = list(cases)
    times = {c: [] for c in names}
    digests = {}
    for r in range(repeat_count):
        k = r % len(names)
        for c in names[k:] + names[:k]:
            setup, run = cases[c]
            arg = setup()
            gc.collect()
            gc.disable()
            t0 = time.perf_counter()
            out = run(arg)
            elapsed = time.perf_counter() - t0
            gc.enable()
            times[c].append(elapsed)
            if r == 0:
                digests[c] = digest(out)
            del arg, out
        if r == 0:
            bad = [c for c in names if digests[c] != digests[names[0]]]
            if bad:
                sys.exit(f"{wid}: results of {', '.join(bad)} differ from {names[0]}")
    return {c: summary(v) for c, v in times.items()}


# ---------------------------------------------------------------- memory (fresh process each)

MEMORY_BUILDERS = {"AVLTree": AVLTree, "SortedList": SortedList, "SortedSet": SortedSet,
                   "list+bisect": sorted, "set": set, "dict": lambda v: {x: x for x in v}}
# Trees keyed by an attribute or a callable of objects made beforehand: the keys they store
# exist already, so each row counts only what the tree adds.
KEYED_MEMORY_BUILDERS = {"AVLTree key=attribute": lambda v: AVLTree(v, key="k"),
                         "AVLTree key=callable": lambda v: AVLTree(v, key=attrgetter("k"))}


def rss():  # resident set size in bytes
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def reset_peak_rss():
    """Linux (4.0 on) starts the process's peak resident size afresh at its current size."""
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def peak_rss():  # in bytes, since the last reset_peak_rss()
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmHWM:"))


def measure_memory(contender, n, mode, seed):
    vals = list(range(10**9, 10**9 + n))  # outside the small-int cache, never shared
    random.Random(seed).shuffle(vals)
    build = {**MEMORY_BUILDERS, **KEYED_MEMORY_BUILDERS}[contender]
    if contender in KEYED_MEMORY_BUILDERS:
        vals = [Item(v) for v in vals]
    gc.collect()
    if mode == "trace":
        tracemalloc.start()
    before = rss()
    reset_peak_rss()
    c = build(vals)
    gc.collect()
    after = rss()
    peak = peak_rss()
    traced = tracemalloc.get_traced_memory()[0] if mode == "trace" else None
    assert len(c) == n
    print(json.dumps({"rss": after - before, "peak": peak - before, "traced": traced}))


def memory_report(n, seed):
    print(f"\nMemory: bytes per entry beyond the {n:,} stored objects (fresh process each)")
    print(f"{'contender':<22} {'RSS delta':>10} {'peak/kept':>10} {'tracemalloc':>12}")
    rows = {}
    for c in [*MEMORY_BUILDERS, *KEYED_MEMORY_BUILDERS]:
        got = {}
        for mode in ("rss", "trace"):
            cmd = [sys.executable, __file__, "--measure-memory", c, str(n), mode,
                   "--seed", str(seed)]
            got[mode] = json.loads(subprocess.run(cmd, check=True, capture_output=True,
                                                  text=True).stdout)
        rss_b, traced_b = got["rss"]["rss"] / n, got["trace"]["traced"] / n
        peak = got["rss"]["peak"] / max(got["rss"]["rss"], 1)
        tree = c.startswith(AVL)
        note = "   (nodes live on the C++ heap, unseen by tracemalloc)" if tree else ""
        trace_s = "n/a" if tree else f"{traced_b:.1f}"
        print(f"{c:<22} {rss_b:>10.1f} {peak:>10.2f} {trace_s:>12}{note}", flush=True)
        rows[c] = (rss_b, peak)
    return rows


# ---------------------------------------------------------------- reporting

def label(wid, c):
    if c == SL and ("keyf" in wid or "attr" in wid):
        return "SortedKeyList"
    if c == H:
        return "dict" if wid in ("lookup", "contains_keyf", "contains_attr") else "set"
    return c


def fmt_ms(t):
    ms = t * 1e3
    return f"{ms:.0f} ms" if ms >= 100 else f"{ms:.1f} ms" if ms >= 1 else f"{ms:.3f} ms"


def markdown(results, n, repeat_count, mem):
    print(f"\n| workload (n={n:,}, median of {repeat_count}) | AVLTree | SortedList | "
          "AVLTree / SortedList | SortedSet | list + bisect | set / dict |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    for group, wid, med in results:
        cell = {c: fmt_ms(med[c]) if c in med else "–" for c in COLUMNS}
        ratio = f"{med[AVL] / med[SL]:.2f}" if AVL in med and SL in med else "–"
        print(f"| {group}. {wid} | {cell[AVL]} | {cell[SL]} | **{ratio}** | {cell[SS]} | "
              f"{cell[LB]} | {cell[H]} |")
    paired = [(group, wid, med) for group, wid, med in results if PAIRS in med]
    if paired:
        print("\n| workload | AVLTree | bare (value, key) pairs list | AVLTree / pairs list |")
        print("|---|---:|---:|---:|")
        for group, wid, med in paired:
            print(f"| {group}. {wid} | {fmt_ms(med[AVL])} | {fmt_ms(med[PAIRS])} | "
                  f"**{med[AVL] / med[PAIRS]:.2f}** |")
    if mem:
        print("\n| bytes per entry beyond the stored objects | " + " | ".join(mem) + " |")
        print("|---|" + "---:|" * len(mem))
        print("| RSS delta, 1 fresh process each | "
              + " | ".join(f"{kept:.1f}" for kept, _ in mem.values()) + " |")
        print("| peak RSS while building / RSS delta | "
              + " | ".join(f"{peak:.2f}" for _, peak in mem.values()) + " |")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--n", type=int, default=200_000)
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--only", default="", help="workload ids or group numbers, comma "
                    "separated (e.g. build,11,memory); default: everything")
    ap.add_argument("--markdown", action="store_true")
    ap.add_argument("--floor", action="store_true", help="also time the int builds' shape "
                    "floor, benchmarks/shape_floor.cpp (compiled with g++ on first use)")
    ap.add_argument("--seed", type=int, default=20240501)
    ap.add_argument("--memory-n", type=int, default=1_000_000, help="0 skips memory")
    ap.add_argument("--measure-memory", nargs=3, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.measure_memory:
        c, n, mode = args.measure_memory
        return measure_memory(c, int(n), mode, args.seed)

    only = {s.strip() for s in args.only.split(",") if s.strip()}
    print(f"Python {platform.python_version()}, sortedcontainers {sortedcontainers.__version__}, "
          f"n={args.n:,}, repeat={args.repeat}, seed={args.seed}, load {os.getloadavg()[0]:.2f}")
    print(f"{'workload':<16} {'contender':<14} {'median s':>10} {'vs SortedList':>14}")
    results = []
    for group, wid, cases, digest in workloads(args.n, args.seed):
        if only and wid not in only and str(group) not in only:
            continue
        med = run_workload(wid, cases, digest, args.repeat)
        results.append((group, wid, med))
        for c in COLUMNS + (PAIRS,):
            name = label(wid, c)
            if c not in med:
                if c == LB and wid.startswith(("insert", "remove")):
                    print(f"{wid:<16} {name:<14} {'skipped':>10}   (quadratic at this n)")
                continue
            ratio = f"{med[c] / med[SL]:.2f}" if SL in med else "-"
            print(f"{wid:<16} {name:<14} {med[c]:>10.4f} {ratio:>14}", flush=True)
        if wid == "insert_cmp":
            print("comparisons per insert:   __eq__   __lt__   __gt__ __hash__    total")
            for c, counts in CMP_COUNTS.items():
                per = [x / args.n for x in counts]
                print(f"  {c:<22}" + "".join(f"{x:>9.2f}" for x in per) + f"{sum(per):>9.2f}")
    if results:
        print("\nAVLTree / SortedList (SortedKeyList for key workloads), median time ratio:")
        for group, wid, med in results:
            print(f"  {group:>2}. {wid:<16} {med[AVL] / med[SL]:6.2f}")
        for _group, wid, med in results:
            if PAIRS in med:
                print(f"AVLTree / bare pairs list, {wid}: {med[AVL] / med[PAIRS]:.2f}")
    if args.floor:
        floor_report(results, args.repeat)
    mem = {}
    if args.memory_n and (not only or "memory" in only):
        mem = memory_report(args.memory_n, args.seed)
    if args.markdown:
        markdown(results, args.n, args.repeat, mem)


if __name__ == "__main__":
    main()
