"""Kills a maintenance command with SIGKILL at a random moment and checks
that the directory still opens with exactly the content it had.

Sound under every interleaving: the kill may land before the command
starts, in the middle of any step, or after it has exited, and each of
those must leave the same content behind. The delays come from a seeded
generator, but nothing checked depends on where the kill landed; the
counts of where it landed are only reported.

Run as a program for a long campaign:
    python test_tool_kill.py --kills 500 [--command compact] [--seed N]
"""

import argparse
import collections
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
TEMP_SUFFIX = ".zezavezud-tmp"


def build_overwritten_store(path, users=300, posts=300, rounds=8):
    """A store with work for compact: overwritten and deleted records, links
    that move between targets (remove and add rows in the backlink files),
    and a backlink stored twice (two map keys giving one source path).
    Returns every (collection, key) worth reading back, deleted ones included:
    the module cannot list keys."""
    db = zz.open(path)
    for r in range(rounds):
        db.set_many([("users", f"u{i}", {"name": f"user {i}", "round": r}) for i in range(users)])
        for i in range(posts):
            target = f"users/u{(i + r) % users}"
            db.set("posts", f"p{i}", {"author": zz.Link(target), "text": "x" * (i % 50), "r": r})
    for i in range(0, posts, 7):
        db.set("posts", f"p{i}", {"a/b": zz.Link("users/u1"), "a": {"b": zz.Link("users/u1")}})
    for i in range(0, users, 5):
        db.delete("users", f"u{i}")
    for i in range(3, posts, 11):
        db.delete("posts", f"p{i}")
    del db
    gc.collect()  # lets go of the directory's shared lock
    return [("users", f"u{i}") for i in range(users)] + [("posts", f"p{i}") for i in range(posts)]


# The unfinished record a crash leaves at the end of users.qdb.
CUT = b"\x09\x00\x00\x00cut"


def build_damaged_store(path):
    """A store with work for repair: a record cut short at the end of one
    file (the directory does not open), and a stale backlink (a record
    written past the backlink index, as a second writer leaves it)."""
    keys = build_overwritten_store(path)
    scratch = path + "-scratch"
    zz.open(scratch).set("posts", "p1", {"text": "no link any more"})
    gc.collect()
    with open(os.path.join(path, "posts.qdb"), "ab") as f, open(os.path.join(scratch, "posts.qdb"), "rb") as g:
        f.write(g.read())
    shutil.rmtree(scratch)
    with open(os.path.join(path, "users.qdb"), "ab") as f:
        f.write(CUT)
    return keys


def backups_hold_the_cut(path):
    found = os.path.join(path, "lost+found")
    return any(open(os.path.join(found, name), "rb").read() == CUT for name in os.listdir(found))


def content(path, keys):
    """Every value (as its repr: links do not compare) and backlink list."""
    db = zz.open(path)
    snapshot = {}
    for collection, key in keys:
        try:
            value = repr(db.get(collection, key))
        except KeyError:
            value = None
        snapshot[(collection, key)] = (value, db.backlinks(collection, key))
    del db
    gc.collect()
    return snapshot


def temp_files(path):
    return sorted(name for name in os.listdir(path) if name.endswith(TEMP_SUFFIX))


def run_to_end(command, path, ok_statuses):
    done = subprocess.run([TOOL, command, path], capture_output=True, text=True, timeout=300)
    assert done.returncode in ok_statuses, (done.returncode, done.stderr)


def kill_campaign(command, build, kills, seed, workdir, ok_statuses=(0,), damaged=False):
    """Builds one store with `build(path) -> keys`, then `kills` times: copies
    it, starts `zezavezud COMMAND COPY`, sends SIGKILL after a delay drawn from
    random.Random(seed), and checks that the copy opens with the original
    content, and keeps it after the command is run again to its end (which
    must exit with one of `ok_statuses`). A `damaged` store does not open
    before the command has run: its content is what one whole run leaves,
    and a killed run must leave a directory that the next run brings to it,
    with the cut bytes kept in lost+found. Returns counts of where the kills
    landed."""
    template = os.path.join(workdir, "template")
    keys = build(template)
    expected = None if damaged else content(template, keys)

    # One run to the end, timed, sets the range of the delays: some kills
    # land before the command starts, most during it, a few after it.
    # The quickest of three runs: the first is slowed by a cold start.
    trial = os.path.join(workdir, "trial")
    runs = []
    for _ in range(3):
        shutil.rmtree(trial, ignore_errors=True)
        shutil.copytree(template, trial)
        started = time.monotonic()
        run_to_end(command, trial, ok_statuses)
        runs.append(time.monotonic() - started)
    full_run = min(runs)
    if damaged:
        expected = content(trial, keys)
        assert backups_hold_the_cut(trial)
    assert content(trial, keys) == expected
    shutil.rmtree(trial)

    rng = random.Random(seed)
    outcomes = collections.Counter()
    for i in range(kills):
        shutil.copytree(template, trial)
        delay = rng.uniform(0, 1.2 * full_run)
        process = subprocess.Popen([TOOL, command, trial], stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        time.sleep(delay)
        # The child is not reaped before wait(), so the kill always finds it,
        # running or already exited.
        process.send_signal(signal.SIGKILL)
        status = process.wait()
        landed = "killed" if status == -signal.SIGKILL else f"exited {status}"
        if status != -signal.SIGKILL:
            assert status in ok_statuses, (i, delay, status)
        if temp_files(trial):
            landed += ", temporary file left"
        outcomes[landed] += 1
        if not damaged:
            assert content(trial, keys) == expected, (i, delay, landed)
        run_to_end(command, trial, ok_statuses)
        assert temp_files(trial) == []
        assert content(trial, keys) == expected, (i, delay, "second run")
        assert not damaged or backups_hold_the_cut(trial), (i, delay, landed)
        shutil.rmtree(trial)
    return outcomes, full_run


@pytest.mark.skipif(not os.access(TOOL, os.X_OK),
                    reason=f"the zezavezud command is not installed beside {sys.executable}")
def test_compact_killed_at_any_moment_keeps_the_content(tmp_path):
    outcomes, _ = kill_campaign("compact", build_overwritten_store, kills=6, seed=20240611,
                                workdir=str(tmp_path))
    assert sum(outcomes.values()) == 6


@pytest.mark.skipif(not os.access(TOOL, os.X_OK),
                    reason=f"the zezavezud command is not installed beside {sys.executable}")
def test_repair_killed_at_any_moment_is_finished_by_the_next_run(tmp_path):
    outcomes, _ = kill_campaign("repair", build_damaged_store, kills=6, seed=20261208,
                                workdir=str(tmp_path), ok_statuses=(0, 1), damaged=True)
    assert sum(outcomes.values()) == 6


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--kills", type=int, default=500)
    parser.add_argument("--command", default="compact")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    if not os.access(TOOL, os.X_OK):
        sys.exit(f"no zezavezud command beside {sys.executable}")
    workdir = tempfile.mkdtemp(prefix="tool-kill-")
    try:
        started = time.monotonic()
        if args.command == "repair":
            outcomes, full_run = kill_campaign("repair", build_damaged_store, args.kills, args.seed,
                                               workdir, ok_statuses=(0, 1), damaged=True)
        else:
            outcomes, full_run = kill_campaign(args.command, build_overwritten_store, args.kills,
                                               args.seed, workdir)
    finally:
        shutil.rmtree(workdir)
    print(f"{args.command}: {args.kills} kills, seed {args.seed}, one full run {full_run * 1000:.1f} ms,"
          f" campaign {time.monotonic() - started:.0f} s; every kill left the content intact")
    for landed, count in sorted(outcomes.items()):
        print(f"  {landed}: {count}")


if __name__ == "__main__":
    main()
