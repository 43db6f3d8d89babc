"""Memory of the value cache and of the key index, measured as RSS.

Standalone (not part of the tests):

    python3 bench/memory.py [--values 100000] [--overwrites 2000000]
                            [--baseline-python PATH] [--out bench/memory.md]

Every figure comes from a fresh interpreter, so nothing one measurement
leaves behind counts in the next:

- write: values of 10 KiB, each under its own key, outside transactions.
  RSS growth at the end and at its peak (the kernel's high-water mark,
  reset after the open), then reads of the last values written (still in
  the cache), of the first ones (dropped from it, read from the file) and
  of the last ones again after a reopen.
- open: RSS growth over `open` of a directory where 1,000 keys were
  overwritten --overwrites times, against one where they were written once,
  and the open's time for both and for a directory of 1,000,000 keys
  written once (where nothing is left to give back). With a baseline, the
  open time of 1,000,000 live keys in a file two thirds dead (where the
  index is shrunk after the scan), the two builds taking turns.

--baseline-python runs the same children under another interpreter (a
virtual environment with another build installed) and adds its figures.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

KIB = 1024
MIB = 1024 * 1024


def status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * KIB
    raise RuntimeError(field)


def reset_peak():
    # Writing 5 resets the high-water mark to the current RSS (Linux 4.0+).
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def median_us(fn, keys, rounds=5):
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        for k in keys:
            fn(k)
        times.append((time.perf_counter() - start) / len(keys) * 1e6)
    return statistics.median(times)


def child_write(path, n):
    import _zezavezud as zz

    db = zz.open(path)
    db.set("v", "warm", b"x")
    value = bytes(range(256)) * 40  # 10 KiB
    before = status("VmRSS")
    reset_peak()
    start = time.perf_counter()
    for i in range(n):
        db.set("v", f"k{i:08d}", value)
    seconds = time.perf_counter() - start
    after = status("VmRSS")
    peak = status("VmHWM")
    probe = min(5000, n // 4)
    last = [f"k{i:08d}" for i in range(n - probe, n)]
    first = [f"k{i:08d}" for i in range(probe)]
    get = lambda k: db.get("v", k)  # noqa: E731
    recent_us = median_us(get, last)
    dropped_us = median_us(get, first)
    del db
    db = zz.open(path)
    reopened_us = median_us(lambda k: db.get("v", k), last)
    return {
        "growth": after - before,
        "peak_growth": peak - before,
        "write_s": seconds,
        "get_recent_us": recent_us,
        "get_dropped_us": dropped_us,
        "get_reopened_us": reopened_us,
    }


def child_open(path, rounds):
    import _zezavezud as zz

    times = []
    growth = None
    for r in range(rounds):
        before = status("VmRSS")
        start = time.perf_counter()
        db = zz.open(path)
        times.append(time.perf_counter() - start)
        if r == 0:
            growth = status("VmRSS") - before
        del db
    return {"growth": growth, "open_ms": statistics.median(times) * 1e3}


def make_dir(path, keys, rounds):
    """`keys` keys, each written `rounds` times (the last value survives)."""
    import _zezavezud as zz

    if os.path.exists(os.path.join(path, "v.qdb")):
        return
    db = zz.open(path)
    names = [f"key{i:07d}" for i in range(keys)]
    for r in range(rounds):
        db.begin()
        for name in names:
            db.set("v", name, r)
        db.commit()


def run_child(python, *args):
    out = subprocess.run([python, __file__, "--child", *args], check=True, capture_output=True,
                         text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def measure(python, work, values, overwrites):
    overwritten = os.path.join(work, "overwritten")
    once = os.path.join(work, "once")
    million = os.path.join(work, "million")
    for path, keys, rounds in ((overwritten, 1000, overwrites // 1000), (once, 1000, 1),
                               (million, 1_000_000, 1)):
        subprocess.run([python, __file__, "--child", "make", path, str(keys), str(rounds)],
                       check=True)
    with tempfile.TemporaryDirectory(dir=work) as fresh:
        write = run_child(python, "write", fresh, str(values))
    return {
        "write": write,
        "open_overwritten": run_child(python, "open", overwritten, "5"),
        "open_once": run_child(python, "open", once, "5"),
        "open_million": run_child(python, "open", million, "5"),
    }


def compare_dead_open(python, baseline, work, turns=5):
    """Open time where the index gives memory back after the scan: 1,000,000
    live keys, each written 3 times, so two records in three are dead. The
    two builds take turns, so drift of the machine hits both alike."""
    dead = os.path.join(work, "dead")
    subprocess.run([python, __file__, "--child", "make", dead, "1000000", "3"], check=True)
    ours, theirs = [], []
    for _ in range(turns):
        ours.append(run_child(python, "open", dead, "3")["open_ms"])
        theirs.append(run_child(baseline, "open", dead, "3")["open_ms"])
    a, b = statistics.median(ours), statistics.median(theirs)
    return "\n".join([
        "### Open of a file with 1,000,000 live keys, two records in three dead",
        "",
        f"Medians of {turns} turns, the builds alternating (each turn the median of 3 opens):",
        "",
        "| build | open |",
        "|---|---|",
        f"| this build | {a:.1f} ms |",
        f"| baseline | {b:.1f} ms |",
        f"| ratio | {a / b:.3f} |",
        "",
    ])


def report(label, r, values, overwrites):
    w = r["write"]
    lines = [
        f"### {label}",
        "",
        f"{values:,} values of 10 KiB ({values * 10 * KIB / MIB / 1024:.2f} GiB), each under its own key,"
        " outside transactions:",
        "",
        "| figure | value |",
        "|---|---|",
        f"| RSS growth at the end | {w['growth'] / MIB:.1f} MiB |",
        f"| RSS growth at its peak | {w['peak_growth'] / MIB:.1f} MiB |",
        f"| time to write | {w['write_s']:.1f} s |",
        f"| `get` of the last values written (cached) | {w['get_recent_us']:.2f} µs |",
        f"| `get` of the first values written (dropped) | {w['get_dropped_us']:.2f} µs |",
        f"| `get` of the last values after a reopen | {w['get_reopened_us']:.2f} µs |",
        "",
        "RSS growth over `open`, and its time (median of 5):",
        "",
        "| directory | RSS growth | open |",
        "|---|---|---|",
        f"| 1,000 keys written {overwrites:,} times in all | {r['open_overwritten']['growth'] / MIB:.2f} MiB"
        f" | {r['open_overwritten']['open_ms']:.1f} ms |",
        f"| the same 1,000 keys written once | {r['open_once']['growth'] / MIB:.2f} MiB"
        f" | {r['open_once']['open_ms']:.2f} ms |",
        f"| 1,000,000 keys written once | {r['open_million']['growth'] / MIB:.2f} MiB"
        f" | {r['open_million']['open_ms']:.1f} ms |",
        "",
    ]
    return "\n".join(lines)


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        kind, *args = sys.argv[2:]
        if kind == "write":
            print(json.dumps(child_write(args[0], int(args[1]))))
        elif kind == "open":
            print(json.dumps(child_open(args[0], int(args[1]))))
        elif kind == "make":
            make_dir(args[0], int(args[1]), int(args[2]))
        return
    ap = argparse.ArgumentParser()
    ap.add_argument("--values", type=int, default=100_000)
    ap.add_argument("--overwrites", type=int, default=2_000_000)
    ap.add_argument("--baseline-python")
    ap.add_argument("--work", help="directory for the databases (default: a temporary one)")
    ap.add_argument("--out")
    args = ap.parse_args()
    with tempfile.TemporaryDirectory(dir=args.work) as work:
        sections = [report("This build", measure(sys.executable, work, args.values,
                                                 args.overwrites), args.values, args.overwrites)]
        if args.baseline_python:
            sections.append(report(f"Baseline ({args.baseline_python})",
                                   measure(args.baseline_python, work, args.values,
                                           args.overwrites), args.values, args.overwrites))
        if args.baseline_python:
            sections.append(compare_dead_open(sys.executable, args.baseline_python, work))
    text = "\n".join(sections)
    print(text)
    if args.out:
        with open(args.out, "w") as f:
            f.write("# Memory: value cache and key index\n\nMade by `python3 bench/memory.py"
                    f" --baseline-python ...`.\n\n{text}")


if __name__ == "__main__":
    main()
