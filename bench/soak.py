"""A long mixed workload in one process, with its RSS sampled every second.

Standalone (not part of the tests):

    python3 bench/soak.py [--keys 100000] [--ops 2000000] [--seed 1]
                          [--dir PATH] [--out bench]

The results in bench/soak.md and bench/soak.png come from
`--keys 1000000 --ops 20000000`; the defaults take a few minutes.

The key space is fixed: --keys keys over 4 collections. A first pass writes
every key once (the "fill"); then --ops operations drawn with a fixed seed:

    set (a new value for a key, ~200 bytes)   30%     get        30%
    post (a value with 2 links to other keys)  10%     delete      5%
    resolve (through a post's link)            10%     backlinks   5%
    transaction (begin, 10 sets, commit)       10%

A thread samples RSS every second. Once the key space is full, memory must
stay flat: RSS over the last tenth of the run (its median) within 10% of RSS
at a quarter of the run.

At the end the RSS is split into its parts, each measured on its own:
the interpreter and this script's tables (before the open), the index of
live keys (a fresh process opening the directory), the backlink indexes
(the same process loading every collection's), the write buffers (64 KiB a
collection) and the value cache (what is left).
"""
import argparse
import json
import os
import random
import subprocess
import sys
import tempfile
import threading
import time

MIB = 1024 * 1024
COLLECTIONS = ["users", "posts", "tags", "events"]
WRITE_BUFFER = 64 * 1024


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class Sampler(threading.Thread):
    def __init__(self, progress):
        super().__init__(daemon=True)
        self.progress = progress  # a one-element list: operations done
        self.samples = []  # (seconds, operations done, RSS bytes)
        self.stop = threading.Event()
        self.start_time = time.monotonic()

    def run(self):
        while not self.stop.wait(1.0):
            self.samples.append((time.monotonic() - self.start_time, self.progress[0], rss()))


def value_for(rng, i):
    return {"n": i, "name": f"item {i}", "score": rng.random(), "tags": ["a", "b", "c"],
            "text": "x" * rng.randrange(100, 200)}


def workload(db, zz, keys, ops, seed, progress, phases):
    rng = random.Random(seed)
    per = keys // len(COLLECTIONS)
    names = [f"k{i:08d}" for i in range(per)]

    def pick():
        return COLLECTIONS[rng.randrange(len(COLLECTIONS))], names[rng.randrange(per)]

    # The fill: every key once, in transactions of 1,000.
    done = 0
    for c in COLLECTIONS:
        for start in range(0, per, 1000):
            db.begin()
            for name in names[start:start + 1000]:
                db.set(c, name, value_for(rng, done))
                done += 1
            db.commit()
            progress[0] = done
    phases["fill_end"] = done
    counts = {}
    for n in range(ops):
        r = rng.random()
        c, k = pick()
        if r < 0.30:
            kind = "set"
            db.set(c, k, value_for(rng, n))
        elif r < 0.60:
            kind = "get"
            try:
                db.get(c, k)
            except KeyError:
                pass
        elif r < 0.70:
            kind = "post"
            (c1, k1), (c2, k2) = pick(), pick()
            db.set(c, k, {"author": zz.Link(f"{c1}/{k1}"), "about": zz.Link(f"{c2}/{k2}"),
                          "body": "y" * rng.randrange(50, 150), "n": n})
        elif r < 0.75:
            kind = "delete"
            db.delete(c, k)
        elif r < 0.85:
            kind = "resolve"
            try:
                db.resolve(c, k, ["author", "name"])
            except (KeyError, ValueError, RuntimeError):
                pass  # not a post, or its author deleted: an answer all the same
        elif r < 0.90:
            kind = "backlinks"
            db.backlinks(c, k)
        else:
            kind = "transaction"
            db.begin()
            for _ in range(10):
                c2, k2 = pick()
                db.set(c2, k2, value_for(rng, n))
            db.commit()
        counts[kind] = counts.get(kind, 0) + 1
        progress[0] = done + n + 1
    return counts


def child_parts(path):
    """RSS growth of a fresh process over the open, then over loading every
    backlink index."""
    import _zezavezud as zz

    before = rss()
    db = zz.open(path)
    opened = rss()
    for c in COLLECTIONS:
        db.backlinks(c, "k00000000")
    loaded = rss()
    return {"index": opened - before, "backlinks": loaded - opened}


def plot(samples, phases, out_png, title):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    xs = [s[1] / 1e6 for s in samples]
    ys = [s[2] / MIB for s in samples]
    fig, ax = plt.subplots(figsize=(8, 4))
    ax.plot(xs, ys, lw=1.2)
    ax.axvline(phases["fill_end"] / 1e6, color="grey", ls="--", lw=0.8)
    ax.text(phases["fill_end"] / 1e6, min(ys), " key space full", color="grey", va="bottom")
    ax.set_xlabel("operations (millions, fill included)")
    ax.set_ylabel("RSS (MiB)")
    ax.set_ylim(bottom=0)
    ax.set_title(title)
    ax.grid(alpha=0.3)
    fig.tight_layout()
    fig.savefig(out_png, dpi=110)


def rss_at(samples, ops_done):
    """The first sample at or after `ops_done` operations."""
    for s in samples:
        if s[1] >= ops_done:
            return s[2]
    return samples[-1][2]


def plateau_and_step(samples, fill_end, ops):
    """The median RSS over the last tenth of the mixed operations, and the
    largest rise between two samples after the fill: (MiB rise, where)."""
    last = sorted(s[2] for s in samples if s[1] >= fill_end + ops * 9 // 10)
    plateau = last[len(last) // 2] if last else samples[-1][2]
    after = [s for s in samples if s[1] >= fill_end]
    rise = max(((b[2] - a[2], b[1]) for a, b in zip(after, after[1:])), default=(0, fill_end))
    return plateau, rise


def main():
    if len(sys.argv) > 2 and sys.argv[1] == "--child":
        print(json.dumps(child_parts(sys.argv[2])))
        return
    ap = argparse.ArgumentParser()
    ap.add_argument("--keys", type=int, default=100_000)
    ap.add_argument("--ops", type=int, default=2_000_000)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--dir", help="parent directory for the database (default: a temporary one)")
    ap.add_argument("--out", help="directory to write soak.md and soak.png into")
    args = ap.parse_args()

    progress = [0]
    phases = {}
    interpreter = rss()
    import _zezavezud as zz

    with tempfile.TemporaryDirectory(dir=args.dir) as tmp:
        path = os.path.join(tmp, "db")
        sampler = Sampler(progress)
        before_open = rss()
        sampler.start()
        start = time.monotonic()
        db = zz.open(path)
        counts = workload(db, zz, args.keys, args.ops, args.seed, progress, phases)
        seconds = time.monotonic() - start
        end_rss = rss()
        sampler.stop.set()
        sampler.join()
        plateau, rise = plateau_and_step(sampler.samples, phases["fill_end"], args.ops)
        samples = sampler.samples + [(seconds, progress[0], end_rss)]
        del db  # its buffers reach the files before the parts are measured
        parts = json.loads(subprocess.run([sys.executable, __file__, "--child", path],
                                          check=True, capture_output=True,
                                          text=True).stdout.strip().splitlines()[-1])
        disk = sum(os.path.getsize(os.path.join(path, f)) for f in os.listdir(path))

    total = phases["fill_end"] + args.ops
    quarter = rss_at(samples, phases["fill_end"] + args.ops // 4)
    after_fill = rss_at(samples, phases["fill_end"])
    peak = max(s[2] for s in samples)
    buffers = WRITE_BUFFER * len(COLLECTIONS) * 2  # record and backlink files
    cache = end_rss - before_open - parts["index"] - parts["backlinks"] - buffers
    # The plateau, not the last sample: that one is taken after the workload
    # has returned and freed its list of key names.
    drift = (plateau - quarter) / quarter
    verdict = "within" if abs(drift) <= 0.10 else "NOT within"
    title = f"{args.keys:,} keys, {total:,} operations, one process"
    lines = [
        "# Soak: a long mixed workload in one process",
        "",
        f"Made by `python3 bench/soak.py --keys {args.keys} --ops {args.ops} --seed {args.seed}`"
        f" (Python {sys.version.split()[0]}, {os.cpu_count()} cores shared with other work).",
        "",
        f"{args.keys:,} keys in {len(COLLECTIONS)} collections, filled once "
        f"({phases['fill_end']:,} sets in transactions of 1,000), then {args.ops:,} operations: "
        + ", ".join(f"{k} {v:,}" for k, v in sorted(counts.items())) + ".",
        f"{seconds:.0f} s in all; {disk / MIB:.0f} MiB on disk at the end.",
        "",
        "![RSS over the run](soak.png)",
        "",
        "| RSS | MiB |",
        "|---|---|",
        f"| when the key space was full | {after_fill / MIB:.1f} |",
        f"| at a quarter of the mixed operations | {quarter / MIB:.1f} |",
        f"| over the last tenth of the mixed operations (median) | {plateau / MIB:.1f} |",
        f"| after the workload returned, its key names freed | {end_rss / MIB:.1f} |",
        f"| peak | {peak / MIB:.1f} |",
        f"| largest rise between two samples | {rise[0] / MIB:+.1f}, at {rise[1] / 1e6:.1f}M"
        " operations (fill included) |",
        f"| last tenth against a quarter | {drift * 100:+.1f}% ({verdict} 10%) |",
        "",
        "The parts of the RSS at the end:",
        "",
        "| part | MiB | how it is measured |",
        "|---|---|---|",
        f"| interpreter and module | {before_open / MIB:.1f} | RSS before the open"
        f" ({interpreter / MIB:.1f} before the import) |",
        f"| index of live keys | {parts['index'] / MIB:.1f} | a fresh process's RSS growth over"
        " `open` of the directory |",
        f"| backlink indexes | {parts['backlinks'] / MIB:.1f} | the same process's growth over"
        " loading every collection's |",
        f"| write buffers | {buffers / MIB:.1f} | 64 KiB for each record and backlink file |",
        f"| value cache and the rest | {cache / MIB:.1f} | what is left; its budget is 64 MiB |",
        "",
    ]
    text = "\n".join(lines)
    print(text)
    if args.out:
        with open(os.path.join(args.out, "soak.md"), "w") as f:
            f.write(text)
        plot(samples, phases, os.path.join(args.out, "soak.png"), title)


if __name__ == "__main__":
    main()
