"""Instructions per Database call from Python, counted by callgrind.

Standalone (not part of the tests), needs valgrind:
    python3 bench/python_op_instructions.py [N]
Runs each workload below in its own interpreter under callgrind, counting
only the instructions inside the named method (everything it calls
included), and prints the count per call. Instruction counts barely move
between runs, unlike times on a shared machine. Use the real interpreter
binary (not a launcher script) and a module built with symbols, e.g.
RelWithDebInfo, on PYTHONPATH.

Workloads, on the value {"title": "record number 7", "n": 7, "score": 3.5,
"tags": ["alpha", "beta"]}:
  set       N sets, each pushed to the file (outside a transaction)
  get       N gets of keys written in the same session (value cache)
  get_cold  N gets after reopening (each read from the file)
  set_many  one set_many of N tuples (count per tuple)
"""
import os
import re
import subprocess
import sys
import tempfile

VALUE = {"title": "record number 7", "n": 7, "score": 3.5, "tags": ["alpha", "beta"]}
METHODS = {"set": "set", "get": "get", "get_cold": "get", "set_many": "set_many"}


def run_workload(mode, n):
    import _zezavezud as zz

    with tempfile.TemporaryDirectory() as tmp:
        db = zz.open(tmp)
        keys = [f"k{i}" for i in range(n)]
        if mode == "set_many":
            db.set_many([("c", k, VALUE) for k in keys])
            return
        for k in keys:
            db.set("c", k, VALUE)
        if mode == "get_cold":
            db = zz.open(tmp)
        if mode.startswith("get"):
            for k in keys:
                db.get("c", k)


def count(mode, n):
    # The method itself, not the lambda inside it: the pattern ends at ")".
    toggle = f"*database_{METHODS[mode]}(_object?, _object?, _object?)"
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "callgrind.out")
        subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
             f"--toggle-collect={toggle}", sys.executable, __file__, "--run", mode, str(n)],
            check=True, capture_output=True, env=dict(os.environ, PYTHONHASHSEED="0"),
        )
        text = open(out).read()
    totals = re.search(r"^(?:summary|totals): (\d+)", text, re.M)
    return int(totals.group(1)) // n


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--run":
        run_workload(sys.argv[2], int(sys.argv[3]))
        return
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 2000
    print(f"instructions per call, {n} calls, Python {sys.version.split()[0]}")
    for mode in METHODS:
        print(f"  {mode:<9}: {count(mode, n):>8,}")


if __name__ == "__main__":
    main()
