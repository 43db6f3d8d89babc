"""Damage campaign: what `zezavezud repair` saves of a damaged directory.

A healthy directory is built once per seed (links, overwrites, deletes; the
values hold no copies of record bytes). Copies of it are damaged the ways
disks and file systems damage files, then repaired with `zezavezud repair`,
and with `repair --salvage` when repair says to. Each case must end with:

- opens: the directory opens;
- clean: `zezavezud check` exits 0;
- intact: every record lying wholly outside the damaged bytes that is its
  key's newest record reads the same;
- never_held: no key reads a value it never held (counted apart: a key whose
  record carries a zero-page note, under zero_page, and a key whose
  newest record was hit by the damage and still decodes, under
  value_hit_still_decodes: the format has no checksums to find either);
- backlinks: the backlinks equal what the records imply;
- unnamed: every key whose value changed and whose newest record's key
  bytes the damage left readable is named by repair (its JSON
  `changed_keys`); a key whose every trace the damage destroyed cannot be
  named and is counted apart, under destroyed;
- backup: a backup of the damaged directory holds its record files byte for
  byte and exits 4 exactly when check finds damage in a record file.

The figures are the failures of each, goal 0. A key whose intact newest
record an island of copies (left by a misdirected write) hides is counted
apart, under island_hides_intact, when repair names it.

    python tests/python/damage_campaign.py --cases 500
    python tests/python/damage_campaign.py --cases 100 --prototype PATH

With --prototype, the record file of each case is also classified by the
given Python reference of the rule, and any difference in the regions found
is counted (and listed).
"""

import argparse
import json
import os
import random
import re
import runpy
import shutil
import struct
import subprocess
import sys
import tempfile
from types import SimpleNamespace
from collections import Counter

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import _zezavezud as zz  # noqa: E402
from link_model import ABSENT, backlink_rows, canon, stored_backlinks  # noqa: E402

TOOL = os.path.join(os.path.dirname(sys.executable), "zezavezud")
COLLECTIONS = ["users", "posts"]
PAGE = 4096
KINDS = [
    "cut",
    "zero_block_middle",
    "zero_block_end",
    "zeros_appended",
    "random_block",
    "key_length_bit",
    "value_length_bit",
    "backlinks_deleted",
    "backlinks_cut",
    "backlinks_zeroed",
    "bad_value_then_torn",
    "bad_value_then_zeros",
    "misdirected_page_aligned",
    "misdirected_page_unaligned",
]
FAILURES = ["opens", "clean", "intact", "never_held", "backlinks", "unnamed", "backup"]


def random_value(rng, keys):
    kind = rng.randrange(6)
    if kind == 0:
        return rng.randrange(-10**6, 10**6)
    if kind == 1:
        return "".join(rng.choice("abcdefghij ") for _ in range(rng.randrange(1, 300)))
    if kind == 2:
        return bytes(rng.randrange(256) for _ in range(rng.randrange(1, 400)))
    if kind == 3:
        return {"n": rng.random(), "to": zz.Link("users/" + rng.choice(keys))}
    if kind == 4:
        return [zz.Link("posts/" + rng.choice(keys)), rng.randrange(100), None, True]
    return {"name": "x" * rng.randrange(1, 50), "tags": ["a", "b"]}


def build(directory, seed, operations):
    """Writes a healthy directory; returns every value each key ever held
    (as canon()), its final state, and the keys."""
    rng = random.Random(seed)
    keys = [f"k{i}" for i in range(60)]
    history = {}
    final = {}
    db = zz.open(directory)
    for _ in range(operations):
        key = (rng.choice(COLLECTIONS), rng.choice(keys))
        if key in final and final[key] is not ABSENT and rng.random() < 0.08:
            db.delete(*key)
            final[key] = ABSENT
            continue
        value = random_value(rng, keys)
        db.set(key[0], key[1], value)
        final[key] = canon(value)
        history.setdefault(key, set()).add(canon(value))
    del db
    return history, final, keys


def records_of(data):
    """(offset, end, key) of each record of a healthy record file."""
    out = []
    at = 0
    while at < len(data):
        (klen,) = struct.unpack_from("<I", data, at)
        key = data[at + 4:at + 4 + klen].decode()
        (vlen,) = struct.unpack_from("<I", data, at + 4 + klen)
        end = at + 8 + klen + vlen
        out.append((at, end, key))
        at = end
    return out


def bad_value(data, records, rng):
    """Sets one byte of a text value in the first half of the file to 0xFF,
    so that the record frames but does not decode; returns the byte's range."""
    texts = [(at, end, key) for at, end, key in records
             if end <= len(data) // 2 and data[at + 8 + len(key.encode())] == 0x04
             and end - at - 8 - len(key.encode()) > 5]
    if not texts:
        return None
    at, end, key = rng.choice(texts)
    hit = rng.randrange(at + 8 + len(key.encode()) + 5, end)
    data[hit] = 0xFF
    return hit, hit + 1


def damage(directory, kind, rng):
    """Damages one file of the directory; returns (collection, ranges): the
    record file's byte ranges that were changed or removed (none for a
    backlink file)."""
    collection = rng.choice(COLLECTIONS)
    if kind.startswith("backlinks"):
        path = os.path.join(directory, collection + ".qbl")
        if not os.path.exists(path):
            return collection, []
        data = open(path, "rb").read()
        if kind == "backlinks_deleted":
            os.remove(path)
        elif kind == "backlinks_cut":
            open(path, "wb").write(data[:rng.randrange(len(data) + 1)])
        else:
            at = rng.randrange(len(data) + 1)
            open(path, "wb").write(data[:at] + bytes(len(data[at:at + PAGE])) + data[at + PAGE:])
        return collection, []
    path = os.path.join(directory, collection + ".qdb")
    data = bytearray(open(path, "rb").read())
    size = len(data)
    ranges = []
    if kind == "cut":
        at = rng.randrange(size)
        del data[at:]
        ranges.append((at, size))
    elif kind in ("zero_block_middle", "random_block"):
        # A block with at least one more page of the file after it.
        pages = max(1, size // PAGE - 1)
        lo = rng.randrange(pages) * PAGE
        hi = min(size, lo + PAGE)
        if kind == "zero_block_middle":
            data[lo:hi] = bytes(hi - lo)
        else:
            data[lo:hi] = bytes(rng.randrange(256) for _ in range(hi - lo))
        ranges.append((lo, hi))
    elif kind == "zero_block_end":
        lo = (size - 1) // PAGE * PAGE
        data[lo:size] = bytes(size - lo)
        ranges.append((lo, size))
    elif kind == "zeros_appended":
        data += bytes(rng.randrange(1, 3 * PAGE))
        ranges.append((size, size))
    elif kind.startswith("bad_value_then"):
        # A bad value in the middle that nobody noticed, then a crash: the
        # last record cut short, or a power cut's zeros from a page on.
        records = records_of(bytes(data))
        bad = bad_value(data, records, rng)
        if bad:
            ranges.append(bad)
        at, end, _key = records[-1]
        if kind == "bad_value_then_torn":
            cut = rng.randrange(at + 1, end)
            del data[cut:]
            ranges.append((cut, size))
        else:
            lo = max(at + 1, (size - 1) // PAGE * PAGE)
            data[lo:size] = bytes(size - lo)
            ranges.append((lo, size))
    elif kind.startswith("misdirected_page"):
        # A page's worth written over a later place instead of its own.
        aligned = kind.endswith("_aligned")
        if size < 3 * PAGE:
            return collection, []
        if aligned:
            src = rng.randrange(size // PAGE - 2) * PAGE
            dst = rng.randrange(src // PAGE + 1, size // PAGE - 1) * PAGE
        else:
            src = rng.randrange(size - 3 * PAGE)
            dst = rng.randrange(src + PAGE, size - 2 * PAGE)
        data[dst:dst + PAGE] = data[src:src + PAGE]
        ranges.append((dst, dst + PAGE))
    else:
        records = records_of(bytes(data))
        at, end, key = rng.choice(records)
        field = at if kind == "key_length_bit" else at + 4 + len(key.encode())
        bit = rng.randrange(32)
        data[field + bit // 8] ^= 1 << (bit % 8)
        ranges.append((field, field + 4))
    open(path, "wb").write(bytes(data))
    return collection, ranges


def outside(at, end, ranges):
    return all(end <= lo or at >= hi for lo, hi in ranges)


def check_backup(directory, work, n, figures, failures):
    """A backup of the damaged directory copies its record files byte for
    byte, and exits 4 exactly when check finds damage in a record file."""
    dest = os.path.join(work, f"backup{n}")
    run = run_tool("backup", directory, dest, "--json")
    found = json.loads(run_tool("check", directory, "--json").stdout)["findings"]
    damaged = any(f["severity"] == "damage" and f["file"].endswith(".qdb") for f in found)
    same = all(open(os.path.join(directory, c + ".qdb"), "rb").read()
               == open(os.path.join(dest, c + ".qdb"), "rb").read()
               for c in COLLECTIONS) if os.path.isdir(dest) else False
    if not same or bool(run.returncode & 4) != damaged or run.returncode & 8:
        figures["backup"] += 1
        failures.append((n, "backup", run.returncode, damaged, same, run.stderr[-500:]))
    shutil.rmtree(dest, ignore_errors=True)


def named_keys(output, name):
    """The keys a repair's JSON report names as changed in the file."""
    try:
        doc = json.loads(output)
    except ValueError:
        return set(), set()
    keys = [k for k in doc.get("changed_keys", []) if k["file"] == name]
    return ({k["key"] for k in keys}, {k["key"] for k in keys if k["why"] != "removed"})


def run_tool(*args):
    return subprocess.run([TOOL, *args], capture_output=True, text=True, timeout=600)


def regions_from_check(directory, name):
    """The damaged regions check reports for a record file: (P, Q, kind)."""
    run = run_tool("check", directory, "--json")
    out = []
    for f in json.loads(run.stdout)["findings"]:
        if f["file"] != name or f["severity"] != "damage" or f["offset"] is None:
            continue
        if f["kind"] == "damage in the middle":
            q = int(re.search(r"bytes \d+\.\.(\d+)", f["detail"]).group(1))
            out.append((f["offset"], q, "middle"))
        elif f["kind"] in ("torn tail", "zero-filled tail", "unresolved damage"):
            out.append((f["offset"], None, "torn"))
    return out


def prototype_regions(proto, data):
    got = proto.classify(data, "F1+F3+F4")
    return [(p, q if kind == "middle" else None, "torn" if kind == "torn" else kind)
            for p, q, kind, _how in got["regions"]]


def one_case(healthy, work, n, kind, seed, history, final, keys, figures, failures, proto):
    rng = random.Random(seed * 1000003 + n)
    directory = os.path.join(work, f"case{n}")
    shutil.copytree(healthy, directory)
    collection, ranges = damage(directory, kind, rng)
    name = collection + ".qdb"
    original = open(os.path.join(healthy, name), "rb").read()
    damaged = open(os.path.join(directory, name), "rb").read()
    if proto is not None:
        want = prototype_regions(proto, damaged)
        got = regions_from_check(directory, name)
        if got != want:
            figures["prototype_differs"] += 1
            failures.append((n, kind, "prototype", want, got))
    check_backup(directory, work, n, figures, failures)

    run = run_tool("repair", directory)
    output = run.stdout
    named, island = set(), set()
    salvaged = bool(run.returncode & 4)
    if salvaged:
        figures["salvaged"] += 1
        figures["salvaged_" + kind] += 1
        run = run_tool("repair", directory, "--salvage", "--json")
        output += run.stdout
        named, island = named_keys(run.stdout, name)
    figures["cases"] += 1
    figures["kind_" + kind] += 1
    if run.returncode & 8:
        failures.append((n, kind, "repair", run.returncode, run.stdout[-2000:], run.stderr[-2000:]))
    # Keys whose record the zero-page notes name, in the damaged file.
    noted = set(re.findall(re.escape(name) + r":\d+: note: the (?:last )?record (?:before the damage )?"
                           r"\(key (\S+)\) ends in", output))

    try:
        db = zz.open(directory)
    except Exception as e:  # noqa: BLE001 - any failure to open counts
        figures["opens"] += 1
        failures.append((n, kind, "opens", repr(e)))
        shutil.rmtree(directory)
        return
    check = run_tool("check", directory)
    if check.returncode != 0:
        figures["clean"] += 1
        failures.append((n, kind, "clean", check.stdout[-2000:]))

    # The newest record of each key in the healthy file, and whether it lies
    # wholly outside the damaged bytes.
    newest = {}
    for at, end, key in records_of(original):
        newest[key] = (at, end)
    values = {}
    intact_bad = never_bad = 0
    for c in COLLECTIONS:
        for k in keys:
            key = (c, k)
            try:
                got = db.get(c, k)
                values[key] = got
                shown = canon(got)
            except KeyError:
                shown = ABSENT
            if shown is not ABSENT and shown not in history.get(key, set()):
                hit = c == collection and k in newest and not outside(*newest[k], ranges)
                if c == collection and k in noted:
                    figures["zero_page"] += 1
                elif hit:
                    # The damage changed bytes inside a value that still
                    # decodes: without checksums nothing can tell.
                    figures["value_hit_still_decodes"] += 1
                else:
                    never_bad += 1
                    failures.append((n, kind, "never_held", key, ranges))
            if c != collection or k not in newest:
                if shown != final.get(key, ABSENT):
                    intact_bad += 1
                    failures.append((n, kind, "intact", key, "other file"))
                continue
            if shown == final.get(key, ABSENT):
                continue
            at, end = newest[k]
            # Its key bytes (and length) survived: the damaged file still
            # names the key, so repair must name it too. A record in a tail
            # is the write a crash interrupted: cutting it is the repair.
            readable = outside(at, at + 4 + len(k.encode()), ranges)
            in_tail = any(hi >= len(original) and not outside(at, end, [(lo, hi)]) for lo, hi in ranges)
            if in_tail and not outside(at, end, ranges):
                figures["tail_cut"] += 1
            elif k in island and outside(at, end, ranges):
                figures["island_hides_intact"] += 1
            elif outside(at, end, ranges):
                intact_bad += 1
                failures.append((n, kind, "intact", key, at, end, ranges))
            elif readable and k not in named and k not in noted:
                figures["unnamed"] += 1
                failures.append((n, kind, "unnamed", key, at, end, ranges))
            elif not readable and k not in named:
                figures["destroyed"] += 1
            else:
                figures["named"] += 1
    figures["intact"] += intact_bad
    figures["never_held"] += never_bad
    expected = Counter()
    for key, got in values.items():
        expected += backlink_rows(key[0], key[1], got)
    targets = {(c, k) for c in COLLECTIONS for k in keys} | {(r[0], r[1]) for r in expected}
    stored = stored_backlinks(db, targets)
    if set(stored) != set(expected):
        figures["backlinks"] += 1
        failures.append((n, kind, "backlinks", len(set(stored) ^ set(expected))))
    del db
    shutil.rmtree(directory)


def campaign(cases, seed=1, operations=900, prototype=None):
    """Runs `cases` cases over the kinds in turn; returns (figures, failures)."""
    proto = None
    if prototype:
        proto = SimpleNamespace(**runpy.run_path(prototype, run_name="damage_prototype"))
    figures = Counter({f: 0 for f in FAILURES})
    failures = []
    work = tempfile.mkdtemp(prefix="zez-damage-")
    try:
        healthy = None
        for n in range(cases):
            # A fresh healthy directory every len(KINDS) cases.
            if n % len(KINDS) == 0:
                healthy = os.path.join(work, f"healthy{n}")
                history, final, keys = build(healthy, seed * 7919 + n, operations)
            kind = KINDS[n % len(KINDS)]
            one_case(healthy, work, n, kind, seed, history, final, keys, figures, failures, proto)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return figures, failures


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--cases", type=int, default=500)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--operations", type=int, default=900)
    ap.add_argument("--prototype", help="a Python reference classifier to compare with")
    args = ap.parse_args()
    figures, failures = campaign(args.cases, args.seed, args.operations, args.prototype)
    for f in failures[:30]:
        print("FAIL", f)
    print(json.dumps(dict(sorted(figures.items())), indent=1))
    sys.exit(1 if any(figures[f] for f in FAILURES) or failures else 0)


if __name__ == "__main__":
    main()
