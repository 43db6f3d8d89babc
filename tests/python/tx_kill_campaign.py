"""Kills inside a transaction.

A child opens a database, begins one transaction and writes linking records
into two collections (overwrites, deletes, now and then a value larger than
the write buffer) until it is killed with SIGKILL. The parent reopens the
directory and counts the records whose backlinks disagree with their links.
Buffers that fill inside the transaction reach the file before the commit;
their backlink changes must reach the backlink file with them, so at most
the records of the push in flight may disagree: each disagreeing record must
lie in the last 64 KiB of its file, or be its file's last record.

    python tests/python/tx_kill_campaign.py --kills 200     # killed at random moments

With `--self`, the child kills itself right after a write chosen by the seed
(the test command's form: the kill lands between two writes, where nothing
may disagree).
"""

import argparse
import os
import random
import signal
import struct
import subprocess
import sys
import tempfile
from collections import Counter

import _zezavezud as zz

SOURCES = ["a", "b"]
KEYS = 300
TARGETS = 8
WRITE_BUFFER = 65536

CHILD = r"""
import os, random, signal, sys
import _zezavezud as zz

directory, seed, kill_after = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
rng = random.Random(seed)
db = zz.open(directory)
db.begin()
print("begun", flush=True)
i = 0
while True:
    if i == kill_after:
        os.kill(os.getpid(), signal.SIGKILL)
    c = rng.choice(["a", "b"])
    key = "k%d" % rng.randrange(300)
    r = rng.random()
    if r < 0.1:
        db.delete(c, key)
    else:
        size = 70000 if r < 0.12 else rng.randrange(50, 3000)
        links = [zz.Link("t/x%d" % rng.randrange(8)) for _ in range(rng.randrange(1, 3))]
        db.set(c, key, {"to": links, "pad": "p" * size})
    i += 1
"""


def last_records(path):
    """Key -> offset of its last record in the record file; and the file's size."""
    with open(path, "rb") as f:
        data = f.read()
    last, pos = {}, 0
    while pos < len(data):
        (klen,) = struct.unpack_from("<I", data, pos)
        key = data[pos + 4 : pos + 4 + klen].decode()
        (vlen,) = struct.unpack_from("<I", data, pos + 4 + klen)
        last[key] = pos
        pos += 8 + klen + vlen
    return last, len(data), pos


def disagreeing(directory):
    """The (collection, key) whose backlink rows differ from their links."""
    db = zz.open(directory)
    implied = Counter()
    for c in SOURCES:
        for k in range(KEYS):
            try:
                value = db.get(c, f"k{k}")
            except KeyError:
                continue
            for n, link in enumerate(value["to"]):
                implied[(link.path.split("/")[1], c, f"k{k}", f"to/{n}")] += 1
    stored = Counter()
    for x in range(TARGETS):
        for row in db.backlinks("t", f"x{x}"):
            stored[(f"x{x}", row["source_collection"], row["source_key"], row["source_path"])] += 1
    differ = (implied - stored) + (stored - implied)
    return {(c, k) for _, c, k, _ in differ}


def outside_last_push(directory, records):
    """Those of `records` that lie before the last push of their file."""
    outside = []
    for c in SOURCES:
        path = os.path.join(directory, f"{c}.qdb")
        last, size, _ = last_records(path) if os.path.exists(path) else ({}, 0, 0)
        final = max(last.values(), default=0)
        for rc, key in records:
            if rc == c and last.get(key, -1) < size - WRITE_BUFFER and last.get(key) != final:
                outside.append((c, key))
    return outside


def one_kill(directory, seed, kill_after=None, delay=None):
    """Runs one child to its kill; returns (disagreeing, outside the last push)
    or None when the directory does not open (a record torn by the kill)."""
    args = [sys.executable, "-c", CHILD, directory, str(seed), str(-1 if kill_after is None else kill_after)]
    child = subprocess.Popen(args, stdout=subprocess.PIPE)
    assert child.stdout.readline() == b"begun\n"
    if kill_after is None:
        try:
            child.wait(timeout=delay)
        except subprocess.TimeoutExpired:
            child.send_signal(signal.SIGKILL)
    child.wait()
    child.stdout.close()
    assert child.returncode == -signal.SIGKILL
    try:
        bad = disagreeing(directory)
    except (RuntimeError, KeyError):
        return None
    return bad, outside_last_push(directory, bad)


def campaign(kills, seed=0, self_kill=False):
    rng = random.Random(seed)
    figures = Counter()
    worst = 0
    with tempfile.TemporaryDirectory() as tmp:
        for n in range(kills):
            directory = os.path.join(tmp, f"db{n}")
            if self_kill:
                result = one_kill(directory, seed * 1000 + n, kill_after=rng.randrange(1, 1500))
            else:
                result = one_kill(directory, seed * 1000 + n, delay=rng.uniform(0.05, 1.5))
            figures["kills"] += 1
            if result is None:
                figures["not_opening"] += 1
                continue
            bad, outside = result
            figures["disagreeing"] += len(bad)
            figures["kills_with_disagreement"] += bool(bad)
            figures["outside_last_push"] += len(outside)
            worst = max(worst, len(bad))
    figures["most_in_one_kill"] = worst
    return figures


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--kills", type=int, default=200)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--self", dest="self_kill", action="store_true")
    args = parser.parse_args()
    figures = campaign(args.kills, args.seed, args.self_kill)
    for name, n in sorted(figures.items()):
        print(f"{name}: {n}")
    return 1 if figures["outside_last_push"] else 0


if __name__ == "__main__":
    sys.exit(main())
