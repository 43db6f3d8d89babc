"""Benchmarks this library against the stores its users would pick instead.

Every workload runs on every store in the same process, interleaved in
rounds (round 1: all stores, round 2: all stores, ...) so that drift of a
shared machine hits all alike. The report gives, per workload and store, the
median and the spread (min to max) over the rounds, and each store's ratio to
this library (above 1 means slower than this library).

Usage: python bench/run.py [--rounds 3] [--records 1000000] [--out bench]
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
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import stores  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))


def record(i):
    return {"title": "record number %d" % i, "n": i, "score": i * 0.5, "tags": ["alpha", "beta"]}


def user(i):
    return {"name": "user %d" % i, "n": i, "score": i * 0.25, "tags": ["reader", "writer"]}


class Timer:
    def __enter__(self):
        gc.collect()
        self.t0 = time.perf_counter()
        return self

    def __exit__(self, *exc):
        self.seconds = time.perf_counter() - self.t0


def fresh(root, store, tag):
    path = os.path.join(root, "%s-%s" % (store.name, tag))
    shutil.rmtree(path, ignore_errors=True)
    return path


# Each workload returns {metric name: (value, unit)} for one store and round.


def w_single_writes(store, root, n):
    path = fresh(root, store, "single")
    store.open(path)
    items = [("records", "k%d" % i, record(i)) for i in range(n)]
    with Timer() as t:
        for c, k, v in items:
            store.put(c, k, v)
    store.close()
    return {"single writes": (t.seconds / n * 1e6, "us/op")}


def w_bulk_and_reads(store, root, n, reads):
    path = os.path.join(root, "%s-bulk" % store.name)
    shutil.rmtree(path, ignore_errors=True)
    store.open(path)
    items = [("records", "k%d" % i, record(i)) for i in range(n)]
    with Timer() as t:
        store.bulk(items)
    del items
    out = {"bulk load": (t.seconds / n * 1e6, "us/op")}
    rng = random.Random(1)
    keys = ["k%d" % rng.randrange(n) for _ in range(reads)]
    with Timer() as t:
        for k in keys:
            store.get("records", k)
    out["reads, same session"] = (t.seconds / reads * 1e6, "us/op")
    store.close()
    with Timer() as t:
        store.open(path)
    out["open 1M store"] = (t.seconds * 1e3, "ms")
    with Timer() as t:
        for k in keys:
            store.get("records", k)
    out["reads after reopen"] = (t.seconds / reads * 1e6, "us/op")
    store.close()
    size = sum(os.path.getsize(f) for f in store.files(path))
    out["disk per record"] = (size / n, "bytes")
    return out


def w_links(store, root, users, posts, queries):
    path = fresh(root, store, "links")
    store.open(path)
    store.bulk([("users", "u%d" % i, user(i)) for i in range(users)])
    rng = random.Random(2)
    items = [("p%d" % i, record(i), "u%d" % rng.randrange(users)) for i in range(posts)]
    with Timer() as t:
        store.bulk_posts(items)
    out = {"link writes": (t.seconds / posts * 1e6, "us/op")}
    qs = ["u%d" % rng.randrange(users) for _ in range(queries)]
    with Timer() as t:
        total = 0
        for u in qs:
            total += len(store.who_links(u))
    assert total > 0
    out["who links here"] = (t.seconds / queries * 1e6, "us/op")
    ps = ["p%d" % rng.randrange(posts) for _ in range(queries)]
    with Timer() as t:
        for p in ps:
            name = store.author_name(p)
    assert name.startswith("user ")
    out["one-hop resolve"] = (t.seconds / queries * 1e6, "us/op")
    store.close()
    return out


def rss_kib(field="VmRSS:"):
    """Resident memory in KiB, or one part of it (e.g. "RssFile:")."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field):
                return int(line.split()[1])
    return 0


def memory_child(name, path):
    """Run in a fresh process: resident memory added by opening the store."""
    store = next(s for s in stores.available() if s.name == name)
    gc.collect()
    before = rss_kib()
    store.open(path)
    # A read makes lazy stores map what they need for serving.
    store.get("records", "k1")
    after = rss_kib()
    print(json.dumps({"rss_mib": (after - before) / 1024}))


def w_memory(store, root):
    path = os.path.join(root, "%s-bulk" % store.name)
    out = subprocess.run(
        [sys.executable, __file__, "--memory-child", store.name, path],
        check=True,
        capture_output=True,
        text=True,
    ).stdout
    return {"memory after open": (json.loads(out.splitlines()[-1])["rss_mib"], "MiB")}


def limits(root, n_single, n, reads, sample_path):
    """The physical limits the stores are measured against."""
    out = {}
    size = len(b"records") + 8 + 60
    buf = b"x" * size
    fd = os.open(os.path.join(root, "limit-writes"), os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_APPEND)
    with Timer() as t:
        for _ in range(n_single):
            os.write(fd, buf)
    os.close(fd)
    out["single writes"] = (t.seconds / n_single * 1e6, "us/op")
    keys = ["k%d" % i for i in range(n)]
    vals = [record(i) for i in range(n)]
    with Timer() as t:
        d = {}
        for k, v in zip(keys, vals):
            d[k] = v
    out["bulk load"] = (t.seconds / n * 1e6, "us/op")
    rng = random.Random(1)
    ks = ["k%d" % rng.randrange(n) for _ in range(reads)]
    with Timer() as t:
        for k in ks:
            d[k]
    out["reads, same session"] = (t.seconds / reads * 1e6, "us/op")
    out["reads after reopen"] = out["reads, same session"]
    del d, vals
    files = [os.path.join(sample_path, f) for f in os.listdir(sample_path)]
    with Timer() as t:
        for f in files:
            with open(f, "rb", buffering=0) as fh:
                while fh.read(1 << 20):
                    pass
    out["open 1M store"] = (t.seconds * 1e3, "ms")
    return out


def summarise(samples):
    """samples[workload][store] = [values] -> {workload: {store: (median, lo, hi)}}"""
    return {
        w: {s: (statistics.median(v), min(v), max(v)) for s, v in per.items()}
        for w, per in samples.items()
    }


def write_report(summary, units, limit, names, args, out_dir):
    base = stores.Zez.name
    lines = [
        "# Benchmark results",
        "",
        "Median of %d rounds (min to max in brackets); ratio = store / %s, so above 1 means"
        " slower (or larger) than %s. %d records in the bulk workloads. Byte stores hold the"
        " same dicts serialized with pickle (protocol 5); the peers keep the reverse link"
        " index by hand and pay for it in their write cost." % (args.rounds, base, base, args.records),
        "",
        "| workload | unit | limit | " + " | ".join(names) + " |",
        "|---|---|---|" + "---|" * len(names),
    ]
    for w, per in summary.items():
        b = per[base][0]
        cells = []
        for s in names:
            if s not in per:
                cells.append("n/a")
                continue
            med, lo, hi = per[s]
            ratio = "" if s == base else " (x%.2f)" % (med / b if b else float("nan"))
            cells.append("%.3g [%.3g-%.3g]%s" % (med, lo, hi, ratio))
        lim = "%.3g" % limit[w][0] if w in limit else ""
        lines.append("| %s | %s | %s | %s |" % (w, units[w], lim, " | ".join(cells)))
    lines.append("")
    with open(os.path.join(out_dir, "results.md"), "w") as f:
        f.write("\n".join(lines))
    print("\n".join(lines))


def plot(summary, names, out_dir):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    base = stores.Zez.name
    ws = list(summary)
    cols = 3
    rows = (len(ws) + cols - 1) // cols
    fig, axes = plt.subplots(rows, cols, figsize=(4.2 * cols, 3.2 * rows), squeeze=False)
    for ax, w in zip(axes.flat, ws):
        per = summary[w]
        b = per[base][0]
        xs = [s for s in names if s in per]
        ys = [per[s][0] / b for s in xs]
        ax.bar(range(len(xs)), ys, color=["tab:green" if s == base else "tab:gray" for s in xs])
        ax.set_yscale("log")
        ax.axhline(1.0, color="black", linewidth=0.8)
        ax.set_xticks(range(len(xs)))
        ax.set_xticklabels(xs, rotation=35, ha="right", fontsize=8)
        ax.set_title(w, fontsize=10)
        ax.set_ylabel("ratio to %s" % base, fontsize=8)
    for ax in list(axes.flat)[len(ws):]:
        ax.axis("off")
    fig.suptitle("Cost relative to %s (log scale; above 1 = slower or larger)" % base)
    fig.tight_layout()
    fig.savefig(os.path.join(out_dir, "results.png"), dpi=110)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--records", type=int, default=1_000_000)
    p.add_argument("--single", type=int, default=20_000)
    p.add_argument("--reads", type=int, default=100_000)
    p.add_argument("--out", default=HERE)
    p.add_argument("--only", default="", help="comma-separated store names")
    p.add_argument("--memory-child", nargs=2)
    args = p.parse_args()
    if args.memory_child:
        memory_child(*args.memory_child)
        return
    all_stores = stores.available()
    if args.only:
        keep = set(args.only.split(",")) | {stores.Zez.name}
        all_stores = [s for s in all_stores if s.name in keep]
    names = [s.name for s in all_stores]
    print("stores:", ", ".join(names), flush=True)
    root = tempfile.mkdtemp(prefix="zez-bench-")
    samples, units = {}, {}

    def add(store, result):
        for w, (v, unit) in result.items():
            samples.setdefault(w, {}).setdefault(store.name, []).append(v)
            units[w] = unit

    try:
        for r in range(args.rounds):
            for s in all_stores:
                print("round %d: %s" % (r + 1, s.name), flush=True)
                add(s, w_single_writes(s, root, args.single))
                add(s, w_bulk_and_reads(s, root, args.records, args.reads))
                add(s, w_links(s, root, 10_000, 100_000, args.reads // 10))
                add(s, w_memory(s, root))
        limit = limits(root, args.single, args.records, args.reads,
                       os.path.join(root, "%s-bulk" % stores.Zez.name))
        summary = summarise(samples)
        write_report(summary, units, limit, names, args, args.out)
        plot(summary, names, args.out)
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
