#!/usr/bin/env python3
"""How tervalo.AVLTree and sortedcontainers.SortedList scale, n = 1,000 to 10,000,000.

Runs the workloads of bench.py (same data, interleaved repetitions, results cross-checked)
for AVLTree and SortedList only (SortedKeyList for the keyed workloads), at every size from
1,000 up to --max-n. Each size runs in a fresh process, so its peak memory is its own. A
workload's time is its fastest repetition: on a shared machine other jobs only ever add time.
Time per operation is that time divided by the workload's number of operations:
n for build, insert, contains, remove, lookup, iterate, pickle and the key-type workloads;
5,000 queries for range, iter_from and iter_to; 200,000 calls for first_last.

    python benchmarks/scaling.py --max-n 100000     # quick run, sizes up to 100,000
    python benchmarks/scaling.py                    # every size up to 10,000,000
    python benchmarks/scaling.py --plot             # redraw the charts from the JSON only
    python benchmarks/scaling.py --sizes 10000000 --only build,contains --json /tmp/big.json
    python benchmarks/scaling.py --sizes 10000000 --only 2,3 --add   # beside the last run

Raw results go to docs/scaling.json after every size; the charts (docs/scaling-*.png, needs
matplotlib) and a Markdown ratio table are made from that file at the end of the run.
A size whose predicted peak memory exceeds the available memory is not started.
"""
import argparse
import json
import math
import os
import platform
import resource
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)  # bench.py sits next to this file

from bench import AVL, CALLS, QUERIES, SL, run_workload, workloads  # noqa: E402

DOCS = os.path.join(os.path.dirname(HERE), "docs")
SIZES = (1_000, 3_000, 10_000, 30_000, 100_000, 300_000, 1_000_000, 3_000_000, 10_000_000)
CONTENDERS = (AVL, SL)


def repeats(n):
    """Repetitions per size: more where runs are short (and noisier), one at the largest."""
    for limit, count in ((3_000, 25), (30_000, 9), (100_000, 5), (1_000_000, 3)):
        if n <= limit:
            return count
    return 1


def operations(wid, n):
    """The number of operations a workload performs, the divisor of its time."""
    if wid in ("range", "iter_from", "iter_to"):
        return QUERIES
    if wid == "first_last":
        return 2 * CALLS  # first() and last() each
    return n


def selected(only, group, wid):
    return not only or wid in only or str(group) in only


# ---------------------------------------------------------------- one size (child process)

def run_size(n, repeat_count, only, seed):
    rows = []
    for group, wid, cases, digest in workloads(n, seed):
        if not selected(only, group, wid):
            continue
        cases = {c: cases[c] for c in CONTENDERS if c in cases}
        if not cases:
            continue
        t0 = time.perf_counter()
        med = run_workload(wid, cases, digest, repeat_count, summary=min)
        ops = operations(wid, n)
        rows.append({"group": group, "id": wid, "ops": ops, **med})
        per = "  ".join(f"{c} {med[c] / ops * 1e9:9.1f} ns" for c in med)
        print(f"  n={n:<10,} {wid:<16} {per}   ({time.perf_counter() - t0:.1f} s)",
              file=sys.stderr, flush=True)
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024  # KiB on Linux
    print(json.dumps({"rows": rows, "peak_rss": peak}))


# ---------------------------------------------------------------- driver

def available_memory():
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemAvailable:"):
                return int(line.split()[1]) * 1024
    return None


def scaled(value, n_from, n_to):
    """value measured at n_from, scaled to n_to as n log n."""
    return value * n_to / n_from * math.log(n_to) / math.log(n_from)


def estimate(done, sizes):
    """Seconds the sizes not yet run would take, extrapolated from the largest size done."""
    n0, wall0 = max(done.items())
    per_rep = wall0 / repeats(n0)
    return sum(scaled(per_rep, n0, n) * repeats(n) for n in sizes if n not in done)


def fmt_s(s):
    return f"{s / 3600:.1f} h" if s >= 5400 else f"{s / 60:.0f} min" if s >= 90 else f"{s:.0f} s"


def save(path, data):
    tmp = path + ".tmp"
    with open(tmp, "w") as f:
        json.dump(data, f, indent=1)
        f.write("\n")
    os.replace(tmp, path)


def drive(args):
    only = sorted({s.strip() for s in args.only.split(",") if s.strip()})
    sizes = [n for n in (args.sizes or SIZES) if n <= args.max_n]
    import sortedcontainers
    data = {"python": platform.python_version(), "machine": platform.machine(),
            "cpus": os.cpu_count(), "sortedcontainers": sortedcontainers.__version__,
            "seed": args.seed, "only": only, "time": "fastest of the repetitions",
            "started": time.strftime("%Y-%m-%d %H:%M"),
            "sizes": {}, "stopped": None}
    if args.add:  # a partial run at the large sizes, kept beside the full run's smaller ones
        with open(args.json) as f:
            data = json.load(f)
    if os.path.exists(args.json) and not only and not args.sizes:
        with open(args.json) as f:  # a previous full run: its wall times give a first guess
            prev = {int(n): s["wall"] for n, s in json.load(f)["sizes"].items()}
        if prev:
            print(f"Estimated from the last run in {args.json}: "
                  f"{fmt_s(estimate(prev, sizes) + sum(prev.get(n, 0) for n in sizes))} "
                  f"for sizes up to {sizes[-1]:,}")
    walls = {}
    for n in sizes:
        rep = args.repeat or repeats(n)
        avail = available_memory()
        if data["sizes"]:
            n0 = max(int(k) for k in data["sizes"])
            need = data["sizes"][str(n0)]["peak_rss"] * n / n0
            if avail is not None and need > 0.9 * avail:
                data["stopped"] = (f"n={n:,} not run: about {need / 2**30:.1f} GiB needed, "
                                   f"{avail / 2**30:.1f} GiB available")
                print(data["stopped"])
                break
        print(f"n={n:,}, repeat={rep}, load {os.getloadavg()[0]:.2f}", flush=True)
        t0 = time.perf_counter()
        cmd = [sys.executable, os.path.abspath(__file__), "--one-size", str(n),
               "--repeat", str(rep), "--seed", str(args.seed), "--only", ",".join(only)]
        proc = subprocess.run(cmd, stdout=subprocess.PIPE, text=True)
        wall = time.perf_counter() - t0
        if proc.returncode != 0:
            data["stopped"] = f"n={n:,} failed (exit status {proc.returncode})"
            print(data["stopped"])
            break
        got = json.loads(proc.stdout)
        data["sizes"][str(n)] = {"repeat": rep, "wall": wall, "peak_rss": got["peak_rss"],
                                 "load": os.getloadavg()[0], "only": only, "rows": got["rows"]}
        save(args.json, data)
        walls[n] = wall
        left = [m for m in sizes if m > n]
        full = [m for m in SIZES if m > n]
        print(f"n={n:,} took {fmt_s(wall)}, peak RSS {got['peak_rss'] / 2**20:,.0f} MiB"
              + (f"; estimated still to run: {fmt_s(estimate(walls, left))}" if left else "")
              + (f"; a full run to {SIZES[-1]:,} would take about "
                 f"{fmt_s(sum(walls.values()) + estimate(walls, full))}" if full else ""),
              flush=True)
    print(f"Results in {args.json}")
    return data


# ---------------------------------------------------------------- report and charts

def ratio_table(data):
    sizes = sorted(int(n) for n in data["sizes"])
    shown = [n for n in sizes if math.log10(n).is_integer()] or sizes
    print("\n| AVLTree / SortedList, time ratio | " + " | ".join(f"n={n:,}" for n in shown)
          + " |")
    print("|---|" + "---:|" * len(shown))
    ratios = {}
    for n in shown:
        for r in data["sizes"][str(n)]["rows"]:
            if AVL in r and SL in r:
                ratios.setdefault((r["group"], r["id"]), {})[n] = r[AVL] / r[SL]
    for (group, wid), by_n in ratios.items():
        cells = [f"{by_n[n]:.2f}" if n in by_n else "–" for n in shown]
        print(f"| {group}. {wid} | " + " | ".join(cells) + " |")
    print("\nPeak RSS per size: " + ", ".join(
        f"{n:,}: {data['sizes'][str(n)]['peak_rss'] / 2**20:,.0f} MiB" for n in sizes))
    if data.get("stopped"):
        print(f"Stopped: {data['stopped']}")


# ---------------------------------------------------------------- charts

# (file name, title, groups of bench.py, what one operation is)
FAMILIES = (
    ("core", "Single operations, int keys", (1, 2, 3, 4, 5), "per value (n operations)"),
    ("queries", "Bounded queries", (6, 7), "per query (5,000 queries, 100 or 10 values each)"),
    ("walks", "Iteration and the two ends", (8, 9),
     "per value (iterate), per call (first_last: 100,000 first() + 100,000 last())"),
    ("pickle", "Pickle round trip (dumps + loads)", (10,), "per value"),
    ("keys", "Key types", (11, 12, 13), "per value (n operations)"),
)
KEY_OPS = ("build", "insert", "contains")
KIND_LABELS = {"int": "int", "keyf": "key=callable", "attr": "key=attribute",
               "cmp": "Python __eq__/__lt__/__gt__"}


def series(data, pick):
    """{label: ([n...], [AVLTree s/op...], [SortedList s/op...])} of the rows pick names."""
    out = {}
    for n in sorted(int(k) for k in data["sizes"]):
        for r in data["sizes"][str(n)]["rows"]:
            name = pick(r)
            if name is None:
                continue
            xs, avl, sl = out.setdefault(name, ([], [], []))
            xs.append(n)
            avl.append(r[AVL] / r["ops"] if AVL in r else math.nan)
            sl.append(r[SL] / r["ops"] if SL in r else math.nan)
    return out


def key_kind(r, op):
    """The key type of a build/insert/contains row, None for rows of other operations."""
    if r["group"] in (1, 2, 3):
        return "int" if r["id"] == op else None
    if r["group"] in (11, 12, 13):
        head, _, kind = r["id"].partition("_")
        return KIND_LABELS.get(kind, kind) if head == op else None
    return None


def spread(values, gap):
    """values moved apart, order kept, so that neighbours end up at least gap apart."""
    order = sorted(range(len(values)), key=values.__getitem__)
    out = list(values)
    for _ in range(50):  # push close neighbours apart, each by half of what is missing
        moved = False
        for i, j in zip(order, order[1:]):
            short = gap - (out[j] - out[i])
            if short > 1e-9:
                out[i] -= short / 2
                out[j] += short / 2
                moved = True
        if not moved:
            break
    return out


def draw_pair(ax_t, ax_r, lines, colors):
    import matplotlib.ticker as mt
    ends = []
    for name, (xs, avl, sl) in lines.items():
        col = colors[name]
        ax_t.plot(xs, [t * 1e9 for t in avl], "-o", color=col, ms=3.5)
        ax_t.plot(xs, [t * 1e9 for t in sl], "--s", color=col, ms=3, mfc="none")
        ratio = [a / s for a, s in zip(avl, sl)]
        if all(math.isnan(x) for x in ratio):
            continue
        ax_r.plot(xs, ratio, "-o", color=col, ms=3.5)
        ends.append((xs[-1], ratio[-1], col))
    fmt = mt.FuncFormatter(lambda v, _: f"{v / 1e6:g}M" if v >= 1e6 else f"{v / 1e3:g}k")
    for ax in (ax_t, ax_r):
        ax.set_xscale("log")
        ax.xaxis.set_major_formatter(fmt)
        ax.grid(True, which="major", alpha=0.3)
        ax.grid(True, which="minor", alpha=0.1)
    ax_t.set_yscale("log")
    ax_t.set_ylabel("ns per operation")
    ax_t.yaxis.set_major_formatter(mt.FuncFormatter(lambda v, _: f"{v:g}"))
    narrow = lambda: math.log10(ax_t.get_ylim()[1] / ax_t.get_ylim()[0]) < 2  # noqa: E731
    ax_t.yaxis.set_minor_formatter(mt.FuncFormatter(
        lambda v, _: f"{v:g}" if narrow() and f"{v:g}"[0] in "25" else ""))
    ax_r.set_yscale("log")
    lo, hi = ax_r.get_ylim()
    lo, hi = min(lo / 1.15, 0.5), max(hi * 1.15, 2.0)  # room for the end labels
    ax_r.set_ylim(lo, hi)
    ticks = [t for t in (0.05, 0.1, 0.2, 0.5, 1, 2, 5, 10, 20, 50) if lo <= t <= hi]
    ax_r.yaxis.set_major_locator(mt.FixedLocator(ticks))
    ax_r.yaxis.set_major_formatter(mt.FuncFormatter(lambda v, _: f"{v:g}"))
    ax_r.yaxis.set_minor_formatter(mt.NullFormatter())
    ax_r.axhspan(lo, 1, color="tab:green", alpha=0.08, lw=0)
    ax_r.axhspan(1, hi, color="tab:red", alpha=0.06, lw=0)
    ax_r.axhline(1, color="black", lw=0.8)
    ax_r.set_ylabel("AVLTree / SortedList")
    ax_r.text(0.02, 0.03, "AVLTree faster", transform=ax_r.transAxes, fontsize=8,
              color="tab:green")
    ax_r.text(0.02, 0.97, "SortedList faster", transform=ax_r.transAxes, fontsize=8,
              color="tab:red", va="top")
    if ends:  # the last ratio of each line, at its right end, kept legible
        logs = spread([math.log10(r) for _, r, _ in ends],
                      (math.log10(hi) - math.log10(lo)) * 0.045)
        for (x, r, col), y in zip(ends, logs):
            ax_r.annotate(f"{r:.2f}", (x, r), xytext=(x * 1.1, 10 ** y), va="center",
                          fontsize=7, color=col, annotation_clip=False)
        ax_r.set_xlim(right=max(x for x, _, _ in ends) * 2.2)


def plot(data, outdir):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.lines import Line2D

    known = {g for f in FAMILIES for g in f[2]}
    extra = sorted({r["group"] for s in data["sizes"].values() for r in s["rows"]} - known)
    families = FAMILIES + tuple((f"group{g}", f"Workload {g}", (g,), "per value")
                                for g in extra)
    head = (f"CPython {data['python']}, {data['machine']}, {data['cpus']} cores, "
            f"sortedcontainers {data['sortedcontainers']}; time per operation = "
            "fastest repetition of the workload / its number of operations")
    paths = []
    for fname, title, groups, per in families:
        if fname == "keys":
            panels = [(op, series(data, lambda r, op=op: key_kind(r, op))) for op in KEY_OPS]
        else:
            panels = [(None, series(data, lambda r, g=groups: r["id"] if r["group"] in g
                                    else None))]
        panels = [(op, lines) for op, lines in panels if lines]
        if not panels:
            continue
        names = list(dict.fromkeys(name for _, lines in panels for name in lines))
        cmap = plt.get_cmap("tab10")
        colors = {name: cmap(i % 10) for i, name in enumerate(names)}
        fig, axes = plt.subplots(len(panels), 2, figsize=(11, 3.4 * len(panels) + 1.2),
                                 squeeze=False, layout="constrained")
        for (op, lines), (ax_t, ax_r) in zip(panels, axes):
            draw_pair(ax_t, ax_r, lines, colors)
            if op:
                ax_t.set_title(f"{op}: time per value", fontsize=10)
                ax_r.set_title(f"{op}: AVLTree / SortedList, time ratio", fontsize=10)
            else:
                ax_t.set_title(f"time {per}", fontsize=10)
                ax_r.set_title("AVLTree / SortedList, time ratio", fontsize=10)
        for ax in axes[-1]:
            ax.set_xlabel("n (values in the container)")
        keyed = fname == "keys"
        handles = [Line2D([], [], color=colors[name], marker="o", ms=4, label=name)
                   for name in names]
        handles += [Line2D([], [], color="black", ls="-", marker="o", ms=4, label="AVLTree"),
                    Line2D([], [], color="black", ls="--", marker="s", ms=3, mfc="none",
                           label="SortedList" + (" (SortedKeyList for key=)" if keyed else ""))]
        fig.legend(handles=handles, loc="outside lower center", ncol=min(len(handles), 6),
                   fontsize=8, frameon=False)
        fig.suptitle(f"{title}\n{head}", fontsize=9)
        path = os.path.join(outdir, f"scaling-{fname}.png")
        fig.savefig(path, dpi=90)
        plt.close(fig)
        paths.append(path)
    return paths


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--max-n", type=int, default=SIZES[-1], help="largest size to run")
    ap.add_argument("--sizes", type=lambda s: [int(x) for x in s.split(",")],
                    help="comma-separated sizes instead of the default series")
    ap.add_argument("--repeat", type=int, default=0,
                    help="repetitions per size (default: 25 up to 3,000, 9 up to 30,000, "
                    "5 up to 100,000, 3 up to 1,000,000, then 1)")
    ap.add_argument("--only", default="", help="workload ids or group numbers of bench.py, "
                    "comma separated; default: every workload")
    ap.add_argument("--seed", type=int, default=20240501)
    ap.add_argument("--json", default=os.path.join(DOCS, "scaling.json"))
    ap.add_argument("--add", action="store_true", help="add the sizes run to those in --json "
                    "(e.g. a few workloads at 10,000,000) instead of starting afresh")
    ap.add_argument("--plot", action="store_true", help="only redraw charts from --json")
    ap.add_argument("--no-plot", action="store_true", help="run, but draw no charts")
    ap.add_argument("--one-size", type=int, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.one_size:
        only = {s for s in args.only.split(",") if s}
        return run_size(args.one_size, args.repeat, only, args.seed)
    if args.plot:
        with open(args.json) as f:
            data = json.load(f)
    else:
        os.makedirs(os.path.dirname(os.path.abspath(args.json)), exist_ok=True)
        data = drive(args)
    if not data["sizes"]:
        return
    ratio_table(data)
    if not args.no_plot:
        for path in plot(data, os.path.dirname(os.path.abspath(args.json))):
            print(f"wrote {path}")


if __name__ == "__main__":
    main()
