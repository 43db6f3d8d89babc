"""Two processes writing one collection at the same time.

- counter: each process runs `get` then `set` of one counter COUNT times;
- readback: each process writes VALUES values of 10 KiB under its own keys of
  one collection, then reads them back in the same session.

Both processes open the directory, then start together. Counted: writes
acknowledged and refused, reads that returned a value other than the one the
process itself last wrote (wrong), and acknowledged writes missing after a
reopen (lost: for the counter, acknowledged increments that the final value
does not hold).

    python bench/two_writers.py [--count 20000] [--values 8000]
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile

import _zezavezud as zz

CHILD = r"""
import json, sys
import _zezavezud as zz

directory, mode, me, n = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
db = zz.open(directory)
print("ready", flush=True)
sys.stdin.readline()
acked = refused = wrong = 0
errors = set()
if mode == "counter":
    mine = None
    for _ in range(n):
        try:
            v = db.get("c", "counter")
        except KeyError:
            v = 0
        if mine is not None and v != mine:
            wrong += 1
        try:
            db.set("c", "counter", v + 1)
            acked += 1
            mine = v + 1
        except RuntimeError as e:
            refused += 1
            errors.add(str(e))
    written = []
else:
    written = []
    for i in range(n):
        key = "%s-%d" % (me, i)
        try:
            db.set("c", key, (key.encode() * 1024)[:10240])
            acked += 1
            written.append(key)
        except RuntimeError as e:
            refused += 1
            errors.add(str(e))
    for key in written:
        try:
            if db.get("c", key) != (key.encode() * 1024)[:10240]:
                wrong += 1
        except KeyError as e:
            wrong += 1
            errors.add(str(e))
print(json.dumps({"acked": acked, "refused": refused, "wrong": wrong,
                  "errors": sorted(errors), "written": written}), flush=True)
"""


def run(mode, n):
    with tempfile.TemporaryDirectory() as tmp:
        directory = os.path.join(tmp, "db")
        zz.open(directory)
        children = [
            subprocess.Popen([sys.executable, "-c", CHILD, directory, mode, me, str(n)],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
            for me in ("p1", "p2")
        ]
        for child in children:
            assert child.stdout.readline() == "ready\n"
        for child in children:
            child.stdin.write("go\n")
            child.stdin.flush()
        results = [json.loads(child.stdout.readline()) for child in children]
        for child in children:
            child.wait()
        db = zz.open(directory)
        if mode == "counter":
            final = db.get("c", "counter")
            lost = sum(r["acked"] for r in results) - final
        else:
            lost = 0
            for r in results:
                for key in r["written"]:
                    try:
                        lost += db.get("c", key) != (key.encode() * 1024)[:10240]
                    except KeyError:
                        lost += 1
        return results, lost


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=20000)
    parser.add_argument("--values", type=int, default=8000)
    args = parser.parse_args()
    print("| run | acknowledged (p1 / p2) | refused (p1 / p2) | wrong reads | lost |")
    print("|---|---|---|---|---|")
    for mode, n in (("counter", args.count), ("readback", args.values)):
        results, lost = run(mode, n)
        p1, p2 = results
        print(f"| {mode}, 2 x {n} | {p1['acked']} / {p2['acked']} | {p1['refused']} / {p2['refused']} "
              f"| {p1['wrong'] + p2['wrong']} | {lost} |")
        for text in sorted(set(p1["errors"]) | set(p2["errors"])):
            print(f"  error seen: {text}")


if __name__ == "__main__":
    main()
