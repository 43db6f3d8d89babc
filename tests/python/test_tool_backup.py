"""`zezavezud backup` of a directory another process is writing, end to end.

A child process writes without pause (overwrites, links, transactions,
values of varying size) and reports each acknowledged write on a line of a
file once `set` or `commit` has returned. Before each backup the test reads
the writes acknowledged so far; each copy must then open, check clean, and
hold every one of them (a key's value is that write or a later one). Nothing
depends on where the backups land among the writes: the copy may be taken at
any moment after the count was read, so the test is sound under every
interleaving.

Killing backup itself at a random moment must leave the source as it was and
no DEST, or a complete one. The delays come from a seeded generator; nothing
checked depends on where the kill lands.

Run as a program for the long campaign:
    python test_tool_backup.py --backups 200 --kills 200 [--seed N] [--pause SECONDS]
"""

import argparse
import gc
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import pytest

import _zezavezud as zz

TOOL = os.path.join(os.path.dirname(sys.executable), "zezavezud")
pytestmark = pytest.mark.skipif(not os.path.exists(TOOL), reason="zezavezud is not installed beside this interpreter")

KEYS = 40

# The writer. Every write names its sequence number in the value, and the
# line "N" goes to the acknowledgement file only after the write returned.
WRITER = r"""
import sys, time, _zezavezud as zz
path, ack, blob_min, blob_max = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
pause = float(sys.argv[5])  # between writes: keeps a long campaign's files small
db = zz.open(path)
out = open(ack, "a", buffering=1)
i = 0
while True:
    k = i % KEYS
    blob = bytes([i % 251]) * (blob_min + (i * 7919) % (blob_max - blob_min))
    if i % 5 == 4:
        db.begin()
        for j in range(3):
            db.set("users", f"u{(k + j) % KEYS}", {"n": i, "best": zz.Link(f"posts/p{(k + j) % KEYS}")})
        db.set("posts", f"p{k}", {"n": i, "author": zz.Link(f"users/u{(k * 7) % KEYS}"), "blob": blob})
        db.commit()
    elif i % 7 == 3:
        db.set("posts", f"p{k}", {"n": i, "text": "no link"})
    else:
        db.set("posts", f"p{k}", {"n": i, "author": zz.Link(f"users/u{(k * 3) % KEYS}"), "blob": blob})
    out.write(f"{i}\n")
    i += 1
    if pause:
        time.sleep(pause)
""".replace("KEYS", str(KEYS))


def written_by(i):
    """The (collection, key) pairs write number i set, as the writer does."""
    k = i % KEYS
    if i % 5 == 4:
        return [("users", f"u{(k + j) % KEYS}") for j in range(3)] + [("posts", f"p{k}")]
    return [("posts", f"p{k}")]


def acknowledged(ack):
    """The number of writes acknowledged so far (a line still being written
    does not count)."""
    with open(ack, "rb") as f:
        return f.read().count(b"\n")


def latest(count):
    """Each key's last acknowledged write among the first `count`."""
    last = {}
    for i in range(count):
        for ck in written_by(i):
            last[ck] = i
    return last


def tool(*args):
    return subprocess.run([TOOL, *args], capture_output=True, text=True, timeout=600)


def start_writer(d, ack, blob_min, blob_max, pause):
    open(ack, "w").close()
    return subprocess.Popen([sys.executable, "-c", WRITER, d, ack, str(blob_min), str(blob_max), str(pause)])


def wait_for(ack, count, writer):
    deadline = time.monotonic() + 120
    while acknowledged(ack) < count:
        assert writer.poll() is None, "the writer died"
        assert time.monotonic() < deadline, "the writer makes no progress"
        time.sleep(0.01)


def verify_copy(copy, acked, compact=False):
    """Returns the problems found in the copy: it must check clean and hold
    every write acknowledged before its backup started."""
    problems = []
    run = tool("check", copy)
    if run.returncode != 0:
        problems.append(f"check exits {run.returncode}: {run.stdout[-2000:]}")
    try:
        db = zz.open(copy)
    except Exception as e:  # noqa: BLE001 -- reported, not raised
        return problems + [f"open fails: {e!r}"]
    for (collection, key), n in latest(acked).items():
        try:
            got = db.get(collection, key)["n"]
        except Exception as e:  # noqa: BLE001
            problems.append(f"{collection}/{key}: {e!r}")
            continue
        if got < n:
            problems.append(f"{collection}/{key}: holds write {got}, write {n} was acknowledged")
    del db
    gc.collect()
    return problems


def backups_during_writes(root, backups, blob_min, blob_max, seed, log=None, pause=0.0, fresh_every=None):
    """Takes `backups` copies while a child writes (into a fresh directory
    every `fresh_every` backups); returns the counts (copies that open, that
    check clean, acknowledged writes missing), and how many reports left out
    a record being written and rebuilt a backlink file."""
    rng = random.Random(seed)
    d = os.path.join(root, "db")
    ack = os.path.join(root, "ack")
    writer = None
    opened = clean = missing = left_out = rebuilt = 0
    try:
        for b in range(backups):
            if writer is None or (fresh_every and b % fresh_every == 0):
                if writer is not None:
                    writer.kill()
                    writer.wait()
                    shutil.rmtree(d)
                writer = start_writer(d, ack, blob_min, blob_max, pause)
                wait_for(ack, 50, writer)
            acked = acknowledged(ack)  # read before the backup starts
            copy = os.path.join(root, f"copy{b}")
            args = ["backup", d, copy] + (["--compact"] if rng.random() < 0.3 else [])
            run = tool(*args)
            assert run.returncode == 0, run.stderr + run.stdout
            left_out += ": left out: " in run.stdout
            rebuilt += ": backlinks rebuilt: " in run.stdout
            problems = verify_copy(copy, acked)
            opened += not any(p.startswith("open fails") for p in problems)
            clean += not any(p.startswith("check exits") for p in problems)
            missing += sum(1 for p in problems if "was acknowledged" in p or "KeyError" in p)
            if log and problems:
                log(f"backup {b}: " + "; ".join(problems[:5]))
            assert log or not problems, problems
            shutil.rmtree(copy)
            wait_for(ack, acked + rng.randrange(1, 60), writer)
    finally:
        if writer is not None:
            writer.kill()
            writer.wait()
    return opened, clean, missing, left_out, rebuilt


def test_backups_while_a_process_writes_hold_every_acknowledged_write(tmp_path):
    backups_during_writes(str(tmp_path), backups=4, blob_min=0, blob_max=20000, seed=7)


def snapshot(directory):
    return {name: open(os.path.join(directory, name), "rb").read() for name in sorted(os.listdir(directory))}


def kills(root, count, seed, log=None):
    """Kills backups at random moments; returns how many left a complete
    DEST, and how many none."""
    rng = random.Random(seed)
    d = os.path.join(root, "db")
    db = zz.open(d)
    for i in range(3000):
        db.set("users", f"u{i % 500}", {"n": i, "best": zz.Link(f"posts/p{i % 300}"), "pad": b"y" * (i % 4000)})
        db.set("posts", f"p{i % 300}", {"author": zz.Link(f"users/u{i % 500}")})
    del db
    gc.collect()
    before = snapshot(d)
    # The kills spread over a little more than a whole backup takes.
    started = time.monotonic()
    assert tool("backup", d, os.path.join(root, "timed")).returncode == 0
    span = 1.2 * (time.monotonic() - started)
    shutil.rmtree(os.path.join(root, "timed"))
    complete = absent = 0
    for k in range(count):
        dest = os.path.join(root, f"copy{k}")
        proc = subprocess.Popen([TOOL, "backup", d, dest], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(rng.random() * span)
        proc.send_signal(signal.SIGKILL)
        proc.wait()
        assert snapshot(d) == before
        # Killed after the marker went and before the rename, the complete
        # copy waits beside DEST, for the next backup to move into place.
        # Killed after the directory was made and before the marker was in
        # it, an empty one is left, which the next backup removes.
        temp = dest + ".zezavezud-tmp"
        inside = os.listdir(temp) if os.path.isdir(temp) else []
        unrenamed = bool(inside) and "zezavezud-load-in-progress" not in inside
        done = dest if os.path.exists(dest) else temp if unrenamed else None
        if done:
            problems = verify_copy(done, 0)
            assert not problems, problems
            assert tool("dump", done).stdout == tool("dump", d).stdout
            complete += 1
            shutil.rmtree(done)
        else:
            absent += 1
            # What a killed backup leaves, the next one removes.
            run = tool("backup", d, dest)
            assert run.returncode == 0, run.stderr
            assert not os.path.exists(dest + ".zezavezud-tmp")
            shutil.rmtree(dest)
    return complete, absent


def test_a_killed_backup_leaves_no_dest_or_a_complete_one(tmp_path):
    kills(str(tmp_path), count=3, seed=11)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--backups", type=int, default=200)
    parser.add_argument("--kills", type=int, default=200)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--pause", type=float, default=0.002, help="seconds the writer waits between writes")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as root:
        opened, clean, missing, left_out, rebuilt = backups_during_writes(
            root, args.backups, 10_000, 100_000, args.seed, log=print, pause=args.pause, fresh_every=20)
        print(f"{args.backups} backups during writes: {opened} open, {clean} check clean, "
              f"{missing} acknowledged writes missing; {left_out} left out a record being written, "
              f"{rebuilt} rebuilt a backlink file")
    with tempfile.TemporaryDirectory() as root:
        complete, absent = kills(root, args.kills, args.seed)
        print(f"{args.kills} kills of backup: source unchanged every time; {complete} left a complete "
              f"DEST, {absent} none")


if __name__ == "__main__":
    main()
