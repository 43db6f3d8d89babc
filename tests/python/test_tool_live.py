"""The maintenance command beside programs that do not wait for it: `check`
while another process writes the directory, and `dump -o` killed at a
random moment.

Sound under every interleaving: the child writes as fast as it can and the
kills land wherever a seeded delay puts them, but what is asserted holds at
every point (no damage reported beside a writer; the dump file is always
one whole dump).
"""

import gc
import json
import os
import random
import signal
import subprocess
import sys
import time

import _zezavezud as zz

TOOL = os.path.join(os.path.dirname(sys.executable), "zezavezud")

WRITER = r"""
import sys, _zezavezud as zz
db = zz.open(sys.argv[1])
n = 0
while n < 30000:
    i = n % 50
    if n % 7 == 0:
        db.begin()
        for j in range(5):
            db.set("posts", f"t{j}", {"a": zz.Link(f"users/u{(n + j) % 20}"), "n": n})
        db.commit()
    elif n % 5 == 0:
        db.delete("posts", f"p{i}")
    else:
        db.set("posts", f"p{i}", {"author": zz.Link(f"users/u{n % 20}"), "n": n})
        db.set("users", f"u{n % 20}", {"n": n, "best": zz.Link(f"posts/p{i}")})
    n += 1
    if n == 200:
        print("writing", flush=True)
sys.stdin.read()  # holds the directory open until the test ends
"""


def test_check_beside_a_writer_reports_no_damage(tmp_path):
    path = str(tmp_path / "db")
    zz.open(path).set("users", "u0", 0)
    gc.collect()
    child = subprocess.Popen(
        [sys.executable, "-c", WRITER, path], stdin=subprocess.PIPE, stdout=subprocess.PIPE
    )
    try:
        assert child.stdout.readline() == b"writing\n"
        for _ in range(20):
            r = subprocess.run([TOOL, "check", path, "--json"], capture_output=True)
            report = json.loads(r.stdout)
            damage = [f for f in report["findings"] if f["severity"] == "damage"]
            assert damage == [] and report["damage"] == 0, r.stdout
            # Clean, or findings a write in flight could leave (status 8).
            assert r.returncode in (0, 8), (r.returncode, r.stdout, r.stderr)
            assert b"zezavezud: warning:" in r.stderr
    finally:
        child.kill()
        child.wait()
    # With the writer gone, whatever it left is judged for what it is: a
    # killed writer may leave a record without its rows, which repair mends.
    r = subprocess.run([TOOL, "repair", path], capture_output=True)
    assert r.returncode in (0, 1), r.stderr
    assert subprocess.run([TOOL, "check", path]).returncode == 0


def test_killed_dump_to_a_file_leaves_one_whole_dump(tmp_path):
    path = str(tmp_path / "db")
    out = str(tmp_path / "out.jsonl")
    db = zz.open(path)
    db.set_many([("users", f"u{i}", {"name": "x" * 200, "i": i}) for i in range(2000)])
    del db
    gc.collect()
    assert subprocess.run([TOOL, "dump", path, "-o", out]).returncode == 0
    earlier = open(out, "rb").read()
    db = zz.open(path)
    db.set_many([("posts", f"p{i}", {"text": "y" * 300}) for i in range(2000)])
    del db
    gc.collect()
    later = subprocess.run([TOOL, "dump", path], capture_output=True, check=True).stdout
    rng = random.Random(31)
    for _ in range(12):
        p = subprocess.Popen([TOOL, "dump", path, "-o", out])
        time.sleep(rng.uniform(0, 0.05))  # where the kill lands; nothing depends on it
        p.send_signal(rng.choice([signal.SIGKILL, signal.SIGTERM, signal.SIGINT]))
        p.wait()
        assert open(out, "rb").read() in (earlier, later)
    # A leftover temporary file of a killed run is overwritten by the next.
    assert subprocess.run([TOOL, "dump", path, "-o", out]).returncode == 0
    assert open(out, "rb").read() == later
    assert sorted(os.listdir(tmp_path)) == ["db", "out.jsonl"]
