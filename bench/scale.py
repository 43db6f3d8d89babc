"""Scale curve: open time, resident memory and reads after the open, by size.

This library rebuilds its key index by replaying the record files on open,
so open time and resident memory grow with the number of records, while
LMDB and LevelDB open in about constant time and load pages as reads need
them. This command measures how far apart that puts them at 100k, 1M and
10M records, and what the first reads after the open cost on each.

The stores hold the records of bench/run.py's bulk/open workload (its
`record(i)` under keys "k<i>" in collection "records") and are built once
per size under --root, in batches of --batch records; a store whose build
finished is reused by later runs. Every measurement runs in a fresh child
process, interleaved in rounds like bench/run.py, and the report gives the
median and the spread (min to max) over the rounds.

Usage: python bench/scale.py [--sizes 100000,1000000,10000000] [--rounds 3]
       [--reads 100000] [--root /tmp/zez-scale] [--out-dir bench]
"""

import argparse
import gc
import json
import os
import random
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import stores  # noqa: E402
from run import record, rss_kib  # noqa: E402

REPO = os.path.dirname(HERE)
STORES = [stores.Zez, stores.Lmdb, stores.LevelDB]
# Imported before the baseline is taken, so that loading the library is
# counted neither in the open time nor in the memory it adds.
MODULES = {"zezavezud": "_zezavezud", "lmdb": "lmdb", "leveldb": "plyvel"}


def make(name):
    cls = next(c for c in STORES if c.name == name)
    __import__(MODULES[name])
    return cls()


def rss_file_kib():
    """Resident pages of mapped files: shared with the page cache, droppable."""
    return rss_kib("RssFile:")


def items(lo, hi):
    return [("records", "k%d" % i, record(i)) for i in range(lo, hi)]


def say(*parts):
    print(*parts, file=sys.stderr, flush=True)


def build_child(name, path, n, batch):
    """Run in a child process: write n records in batches, then settle the store."""
    store = make(name)
    shutil.rmtree(path, ignore_errors=True)
    t0 = time.perf_counter()
    writing = 0.0
    store.open(path)
    step = max(n // 10, batch)
    for lo in range(0, n, batch):
        chunk = items(lo, min(n, lo + batch))
        t = time.perf_counter()
        store.bulk(chunk)
        writing += time.perf_counter() - t
        done = lo + len(chunk)
        if done % step < batch or done == n:
            say("  %s %s: %s records, %.0f s" % (name, label(n), format(done, ","),
                                                 time.perf_counter() - t0))
    store.close()
    wall = time.perf_counter() - t0
    # The first open after the writes does work that later opens do not
    # (LevelDB turns its log into a table), so every measured open finds
    # the files this one leaves.
    store.open(path)
    store.get("records", "k0")
    store.close()
    disk = sum(os.path.getsize(f) for f in store.files(path))
    print(json.dumps({"build_s": wall, "write_s": writing, "disk_bytes": disk}))


def measure_child(name, path, n, reads, seed):
    """Run in a child process: one open of a built store and the reads after it."""
    store = make(name)
    rng = random.Random(seed)
    keys = ["k%d" % rng.randrange(n) for _ in range(reads)]
    gc.collect()
    before, before_file = rss_kib(), rss_file_kib()
    t0 = time.perf_counter()
    store.open(path)
    opened = time.perf_counter() - t0
    # As in bench/run.py: one read makes lazy stores map what serving needs.
    store.get("records", "k1")
    after_open = rss_kib()
    gc.collect()
    t0 = time.perf_counter()
    for k in keys:
        store.get("records", k)
    read_s = time.perf_counter() - t0
    after_reads, after_reads_file = rss_kib(), rss_file_kib()
    store.close()
    print(json.dumps({
        "open_ms": opened * 1e3,
        "rss_mib": (after_open - before) / 1024,
        "rss_reads_mib": (after_reads - before) / 1024,
        "rss_reads_file_mib": (after_reads_file - before_file) / 1024,
        "read_us": read_s / reads * 1e6,
    }))


def child(*args):
    out = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", *map(str, args)],
                         check=True, stdout=subprocess.PIPE, text=True).stdout
    return json.loads(out.splitlines()[-1])


def label(n):
    for div, suffix in ((1_000_000, "M"), (1_000, "k")):
        if n >= div and n % div == 0:
            return "%d%s" % (n // div, suffix)
    return format(n, ",")


def ensure_built(root, name, n, batch):
    """The store's path and build figures; builds it unless a finished build is there."""
    path = os.path.join(root, "%s-%d" % (name, n))
    marker = path + ".done"
    # A different record shape means a different store: the marker keeps
    # a sample record so that a change to run.py's record() rebuilds.
    shape = repr(record(7))
    if os.path.isdir(path) and os.path.exists(marker):
        with open(marker) as f:
            done = json.load(f)
        if done.get("records") == n and done.get("shape") == shape:
            say("reusing %s %s (built in %.0f s)" % (name, label(n), done["build_s"]))
            return path, done
    if os.path.exists(marker):
        os.remove(marker)
    say("building %s %s in batches of %s" % (name, label(n), format(batch, ",")))
    done = child("build", name, path, n, batch)
    done.update(records=n, shape=shape)
    with open(marker, "w") as f:
        json.dump(done, f)
    say("built %s %s in %.0f s" % (name, label(n), done["build_s"]))
    return path, done


METRICS = [
    ("open_ms", "open ms"),
    ("rss_mib", "MiB"),
    ("rss_bpr", "B/record"),
    ("read_us", "read us/op"),
    ("rss_reads_mib", "MiB after reads"),
    ("rss_reads_file_mib", "of it file pages"),
]


def fmt(values):
    med = statistics.median(values)
    if len(values) == 1:
        return "%.3g" % med
    return "%.3g [%.3g-%.3g]" % (med, min(values), max(values))


def write_report(samples, builds, sizes, names, args):
    lines = [
        "# Scale curve",
        "",
        "Opening a store of n records in a fresh process, then %s random reads"
        " (`bash bench/scale.sh`). Median of %d rounds, min to max in brackets."
        " Records are bench/run.py's bulk/open records; LMDB and LevelDB hold them"
        " pickled. The stores' files are in the page cache (warm open)."
        % (format(args.reads, ","), args.rounds),
        "",
        "- open ms: time of the open call.",
        "- MiB, B/record: resident memory added by the open and one read.",
        "- read us/op: the %s reads right after the open, total time / reads."
        % format(args.reads, ","),
        "- MiB after reads: resident memory added by the open and all the reads;"
        " of it file pages: the part that is pages of the store's files mapped into"
        " the process (LMDB maps its file, LevelDB its tables), shared with the page"
        " cache and dropped by the kernel under pressure, unlike the rest.",
        "",
        "| records | store | " + " | ".join(title for _, title in METRICS) + " |",
        "|---|---|" + "---|" * len(METRICS),
    ]
    for n in sizes:
        for s in names:
            got = samples[(n, s)]
            cells = [fmt([x[key] for x in got]) for key, _ in METRICS]
            lines.append("| %s | %s | %s |" % (label(n), s, " | ".join(cells)))
    lines += [
        "",
        "Building the stores (batches of %s records, each batch one transaction"
        " or write batch; wall time includes making the records and closing the store):" % format(args.batch, ","),
        "",
        "| records | store | build s | write us/record | disk B/record |",
        "|---|---|---|---|---|",
    ]
    for n in sizes:
        for s in names:
            b = builds[(n, s)]
            lines.append("| %s | %s | %.3g | %.3g | %.3g |" % (
                label(n), s, b["build_s"], b["write_s"] / n * 1e6, b["disk_bytes"] / n))
    lines.append("")
    text = "\n".join(lines)
    with open(os.path.join(args.out_dir, "scale.md"), "w") as f:
        f.write(text)
    print(text)


def plot(samples, sizes, names, out_dir):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import matplotlib.ticker

    panels = [("open_ms", "open (ms)"), ("rss_mib", "resident memory after open (MiB)"),
              ("read_us", "random read after open (us/op)")]
    fig, axes = plt.subplots(1, len(panels), figsize=(4.6 * len(panels), 3.8))
    for ax, (key, title) in zip(axes, panels):
        for s in names:
            vals = [[x[key] for x in samples[(n, s)]] for n in sizes]
            med = [statistics.median(v) for v in vals]
            err = [[m - min(v) for m, v in zip(med, vals)], [max(v) - m for m, v in zip(med, vals)]]
            ax.errorbar(sizes, med, yerr=err, marker="o", capsize=3, label=s,
                        linewidth=2.2 if s == stores.Zez.name else 1.2)
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlabel("records")
        ax.set_title(title, fontsize=10)
        ax.grid(True, which="major", alpha=0.3)
        plain = matplotlib.ticker.FuncFormatter(lambda v, _: "%g" % v)
        ax.yaxis.set_major_formatter(plain)
        lo, hi = ax.get_ylim()
        # Under a decade or so the log axis labels only its minor ticks, as 6x10^0.
        if hi / lo < 20:
            ax.yaxis.set_minor_formatter(plain)
    axes[0].legend(fontsize=8)
    fig.suptitle("Scale curve (log-log; median of rounds, bars min to max)", fontsize=11)
    fig.tight_layout()
    fig.savefig(os.path.join(out_dir, "scale.png"), dpi=110)


def main():
    p = argparse.ArgumentParser(description="open time and memory by store size")
    p.add_argument("--sizes", default="100000,1000000,10000000")
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--reads", type=int, default=100_000)
    p.add_argument("--batch", type=int, default=100_000, help="records per bulk write when building")
    p.add_argument("--root", default=os.path.join("/tmp", "zez-scale"),
                   help="where the stores are built and kept between runs")
    p.add_argument("--out-dir", default=HERE)
    p.add_argument("--child", nargs="+", help=argparse.SUPPRESS)
    args = p.parse_args()
    if args.child:
        kind, name, path, *rest = args.child
        if kind == "build":
            build_child(name, path, int(rest[0]), int(rest[1]))
        else:
            measure_child(name, path, *map(int, rest))
        return
    root = os.path.realpath(args.root)
    # Gigabytes of store files must never end up where `git add` can see them.
    if os.path.commonpath([root, REPO]) == REPO:
        p.error("--root must be outside the repository (%s)" % REPO)
    os.makedirs(root, exist_ok=True)
    os.makedirs(args.out_dir, exist_ok=True)
    sizes = sorted(int(s) for s in args.sizes.split(","))
    names = [c.name for c in STORES]
    t_start = time.perf_counter()

    builds, paths = {}, {}
    for n in sizes:
        for s in names:
            paths[(n, s)], builds[(n, s)] = ensure_built(root, s, n, args.batch)

    samples = {key: [] for key in paths}
    for r in range(args.rounds):
        for n in sizes:
            for s in names:
                got = child("measure", s, paths[(n, s)], n, args.reads, r + 1)
                got["rss_bpr"] = got["rss_mib"] * 1024 * 1024 / n
                samples[(n, s)].append(got)
                say("round %d %s %s: open %.3g ms, %.3g MiB, reads %.3g us/op" % (
                    r + 1, label(n), s, got["open_ms"], got["rss_mib"], got["read_us"]))

    write_report(samples, builds, sizes, names, args)
    plot(samples, sizes, names, args.out_dir)
    say("done in %.0f s" % (time.perf_counter() - t_start))


if __name__ == "__main__":
    main()
