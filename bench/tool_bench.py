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
Beside the peers: the same records are also written, through the adapters
of bench/stores.py, into an SQLite database and an LMDB environment, and
each job is timed with the tools their users reach for. They come from
Debian's packages and PyPI (the LMDB store is written through the `lmdb`
module of bench/requirements.txt):

    apt-get install sqlite3 lmdb-utils
    pip install -r bench/requirements.txt

Without them, that table says which tool was missing.
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

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import stores  # noqa: E402

TOOL = os.path.join(os.path.dirname(sys.executable), "zezavezud")


def small_records(start, stop):
    return [("items", f"item{i:07d}", {"n": i, "tag": "t"}) for i in range(start, stop)]


def build_small_records(path, records):
    db = zz.open(path)
    batch = 10000
    for start in range(0, records, batch):
        db.set_many(small_records(start, min(start + batch, records)))
    del db


def build_peer(adapter, path, records):
    """The small records in a peer, in batches of one transaction each, as
    bench/stores.py writes them."""
    store = getattr(stores, adapter)()
    store.open(path)
    for start in range(0, records, 10000):
        store.bulk(small_records(start, min(start + 10000, records)))
    store.close()


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


def remove(path):
    if os.path.isdir(path):
        shutil.rmtree(path)
    elif os.path.exists(path):
        os.remove(path)


def measure_into_new(argv, dest, rounds, empty_dir=False):
    """Like measure(), for a command that makes `dest`: it is removed before
    every run, outside the clock (and made again as an empty directory for
    a command that wants one)."""
    walls, peaks = [], []
    for n in range(rounds + 1):
        remove(dest)
        if empty_dir:
            os.mkdir(dest)
        wall, peak, status = run_once(argv)
        if status != 0:
            raise SystemExit(f"{' '.join(argv)} exited {status}")
        if n:
            walls.append(wall)
            peaks.append(peak)
    remove(dest)
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
def peer_jobs(store, sqlite_dir, lmdb_dir, dest, key):
    """Per job: the command of this library, then the sqlite3 shell's and
    LMDB's tools, each (argv, dest or None, wants an empty dest dir), or None
    where the peer has no such tool."""
    db = os.path.join(sqlite_dir, "db.sqlite")

    def sql(*commands, dest=None):
        return ["sqlite3", db, *commands], dest, False

    return [
        ("full check", ([TOOL, "check", store], None, False), sql("PRAGMA integrity_check"), None),
        ("quick check", ([TOOL, "check", "--quick", store], None, False),
         sql("PRAGMA quick_check"), None),
        ("overview", ([TOOL, "stats", store], None, False),
         sql(".tables", "PRAGMA page_count", "PRAGMA freelist_count"),
         (["mdb_stat", "-a", lmdb_dir], None, False)),
        ("overview, names and counts", ([TOOL, "collections", store], None, False),
         sql("SELECT col, count(*) FROM records GROUP BY col"), None),
        ("live backup", ([TOOL, "backup", store, dest], dest, False),
         (["sqlite3", db, f".backup {dest}"], dest, False), (["mdb_copy", lmdb_dir, dest], dest, True)),
        ("compacted copy", ([TOOL, "backup", "--compact", store, dest], dest, False),
         sql(f"VACUUM INTO '{dest}'", dest=dest),
         (["mdb_copy", "-c", lmdb_dir, dest], dest, True)),
        ("one record", ([TOOL, "get", store, "items", key], None, False),
         sql(f"SELECT length(value) FROM records WHERE col = 'items' AND key = '{key}'"), None),
    ]


def measure_job(job, rounds):
    argv, dest, empty_dir = job
    if shutil.which(argv[0]) is None:
        return f"no `{argv[0]}`"
    if dest is None:
        return measure(argv, rounds)
    return measure_into_new(argv, dest, rounds, empty_dir)


def peer_table(store, work, records, rounds):
    """The jobs side by side on the same records, with this library's time
    over each peer's (below 1: this library is faster)."""
    sqlite_dir, lmdb_dir = os.path.join(work, "sqlite"), os.path.join(work, "lmdb")
    build_in_child("build_peer", "Sqlite", sqlite_dir, records)
    try:
        build_in_child("build_peer", "Lmdb", lmdb_dir, records)
    except subprocess.CalledProcessError:
        lmdb_dir = None  # no lmdb module: its tools are left out
    sizes = [disk_bytes(store), disk_bytes(sqlite_dir), disk_bytes(lmdb_dir) if lmdb_dir else 0]
    key = f"item{records // 2:07d}"
    lines = [
        "",
        f"Beside the peers: the same {records:,} records in an SQLite database"
        f" ({sizes[1] / 1e6:.1f} MB, WAL) and an LMDB environment ({sizes[2] / 1e6:.1f} MB),"
        " written through bench/stores.py; x = this library's time over the peer's.",
        "",
        "| job | zezavezud ms | peak MiB | sqlite3 shell ms | x | LMDB tools ms | x |",
        "|---|---:|---:|---:|---:|---:|---:|",
    ]
    for name, ours, sqlite_job, lmdb_job in peer_jobs(store, sqlite_dir, lmdb_dir or "-",
                                                      os.path.join(work, "peer-dest"), key):
        mine = measure_job(ours, rounds)
        cells = [f"{mine[0] * 1000:.0f}", f"{mine[1] / 1024:.0f}"]
        for job in (sqlite_job, lmdb_job):
            if job is None or (job is lmdb_job and lmdb_dir is None):
                cells += ["–", ""]
                continue
            theirs = measure_job(job, rounds)
            if isinstance(theirs, str):
                cells += [theirs, ""]
            else:
                cells += [f"{theirs[0] * 1000:.1f}", f"{mine[0] / theirs[0]:.2f}"]
        lines.append(f"| {name} | " + " | ".join(cells) + " |")
    return lines


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

        peers = peer_table(store, work, args.records, args.rounds)

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
    lines += peers
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
