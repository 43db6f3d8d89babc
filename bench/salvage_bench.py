"""Times `check` and `repair --salvage` on a large record file whose first
4 KiB were overwritten with random bytes, against `check` on the same file
undamaged (and `check --quick` on it, for scale).

    python bench/salvage_bench.py [--gb 1.0] [--rounds 5] [--dir DIR]
                                  [--tool PATH] [--baseline-tool PATH]

Needs the module installed for this Python (it builds the store) and the
`zezavezud` command (by default the one beside the interpreter). The store
is one collection of posts with values of mixed sizes (small maps, texts of
a few KiB, blobs up to 64 KiB), each linking to one of a small collection
of users, so the backlink file is rebuilt too.

Method: every figure is a whole process's wall time, median of --rounds
rounds after a warm-up round; the commands take turns within each round,
and each is also given as the median over the rounds of its ratio to the
same round's check of the undamaged file, which holds when the machine's
speed drifts. The page cache is kept warm throughout: each repair runs on
a fresh copy of the damaged directory, made and flushed to disk (sync)
before the clock starts, so neither reading the copy nor writing back its
dirty pages is timed. --baseline-tool times a second build of the command
in the same rounds, so the two compare on the same machine state.
Everything made is removed at the end.
"""

import argparse
import os
import random
import shutil
import statistics
import subprocess
import sys
import time

import _zezavezud as zz

TOOL = os.path.join(os.path.dirname(sys.executable), "zezavezud")
DAMAGE_BYTES = 4096


def build_store(path, gb, seed=19):
    rng = random.Random(seed)
    db = zz.open(path)
    db.set_many([("users", f"u{i:04d}", {"name": f"user {i}"}) for i in range(1000)])
    target = int(gb * (1 << 30))
    written, n = 0, 0
    while written < target:
        batch = []
        for _ in range(1000):
            kind = rng.random()
            if kind < 0.5:
                value = {"n": n, "title": f"post {n}", "tags": ["a", "b", n % 7]}
                size = 60
            elif kind < 0.9:
                size = rng.randrange(1024, 8192)
                value = {"n": n, "text": "x" * size}
            else:
                size = rng.randrange(16384, 65536)
                value = {"n": n, "blob": rng.randbytes(size)}
            value["author"] = zz.Link(f"users/u{rng.randrange(1000):04d}")
            batch.append(("posts", f"p{n:09d}", value))
            written += size + 40
            n += 1
        db.set_many(batch)
    del db


def damage_start(path, seed=4):
    rng = random.Random(seed)
    with open(os.path.join(path, "posts.qdb"), "r+b") as f:
        f.write(rng.randbytes(DAMAGE_BYTES))


def timed(argv):
    started = time.monotonic()
    done = subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    return time.monotonic() - started, done.returncode


def fresh_copy(src, dst):
    shutil.rmtree(dst, ignore_errors=True)
    subprocess.run(["cp", "-a", src, dst], check=True)
    subprocess.run(["sync"], check=True)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--gb", type=float, default=1.0)
    p.add_argument("--rounds", type=int, default=5)
    p.add_argument("--dir", default=os.path.join(os.getcwd(), "salvage-bench"))
    p.add_argument("--tool", default=TOOL)
    p.add_argument("--baseline-tool")
    a = p.parse_args()
    healthy = os.path.join(a.dir, "healthy")
    damaged = os.path.join(a.dir, "damaged")
    work = os.path.join(a.dir, "work")
    os.makedirs(a.dir)
    try:
        build_store(healthy, a.gb)
        subprocess.run(["cp", "-a", healthy, damaged], check=True)
        damage_start(damaged)
        subprocess.run(["sync"], check=True)
        size = os.path.getsize(os.path.join(healthy, "posts.qdb"))
        tools = [("", a.tool)] + ([("baseline ", a.baseline_tool)] if a.baseline_tool else [])
        rows = {}
        statuses = {}
        for rnd in range(a.rounds + 1):
            for label, tool in tools:
                runs = [(f"{label}check, undamaged", [tool, "check", healthy]),
                        (f"{label}check --quick, undamaged", [tool, "check", "--quick", healthy]),
                        (f"{label}check, damaged", [tool, "check", damaged])]
                for name, argv in runs:
                    t, status = timed(argv)
                    statuses[name] = status
                    if rnd > 0:
                        rows.setdefault(name, []).append(t)
                fresh_copy(damaged, work)
                name = f"{label}repair --salvage, damaged"
                t, status = timed([tool, "repair", "--salvage", work])
                statuses[name] = status
                if rnd > 0:
                    rows.setdefault(name, []).append(t)
                shutil.rmtree(work)
        print(f"posts.qdb: {size:,} bytes; first {DAMAGE_BYTES} bytes random in the damaged copy; "
              f"median of {a.rounds} rounds, page cache warm")
        print()
        print("| command | exit | median s | min s | max s | vs check, undamaged: "
              "ratio of medians | median of per-round ratios |")
        print("|---|---:|---:|---:|---:|---:|---:|")
        for label, _ in tools:
            base_runs = rows[f"{label}check, undamaged"]
            base = statistics.median(base_runs)
            for name in (f"{label}check, undamaged", f"{label}check --quick, undamaged",
                         f"{label}check, damaged", f"{label}repair --salvage, damaged"):
                ts = rows[name]
                med = statistics.median(ts)
                paired = statistics.median(t / b for t, b in zip(ts, base_runs))
                print(f"| {name} | {statuses[name]} | {med:.2f} | {min(ts):.2f} | {max(ts):.2f} "
                      f"| {med / base:.2f} | {paired:.2f} |")
    finally:
        shutil.rmtree(a.dir, ignore_errors=True)


if __name__ == "__main__":
    main()
