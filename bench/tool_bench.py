"""Times the maintenance program against the store's own open and a plain
copy of its files, and shows what compact gives back on an overwritten store.

    python bench/tool_bench.py [--records 1000000] [--rounds 5] [--out bench/tool_results.md]
    python bench/tool_bench.py --compare-with OTHER_ZEZAVEZUD [--tool THIS] [--records N] [--rounds N]

Needs the module and the `zezavezud` command installed for this Python (the
wheel puts the command beside the interpreter). Every figure is a whole
process: wall time and peak resident memory of the command as the system
accounts for it (wait4), median of --rounds runs after one warm-up run.
A subcommand that is not available yet (it exits 8 at once, saying so) is
listed as such instead of timed.

--compare-with times the writing commands (backup, backup --compact, load,
compact of a store with dead records) of this command and of another build
of it, turn about in the same run, and prints the ratio of their medians.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import _zezavezud as zz

TOOL = os.path.join(os.path.dirname(sys.executable), "zezavezud")


def build_small_records(path, records):
    db = zz.open(path)
    batch = 10000
    for start in range(0, records, batch):
        db.set_many([("items", f"item{i:07d}", {"n": i, "tag": "t"}) for i in range(start, min(start + batch, records))])
    del db


def build_with_dead_records(path, records):
    """The small-record store, then a tenth of its keys written again: a
    store that compact has to rewrite."""
    build_small_records(path, records)
    db = zz.open(path)
    for start in range(0, records, 100_000):
        db.set_many([("items", f"item{i:07d}", {"n": -i, "tag": "u"})
                     for i in range(start, min(start + 10_000, records))])
    del db


def build_overwritten(path, keys=1000, overwrites=200):
    db = zz.open(path)
    for r in range(overwrites):
        db.set_many([("items", f"k{i}", {"n": i, "round": r, "text": "x" * 40}) for i in range(keys)])
    del db


def build_in_child(builder, *args):
    code = (f"import sys; sys.path.insert(0, {os.path.dirname(os.path.abspath(__file__))!r});"
            f" import tool_bench; tool_bench.{builder}(*{args!r})")
    subprocess.run([sys.executable, "-c", code], check=True)


def disk_bytes(path):
    return sum(os.path.getsize(os.path.join(path, n)) for n in os.listdir(path))


def run_once(argv):
    """Wall seconds, peak resident KiB and exit status of one run."""
    started = time.monotonic()
    process = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(process.pid, 0)
    wall = time.monotonic() - started
    process.returncode = os.waitstatus_to_exitcode(status)
    process.stderr.read()
    process.stderr.close()
    return wall, usage.ru_maxrss, process.returncode


def measure(argv, rounds):
    """Medians over `rounds` runs after a warm-up; None when the subcommand is
    not available yet."""
    _, _, status = run_once(argv)
    if argv[0] == TOOL and status == 8:
        probe = subprocess.run(argv, capture_output=True, text=True)
        if "not available yet" in probe.stderr:
            return None
    walls, peaks = [], []
    for _ in range(rounds):
        wall, peak, status = run_once(argv)
        if status not in (0, 1):
            raise SystemExit(f"{' '.join(argv)} exited {status}")
        walls.append(wall)
        peaks.append(peak)
    return statistics.median(walls), statistics.median(peaks)


def measure_on_copies(source, scratch, argv, rounds):
    """Like measure(), for a command that changes its directory: every run
    gets a fresh copy of `source` at `scratch` (made before the clock starts)."""
    walls, peaks = [], []
    for n in range(rounds + 1):
        shutil.rmtree(scratch, ignore_errors=True)
        shutil.copytree(source, scratch)
        wall, peak, status = run_once(argv)
        if status not in (0, 1):
            raise SystemExit(f"{' '.join(argv)} exited {status}")
        if n:  # the first run warms up
            walls.append(wall)
            peaks.append(peak)
    return statistics.median(walls), statistics.median(peaks)


def measure_into_new(argv, dest, rounds):
    """Like measure(), for a command that makes `dest`: it is removed before
    every run, outside the clock."""
    walls, peaks = [], []
    for n in range(rounds + 1):
        shutil.rmtree(dest, ignore_errors=True)
        wall, peak, status = run_once(argv)
        if status != 0:
            raise SystemExit(f"{' '.join(argv)} exited {status}")
        if n:
            walls.append(wall)
            peaks.append(peak)
    shutil.rmtree(dest, ignore_errors=True)
    return statistics.median(walls), statistics.median(peaks)


def compare(other, records, rounds):
    """The writing commands of TOOL and `other` on the same stores, each
    round running one then the other; the ratio is this build's median over
    the other's."""
    work = tempfile.mkdtemp(prefix="tool-compare-")
    try:
        store = os.path.join(work, "store")
        build_in_child("build_with_dead_records", store, records)
        dump = os.path.join(work, "dump.jsonl")
        subprocess.run([TOOL, "dump", store, "-o", dump], check=True)
        out = os.path.join(work, "out")
        scratch = os.path.join(work, "scratch")
        cases = [
            ("backup DIR DEST", lambda t: [t, "backup", store, out], None),
            ("backup --compact DIR DEST", lambda t: [t, "backup", "--compact", store, out], None),
            ("load DIR -i DUMP", lambda t: [t, "load", out, "-i", dump], None),
            ("compact DIR (dead records)", lambda t: [t, "compact", scratch], store),
        ]
        lines = [f"Writing commands, {records:,} records with a tenth written again;"
                 f" median of {rounds} runs each, turn about:", "",
                 "| command | other ms | this ms | this / other |", "|---|---:|---:|---:|"]
        for name, argv, copy_of in cases:
            walls = {TOOL: [], other: []}
            for n in range(rounds + 1):
                for tool in (other, TOOL):
                    shutil.rmtree(out, ignore_errors=True)
                    if copy_of:
                        shutil.rmtree(scratch, ignore_errors=True)
                        shutil.copytree(copy_of, scratch)
                    wall, _, status = run_once(argv(tool))
                    if status != 0:
                        raise SystemExit(f"{' '.join(argv(tool))} exited {status}")
                    if n:  # the first round warms up
                        walls[tool].append(wall)
            before, after = statistics.median(walls[other]), statistics.median(walls[TOOL])
            lines.append(f"| {name} | {before * 1000:.0f} | {after * 1000:.0f} | {after / before:.2f} |")
    finally:
        shutil.rmtree(work)
    print("\n".join(lines))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--records", type=int, default=1_000_000)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--out", default=os.path.join(os.path.dirname(__file__), "tool_results.md"))
    parser.add_argument("--compare-with", metavar="ZEZAVEZUD")
    parser.add_argument("--tool", help="the command to time (default: beside this Python)")
    args = parser.parse_args()
    if args.tool:
        global TOOL
        TOOL = os.path.abspath(args.tool)
    if args.compare_with:
        return compare(os.path.abspath(args.compare_with), args.records, args.rounds)
    work = tempfile.mkdtemp(prefix="tool-bench-")
    try:
        store = os.path.join(work, "store")
        copy = os.path.join(work, "copy")
        # Built in a child process: a command started from this one would
        # otherwise count the builder's memory as its own peak.
        build_in_child("build_small_records", store, args.records)
        size = disk_bytes(store)
        commands = [
            ("open (Python, `_zezavezud.open(DIR)`)",
             [sys.executable, "-c", f"import _zezavezud; _zezavezud.open({store!r})"]),
            ("`zezavezud check --quick DIR`", [TOOL, "check", "--quick", store]),
            ("`zezavezud check DIR`", [TOOL, "check", store]),
            ("`zezavezud compact DIR`", [TOOL, "compact", store]),
            ("copy of the files + fsync (`cp -rT` + `sync -f`)",
             ["sh", "-c", f"cp -rT {store} {copy} && sync -f {copy}"]),
        ]
        results = [(name, measure(argv, args.rounds)) for name, argv in commands]
        backups = [(name, measure_into_new([TOOL, "backup", *extra, store, copy + "b"], copy + "b", args.rounds))
                   for name, extra in (("`zezavezud backup DIR DEST`", []),
                                       ("`zezavezud backup --compact DIR DEST`", ["--compact"]))]
        baseline = measure([sys.executable, "-c", "import _zezavezud"], args.rounds)

        dead = os.path.join(work, "dead")
        build_in_child("build_with_dead_records", dead, args.records)
        dead_size = disk_bytes(dead)
        scratch = os.path.join(work, "scratch")
        dead_compact = measure_on_copies(dead, scratch, [TOOL, "compact", scratch], args.rounds)
        dead_after = disk_bytes(scratch)
        shutil.rmtree(scratch)
        dead_copy = measure(["sh", "-c", f"cp -rT {dead} {copy}2 && sync -f {copy}2"], args.rounds)

        heavy = os.path.join(work, "heavy")
        build_in_child("build_overwritten", heavy)
        heavy_before = disk_bytes(heavy)
        wall, peak, status = run_once([TOOL, "compact", heavy])
        heavy_after = disk_bytes(heavy)
    finally:
        shutil.rmtree(work)

    open_wall, open_peak = results[0][1]
    copy_wall = results[-1][1][0]
    lines = [
        "# Maintenance program: timings",
        "",
        f"Store: {args.records:,} small records in one collection ({size / 1e6:.1f} MB on disk).",
        f"Whole-process figures, median of {args.rounds} runs after a warm-up;",
        "peak memory is the command's largest resident set. Produced by bench/tool_bench.py.",
        "",
        "The store has no dead records, so compact finds nothing to rewrite; the",
        "store with dead records below is the one that measures a rewrite.",
        "",
        "| command | wall ms | vs open | vs copy | peak MiB | peak vs open |",
        "|---|---:|---:|---:|---:|---:|",
    ]
    for name, figures in results:
        if figures is None:
            lines.append(f"| {name} | not available yet | | | | |")
            continue
        w, p = figures
        lines.append(f"| {name} | {w * 1000:.0f} | {w / open_wall:.2f} | {w / copy_wall:.2f} |"
                     f" {p / 1024:.0f} | {p / open_peak:.2f} |")
    open_growth = max(open_peak - baseline[1], 1)
    lines += [
        "",
        f"Open's memory growth: {open_growth / 1024:.0f} MiB (the open's peak less that of"
        f" an interpreter that only imports the module, {baseline[1] / 1024:.0f} MiB).",
    ]
    for name, figures in results[1:4]:
        if figures is not None:
            lines.append(f"- {name}: peak {figures[1] / 1024:.0f} MiB = {figures[1] / open_growth:.2f}"
                         " x the open's growth")
    quick_and_copy = results[1][1][0] + copy_wall
    lines += [
        "",
        "Backup, against `check --quick` plus a copy of the files with a sync"
        f" ({quick_and_copy * 1000:.0f} ms), in the same run:",
        "",
        "| command | wall ms | vs check --quick + copy | peak MiB |",
        "|---|---:|---:|---:|",
    ]
    for name, (w, p) in backups:
        lines.append(f"| {name} | {w * 1000:.0f} | {w / quick_and_copy:.2f} | {p / 1024:.0f} |")
    lines += [
        "",
        f"Store with dead records: the same {args.records:,} records, then a tenth of the keys"
        f" written again ({dead_size / 1e6:.1f} MB, {dead_after / 1e6:.1f} MB after compact).",
        "",
        "| command | wall ms | vs copy | peak MiB | peak vs open's growth |",
        "|---|---:|---:|---:|---:|",
        f"| `zezavezud compact DIR` (on a fresh copy each run) | {dead_compact[0] * 1000:.0f} |"
        f" {dead_compact[0] / dead_copy[0]:.2f} | {dead_compact[1] / 1024:.0f} |"
        f" {dead_compact[1] / open_growth:.2f} |",
        f"| copy of the files + fsync | {dead_copy[0] * 1000:.0f} | 1.00 | {dead_copy[1] / 1024:.0f} | |",
    ]
    lines += [
        "",
        "Overwrite-heavy store: 1,000 keys each written 200 times.",
        "",
        f"- before compact: {heavy_before:,} bytes",
        f"- after compact: {heavy_after:,} bytes ({heavy_after / heavy_before:.2%} of before;"
        f" compact exit {status}, {wall * 1000:.0f} ms, peak {peak / 1024:.0f} MiB)",
        "",
    ]
    text = "\n".join(lines)
    with open(args.out, "w") as f:
        f.write(text)
    print(text)


if __name__ == "__main__":
    main()
