"""Kill -9 campaign.

A child process writes random records (values with links, deletes, set_many,
some transactions) and reports each operation to the parent on a pipe: one
line before it starts, one line once the call has returned. The parent kills
the child with SIGKILL at a random moment, reopens the database and checks it
exactly:

- every operation acknowledged outside a transaction (and every transaction
  whose commit was acknowledged) is there with its last value, and the
  backlinks agree with the links of the records;
- the one operation in flight (or the open transaction's writes) may be
  absent or present, and the backlinks of a present one may miss changes;
- nothing else differs.

    python tests/python/crash_campaign.py --kills 1000
    python tests/python/crash_campaign.py --large-tx 100
    python tests/python/crash_campaign.py --big 1000
    python tests/python/crash_campaign.py --copies 1000

The second form kills children in the middle of large transactions (records
beyond the 64 KiB write buffer reach the file before the commit) and reports
how often the database still opens and what a user finds in it. The third
writes values of 10 to 100 KB, some inside transactions; the fourth values
of that size whose bytes copy records, which a cut through them leaves in
the file, and counts a repair that asks for --salvage (needs_salvage, goal 0).

A directory that does not open after a kill is repaired with `zezavezud
repair` (installed beside the interpreter); it must then open, with every
acknowledged write, and with backlinks whose distinct rows are exactly what
the records imply.
"""

import argparse
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from collections import Counter

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import _zezavezud as zz  # noqa: E402
from link_model import (  # noqa: E402
    ABSENT,
    backlink_rows,
    canon,
    rows_of_source,
    stored_backlinks,
)

COLLECTIONS = ["users", "posts", "tags"]
KEYS = [f"k{i}" for i in range(10)]
TARGETS = [(c, k) for c in COLLECTIONS for k in KEYS]
# Link paths: most name a record of the universe; a few name none.
ODD_PATHS = ["users/$self", "posts/$self.ref", "nolink", "/k1", "users/", "tags/k2/name/x"]


# ---- Values as JSON shapes, so both processes agree on them ------------------


def build(shape):
    """The Python value a shape stands for."""
    kind = shape[0]
    if kind == "i":
        return shape[1]
    if kind == "s":
        return shape[1]
    if kind == "f":
        return shape[1]
    if kind == "n":
        return None
    if kind == "B":
        return shape[1]
    if kind == "b":
        return bytes([shape[2]]) * shape[1]
    if kind == "c":
        return record_copies(random.Random(shape[2]), shape[1])
    if kind == "L":
        return zz.Link(shape[1], {k: build(v) for k, v in shape[2].items()})
    if kind == "d":
        return {k: build(v) for k, v in shape[1].items()}
    if kind == "l":
        return [build(v) for v in shape[1]]
    if kind == "del":
        return zz.TOMBSTONE
    raise ValueError(shape)


def record_copies(rng, size):
    """`size` bytes of records as a record file holds them (keys of the
    universe, text values), as a value that stores a piece of a database
    file holds: a cut through such a value leaves bytes that frame."""
    out = bytearray()
    while len(out) < size:
        key = rng.choice(KEYS).encode()
        text = b"x" * rng.randrange(0, 200)
        value = b"\x04" + len(text).to_bytes(4, "little") + text
        out += len(key).to_bytes(4, "little") + key + len(value).to_bytes(4, "little") + value
    return bytes(out[:size])


def random_path(rng):
    if rng.random() < 0.1:
        return rng.choice(ODD_PATHS)
    path = f"{rng.choice(COLLECTIONS)}/{rng.choice(KEYS)}"
    return path + "/name" if rng.random() < 0.2 else path


# Blob sizes per profile: "small" stays far below the 64 KiB write buffer,
# "mixed" adds records written directly, "large" fills the buffer quickly,
# "big" wraps every value with a blob of 10 to 100 KB, "copies" with 10 to
# 100 KB of bytes that copy records.
def random_blob_size(rng, profile):
    if profile == "large":
        return rng.choice([rng.randint(2000, 30000), rng.randint(66000, 90000)])
    if profile == "mixed" and rng.random() < 0.05:
        return 70000
    return rng.choice([rng.randint(0, 300), rng.randint(0, 3000)])


def random_spec(rng, profile, depth=0):
    r = rng.random()
    if depth < 2 and r < 0.3:
        return ["d", {f"f{i}": random_spec(rng, profile, depth + 1) for i in range(rng.randint(0, 3))}]
    if depth < 2 and r < 0.45:
        return ["l", [random_spec(rng, profile, depth + 1) for _ in range(rng.randint(0, 3))]]
    if r < 0.7:
        local = {}
        if depth < 2 and rng.random() < 0.2:
            local = {"via": ["L", random_path(rng), {}]}
        return ["L", random_path(rng), local]
    if r < 0.78:
        return ["i", rng.randint(-(2**63), 2**63 - 1)]
    if r < 0.84:
        return ["s", rng.choice(["", "Ann", "ü€𝄞", "x" * rng.randint(0, 100)])]
    if r < 0.88:
        return ["f", rng.choice([0.5, -1e300, 3.0])]
    if r < 0.91:
        return ["n"]
    if r < 0.93:
        return ["B", rng.random() < 0.5]
    return ["b", random_blob_size(rng, profile), rng.randint(0, 255)]


# ---- The child ---------------------------------------------------------------


def child(directory, seed, profile):
    large = profile == "large"
    rng = random.Random(seed)
    db = zz.open(directory)
    out = sys.stdout
    serial = 0
    pending_ack = ""
    in_tx = False
    tx_len = 0

    def run(op, call):
        # The acknowledgement of one operation goes out after the start of
        # the next, in the same write: whatever prefix of the output the kill
        # leaves, the parent knows of an operation it holds no whole
        # acknowledgement for, so every kill after the first start lands
        # inside an operation, whatever the timing.
        nonlocal serial, pending_ack
        serial += 1
        out.write(json.dumps({"id": serial, "op": op}) + "\n" + pending_ack)
        out.flush()
        call()
        pending_ack = f"A {serial}\n"

    if large:
        run(["begin"], db.begin)
        in_tx = True
    while True:
        r = rng.random()
        c, k = rng.choice(COLLECTIONS), rng.choice(KEYS)
        if large:
            shape = ["d", {"pad": random_spec(rng, profile, 2), "to": ["L", random_path(rng), {}]}]
            run(["set", c, k, shape], lambda: db.set(c, k, build(shape)))
        elif not in_tx and r < 0.04:
            run(["begin"], db.begin)
            in_tx, tx_len = True, 0
        elif in_tx and (r < 0.12 or tx_len > 25):
            run(["commit"], db.commit)
            in_tx = False
        elif r < 0.2:
            run(["set", c, k, ["del"]], lambda: db.delete(c, k))
        elif r < 0.26:
            items = [(rng.choice(COLLECTIONS), rng.choice(KEYS), random_spec(rng, profile)) for _ in range(rng.randint(1, 4))]
            run(["set_many", items], lambda: db.set_many([(a, b, build(s)) for a, b, s in items]))
        else:
            shape = random_spec(rng, profile)
            if profile == "big":
                shape = ["d", {"pad": ["b", rng.randint(10_000, 100_000), rng.randint(0, 255)], "v": shape}]
            elif profile == "copies":
                shape = ["d", {"pad": ["c", rng.randint(10_000, 100_000), rng.getrandbits(32)], "v": shape}]
            run(["set", c, k, shape], lambda: db.set(c, k, build(shape)))
        tx_len += in_tx


# ---- The parent --------------------------------------------------------------


class Model:
    """What the parent was told: the durable value of every key, and the
    writes whose outcome the kill left open."""

    def __init__(self):
        self.durable = {(c, k): ["del"] for c, k in TARGETS}
        self.acknowledged_writes = 0

    def apply_life(self, events):
        """events: (op, acknowledged) in order. Returns the uncertain writes
        as a list of ((collection, key), shape)."""
        in_tx, tx = False, []
        uncertain = []
        for op, acked in events:
            kind = op[0]
            writes = [((op[1], op[2]), op[3])] if kind == "set" else (
                [((a, b), s) for a, b, s in op[1]] if kind == "set_many" else [])
            if not acked:
                uncertain += tx + writes if in_tx or kind == "commit" else writes
                tx = []
                break
            if kind == "begin":
                in_tx = True
            elif kind == "commit":
                for key, shape in tx:
                    self.durable[key] = shape
                self.acknowledged_writes += len(tx)
                in_tx, tx = False, []
            elif in_tx:
                tx += writes
            else:
                for key, shape in writes:
                    self.durable[key] = shape
                self.acknowledged_writes += len(writes)
        return uncertain + tx


def value_canon(shape):
    return ABSENT if shape[0] == "del" else canon(build(shape))


def shape_links(shape):
    return Counter() if shape[0] == "del" else backlink_rows("", "", build(shape))


def check(directory, model, uncertain, repaired=False):
    """Reopens and compares. Returns (lost, loose): acknowledged writes that
    differ, and whether an uncertain write left backlinks behind its record
    (the directory then holds a permanent, allowed difference). After a
    repair no such difference is allowed: the distinct backlink rows must be
    exactly what the records imply (copies of a row are allowed)."""
    db = zz.open(directory)
    candidates = {}
    for key, shape in uncertain:
        candidates.setdefault(key, [model.durable[key]]).append(shape)
    lost = []
    values = {}
    for key in TARGETS:
        try:
            got = db.get(*key)
            shown = canon(got)
            values[key] = got
        except KeyError as e:
            shown = ABSENT if e.args == ("key not found",) else ("error", e.args)
        allowed = candidates.get(key, [model.durable[key]])
        match = [s for s in allowed if value_canon(s) == shown]
        if not match:
            lost.append((key, shown, value_canon(model.durable[key])))
            continue
        model.durable[key] = match[-1]
    expected = Counter()
    for key, got in values.items():
        expected += backlink_rows(key[0], key[1], got)
    # Links may name keys outside the universe (the empty key of "users/").
    # A write in flight may have left rows of any value its key could hold,
    # old or new, so every target those values name is looked at too:
    # otherwise a stale row outside the set goes unseen, the directory is
    # kept, and a later kill whose values name that target reports the row.
    targets = set(TARGETS) | {(r[0], r[1]) for r in expected}
    for shapes in candidates.values():
        for shape in shapes:
            targets |= {(r[0], r[1]) for r in shape_links(shape)}
    stored = stored_backlinks(db, targets)
    loose = False
    for source in {(r[2], r[3]) for r in expected} | {(r[2], r[3]) for r in stored}:
        want, have = rows_of_source(expected, source), rows_of_source(stored, source)
        if want == have:
            continue
        if repaired:
            if set(want) != set(have):
                lost.append((("backlink rows",) + source, sorted(set(have)), sorted(set(want))))
            continue
        if source in candidates:
            # A present write may lack some of its backlink changes: every
            # stored row must come from one of the values the key may hold.
            union = Counter()
            for shape in candidates[source]:
                for (tc, tk, _, _, sp), n in shape_links(shape).items():
                    row = (tc, tk, source[0], source[1], sp)
                    union[row] = max(union[row], n)
            if not (have - union):
                loose = True
                continue
        lost.append((("backlinks",) + source, sorted(have.elements()), sorted(want.elements())))
    return lost, loose


def torn_tail(data, backlinks):
    """None when `data` is whole records of its file kind, else a description
    of the cut record at its end."""
    pos = 0
    while pos < len(data):
        start = pos
        fields = 4 if backlinks else 2
        pos += 1 if backlinks else 0
        for _ in range(fields):
            if pos + 4 > len(data):
                break
            pos += 4 + int.from_bytes(data[pos:pos + 4], "little")
        else:
            if pos <= len(data):
                continue
        return f"record at {start} cut short, {len(data) - start} of its bytes in the file"
    return None


def cut_records(directory):
    """Every file of the directory whose last record is cut short."""
    found = []
    for name in sorted(os.listdir(directory)):
        with open(os.path.join(directory, name), "rb") as f:
            cut = torn_tail(f.read(), name.endswith(".qbl"))
        if cut:
            found.append(f"{name}: {cut}")
    return found


def life(directory, seed, kill_after, delay, profile):
    proc = subprocess.Popen(
        [sys.executable, os.path.abspath(__file__), "--child", directory, str(seed), profile],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, bufsize=1)
    ops, acked = {}, set()

    def take(line):
        if not line.endswith("\n"):
            # Cut short by the kill: an operation whose start line is not
            # whole was never called, and an acknowledgement that is not
            # whole leaves its operation in flight, which is always sound.
            return
        if line.startswith("A "):
            acked.add(int(line[2:]))
        elif line.strip():
            entry = json.loads(line)
            ops[entry["id"]] = entry["op"]

    while len(acked) < kill_after:
        line = proc.stdout.readline()
        if not line:
            raise RuntimeError("child ended early: " + proc.stderr.read())
        take(line)
    time.sleep(delay)
    proc.send_signal(signal.SIGKILL)
    # Read through the same buffered reader as above (communicate() would
    # bypass what it has already buffered).
    rest = proc.stdout.read()
    err = proc.stderr.read()
    proc.wait()
    for line in rest.splitlines(keepends=True):
        take(line)
    if proc.returncode != -signal.SIGKILL:
        raise RuntimeError(f"child ended with {proc.returncode}: {err}")
    return [(ops[i], i in acked) for i in sorted(ops)]


TOOL = os.path.join(os.path.dirname(sys.executable), "zezavezud")


def repair(directory, figures, failures, n, model, uncertain):
    """Repairs a directory that does not open, and checks what it then holds."""
    run = subprocess.run([TOOL, "repair", directory], capture_output=True, text=True, timeout=600)
    figures["repair_runs"] += 1
    # A kill leaves a torn tail at most: plain repair mends it, never a salvage.
    figures["needs_salvage"] += bool(run.returncode & 4)
    if run.returncode not in (0, 1):
        failures.append(f"kill {n}: repair exited {run.returncode}: {run.stdout}{run.stderr}")
        return
    try:
        lost, _ = check(directory, model, uncertain, repaired=True)
    except RuntimeError as e:
        figures["open_failures_after_repair"] += 1
        failures.append(f"kill {n}: does not open after repair: {e}")
        return
    figures["lost_after_repair"] += sum(item[0][0] != "backlink rows" for item in lost)
    figures["backlink_mismatches_after_repair"] += sum(item[0][0] == "backlink rows" for item in lost)
    failures += [f"kill {n}: after repair: {item}" for item in lost]


def reopen(directory, model, uncertain, n, figures, failures, torn):
    """Checks the directory after kill `n`. Returns check()'s (lost, loose),
    or None when the directory does not open: it is then repaired when a
    record was cut short, and checked again."""
    refused = None
    try:
        return check(directory, model, uncertain)
    except RuntimeError as e:
        # Only the text is kept: the traceback holds the frame of check(),
        # whose Database keeps the directory open (and repair out) for as
        # long as the exception lives.
        refused = e.args
    figures["open_failures"] += 1
    cut = cut_records(directory)
    if refused == ("io: failed to fill whole buffer",) and cut:
        # A kill inside one write() of more than a page can cut a record
        # short; the load refuses such a file.
        figures["open_failures_cut_record"] += 1
        figures["records_unreachable"] += sum(shape[0] != "del" for shape in model.durable.values())
        torn.append(f"kill {n}: {refused[0]}; " + ", ".join(cut))
        repair(directory, figures, failures, n, model, uncertain)
    else:
        failures.append(f"kill {n}: reopen failed: {refused}; " + (", ".join(cut) or "no cut record"))
    return None


def campaign(kills, seed=0, profile="mixed", fresh_every=50):
    """Runs `kills` lives of children writing values of `profile`. Returns
    the figures (a Counter), the failures, and the kills that left a record
    cut short at the end of a file (the directory then does not open until
    it is repaired)."""
    large = profile == "large"
    rng = random.Random(seed)
    root = tempfile.mkdtemp(prefix="crash-campaign-")
    figures = Counter()
    failures, torn = [], []
    directory, model = None, None
    try:
        for n in range(kills):
            if model is None or large or n % fresh_every == 0:
                directory = os.path.join(root, f"db{n}")
                model = Model()
                if large:
                    zz.open(directory).set("users", "k0", {"before": zz.Link("posts/k1")})
                    model.durable[("users", "k0")] = ["d", {"before": ["L", "posts/k1", {}]}]
            kill_after = rng.randint(1, 60) if large else rng.randint(0, 150)
            events = life(directory, rng.getrandbits(32), kill_after, rng.random() * 0.004, profile)
            uncertain = model.apply_life(events)
            figures["acknowledged_writes"] += model.acknowledged_writes
            model.acknowledged_writes = 0
            figures["kills"] += 1
            figures["in_flight"] += bool(events) and not events[-1][1]
            checked = reopen(directory, model, uncertain, n, figures, failures, torn)
            if checked is None:
                model = None
                continue
            lost, loose = checked
            if large:
                tx_keys = {key for key, _ in uncertain}
                present = sum(1 for key in tx_keys if model.durable[key][0] != "del")
                figures["tx_writes"] += len(uncertain)
                figures["tx_keys_present"] += present
                figures["tx_keys"] += len(tx_keys)
                figures["tx_backlinks_missing"] += loose
            figures["loose_backlinks"] += loose
            figures["lost"] += len(lost)
            failures += [f"kill {n}: {item}" for item in lost]
            if loose:
                model = None  # the allowed difference would stay in this directory
    finally:
        shutil.rmtree(root, ignore_errors=True)
    return figures, failures, torn


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--kills", type=int, default=0)
    parser.add_argument("--large-tx", type=int, default=0, help="kills inside large transactions")
    parser.add_argument("--big", type=int, default=0, help="kills of writers of 10-100 KB values")
    parser.add_argument("--copies", type=int, default=0,
                        help="kills of writers of 10-100 KB values that hold copies of records")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--fresh-every", type=int, default=50,
                        help="kills per directory before a new one is started")
    parser.add_argument("--small", action="store_true",
                        help="only values far below the write buffer (no direct writes)")
    parser.add_argument("--child", nargs=3, metavar=("DIR", "SEED", "PROFILE"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child[0], int(args.child[1]), args.child[2])
        return 0
    status = 0
    runs = ((args.kills, "small" if args.small else "mixed"), (args.large_tx, "large"), (args.big, "big"),
            (args.copies, "copies"))
    for kills, profile in runs:
        if not kills:
            continue
        started = time.monotonic()
        figures, failures, torn = campaign(kills, args.seed, profile, args.fresh_every)
        print(f"{profile}: {json.dumps(dict(figures))} ({time.monotonic() - started:.0f} s)")
        for f in failures[:20]:
            print("   FAILED", f)
        for t in torn[:20]:
            print("   does not open:", t)
        if failures:
            status = 1
    return status


if __name__ == "__main__":
    sys.exit(main())
