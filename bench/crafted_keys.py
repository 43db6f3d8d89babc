"""Keys crafted to collide against ordinary keys: what a hostile caller costs.

Standalone (not part of the tests). Needs g++ for the key generator
(bench/crafted_keys.cc, built into build/ on first use).

    python3 bench/crafted_keys.py measure [--rounds 3] [--sizes 20000,200000]
        Measures the _zezavezud that this interpreter imports and prints one
        JSON object: per workload, the median seconds over the rounds.
    python3 bench/crafted_keys.py report BEFORE_PYTHON AFTER_PYTHON [--out F]
        Runs `measure` under both interpreters (each with its own build of
        the module installed), interleaved round by round so that drift of a
        shared machine hits both alike, and writes the table (default
        bench/crafted_keys.md), with the cost of the hash alone per key
        length from bench/hash_bench.cc.

Workloads, each on ordinary keys and on keys crafted against the unkeyed
hash the table used before (16-byte keys, valid UTF-8, all with one 64-bit
hash):
  set / get / open   N sets of a small value (each its own record, pushed
                     outside a transaction), N gets in the same session, and
                     the open of the result; per key for set and get.
  dict               one dict of 100,000 keys: set (store), resolve of one
                     of its keys (the engine decodes the record into its own
                     map), and Link(path, dict) (the link's own map).
"""

import argparse
import gc
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
GENERATOR = os.path.join(ROOT, "build", "crafted_keys")
HASH_BENCH = os.path.join(ROOT, "build", "hash_bench")
DICT_KEYS = 100_000


def generator():
    source = os.path.join(HERE, "crafted_keys.cc")
    if not os.path.exists(GENERATOR) or os.path.getmtime(GENERATOR) < os.path.getmtime(source):
        os.makedirs(os.path.dirname(GENERATOR), exist_ok=True)
        subprocess.run(["g++", "-std=c++20", "-O2", source, "-o", GENERATOR], check=True)
    return GENERATOR


def hash_cost_table():
    subprocess.run(
        ["g++", "-std=c++20", "-O2", "-I" + os.path.join(ROOT, "src"),
         os.path.join(HERE, "hash_bench.cc"), os.path.join(ROOT, "src", "codec", "keyed_hash.cc"),
         "-o", HASH_BENCH],
        check=True,
    )
    table = subprocess.run([HASH_BENCH], check=True, capture_output=True, text=True).stdout
    if shutil.which("valgrind"):
        table += instructions_table()
    return table


def instructions_per_hash(function, length):
    # One round: one pass over 4,096 keys for each function.
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "callgrind.out")
        subprocess.run(
            ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out,
             "--toggle-collect=" + function, HASH_BENCH, "1", str(length)],
            check=True, capture_output=True,
        )
        text = open(out).read()
    total = int(re.search(r"^(?:summary|totals): (\d+)", text, re.M).group(1))
    return total / 4096


def instructions_table():
    lines = [
        "",
        "Instructions per hash (callgrind; the same on every run):",
        "",
        "| key bytes | before (unkeyed) | after (SipHash-1-3) | after − before |",
        "|---|---|---|---|",
    ]
    for length in (8, 16, 64, 256):
        before = instructions_per_hash("*old_hash*", length)
        after = instructions_per_hash("zez::keyed_hash*", length)
        lines.append("| %d | %.0f | %.0f | %+.0f |" % (length, before, after, after - before))
    return "\n".join(lines) + "\n"


def crafted(kind, n):
    out = subprocess.run([generator(), kind, str(n)], check=True, capture_output=True, text=True)
    return [bytes.fromhex(line).decode("utf-8") for line in out.stdout.split()]


def ordinary(n):
    # The crafted keys' shape and characters, with random last bytes: a key
    # that is not ASCII costs more to convert from Python, whatever its hash.
    return crafted("ordinary", n)


def timed(fn):
    gc.collect()
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def keys_round(zz, keys, root):
    path = os.path.join(root, "db")
    shutil.rmtree(path, ignore_errors=True)
    db = zz.open(path)

    def sets():
        for k in keys:
            db.set("c", k, 1)

    def gets():
        for k in keys:
            db.get("c", k)

    t_set = timed(sets)
    t_get = timed(gets)
    del db
    gc.collect()
    holder = []
    t_open = timed(lambda: holder.append(zz.open(path)))
    return {"set": t_set / len(keys), "get": t_get / len(keys), "open": t_open}


def dict_round(zz, keys, root):
    path = os.path.join(root, "dict")
    shutil.rmtree(path, ignore_errors=True)
    db = zz.open(path)
    value = dict.fromkeys(keys, 1)
    t_set = timed(lambda: db.set("d", "k", value))
    t_resolve = timed(lambda: db.resolve("d", "k", [keys[-1]]))
    t_link = timed(lambda: zz.Link("d/k", value))
    return {"dict set": t_set, "dict resolve": t_resolve, "dict Link": t_link}


def measure(args):
    import _zezavezud as zz

    sizes = [int(s) for s in args.sizes.split(",")]
    sets = {}
    for n in sizes:
        sets["ordinary %d" % n] = ordinary(n)
        sets["crafted %d" % n] = crafted("old-index", n)
    dict_sets = {"ordinary": ordinary(DICT_KEYS), "crafted": crafted("std-hash", DICT_KEYS)}
    samples = {}
    with tempfile.TemporaryDirectory() as root:
        for _ in range(args.rounds):
            # Ordinary and crafted keys take turns going first.
            kinds = ["crafted", "ordinary"] if args.crafted_first else ["ordinary", "crafted"]
            args.crafted_first = not args.crafted_first
            for n in sizes:
                for kind in kinds:
                    name = "%s %d" % (kind, n)
                    for metric, v in keys_round(zz, sets[name], root).items():
                        samples.setdefault("%s %s" % (metric, name), []).append(v)
            for kind in kinds:
                for metric, v in dict_round(zz, dict_sets[kind], root).items():
                    samples.setdefault("%s %s" % (metric, kind), []).append(v)
    json.dump({k: statistics.median(v) for k, v in samples.items()}, sys.stdout)


def fmt(seconds, per_key):
    if per_key:
        return "%.2f µs" % (seconds * 1e6)
    return "%.1f ms" % (seconds * 1e3) if seconds < 10 else "%.1f s" % seconds


def report(args):
    sizes = [int(s) for s in args.sizes.split(",")]
    runs = {"before": [], "after": []}
    for r in range(args.rounds):
        for label, py in (("before", args.before), ("after", args.after)):
            if label == "before" and r >= args.before_rounds:
                continue
            cmd = [py, __file__, "measure", "--rounds", "1", "--sizes", args.sizes]
            if r % 2:
                cmd.append("--crafted-first")
            print("round %d: %s" % (r + 1, label), file=sys.stderr, flush=True)
            out = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout
            runs[label].append(json.loads(out))
    med = {
        label: {k: statistics.median(r[k] for r in rs) for k in rs[0]} for label, rs in runs.items()
    }
    lines = [
        "# Crafted keys against ordinary keys",
        "",
        "Written by `python3 bench/crafted_keys.py report`; median of %d rounds for the current"
        " build and %d for the unkeyed one (crafted keys cost it minutes a round), interleaved"
        " round by round. Crafted keys: 16 bytes of valid UTF-8, all with one 64-bit"
        " hash under the key index's former unkeyed hash (for set, get and open), or under"
        " `std::hash` that a stored map's table used (for the dict rows). Ordinary keys: made"
        " the same way, with the last 8 bytes random instead of solved (kept only when valid"
        " UTF-8, so they hold non-ASCII characters as often). Before: %s; after: %s."
        % (args.rounds, min(args.rounds, args.before_rounds), args.before_label, args.after_label),
        "",
        "| workload | keys | before: ordinary | before: crafted | before: ratio"
        " | after: ordinary | after: crafted | after: ratio |",
        "|---|---|---|---|---|---|---|---|",
    ]
    rows = [(m, n, m != "open") for n in sizes for m in ("set", "get", "open")]
    for metric, n, per_key in rows:
        cells = []
        for label in ("before", "after"):
            o = med[label]["%s ordinary %d" % (metric, n)]
            c = med[label]["%s crafted %d" % (metric, n)]
            cells += [fmt(o, per_key), fmt(c, per_key), "%.2f×" % (c / o)]
        what = metric + (" (per key)" if per_key else "")
        lines.append("| %s | %d | %s |" % (what, n, " | ".join(cells)))
    for metric in ("dict set", "dict resolve", "dict Link"):
        cells = []
        for label in ("before", "after"):
            o = med[label]["%s ordinary" % metric]
            c = med[label]["%s crafted" % metric]
            cells += [fmt(o, False), fmt(c, False), "%.2f×" % (c / o)]
        lines.append("| %s | %d | %s |" % (metric, DICT_KEYS, " | ".join(cells)))
    lines += [
        "",
        "## The hash alone",
        "",
        "`bench/hash_bench.cc`: nanoseconds per hash over 4,096 keys of each length, the"
        " former unkeyed hash of the key index against SipHash-1-3 under the process's key,"
        " side by side in 1,001 short rounds: the medians, and the median of the rounds'"
        " ratios.",
        "",
        hash_cost_table().rstrip("\n"),
    ]
    text = "\n".join(lines) + "\n"
    with open(args.out, "w") as f:
        f.write(text)
    print(text)


def main():
    p = argparse.ArgumentParser()
    sub = p.add_subparsers(dest="cmd", required=True)
    m = sub.add_parser("measure")
    m.add_argument("--rounds", type=int, default=3)
    m.add_argument("--sizes", default="20000,200000")
    m.add_argument("--crafted-first", action="store_true")
    r = sub.add_parser("report")
    r.add_argument("before")
    r.add_argument("after")
    r.add_argument("--rounds", type=int, default=3)
    # Crafted keys cost the unkeyed build minutes per round at 200,000.
    r.add_argument("--before-rounds", type=int, default=1)
    r.add_argument("--sizes", default="20000,200000")
    r.add_argument("--before-label", default="the unkeyed build")
    r.add_argument("--after-label", default="this build")
    r.add_argument("--out", default=os.path.join(HERE, "crafted_keys.md"))
    args = p.parse_args()
    measure(args) if args.cmd == "measure" else report(args)


if __name__ == "__main__":
    main()
