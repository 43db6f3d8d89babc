"""`zezavezud dump` and `load` through the installed program: whatever the
module can store survives a dump and a load into a new directory, the two
dumps are the same text, and every line is JSON that Python reads."""

import gc
import json
import math
import os
import struct
import subprocess
import sys
import tempfile
import time

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import _zezavezud as zz

PROGRAM = os.path.join(os.path.dirname(sys.executable), "zezavezud")
pytestmark = pytest.mark.skipif(
    not os.path.exists(PROGRAM),
    reason=f"the zezavezud program is not installed beside the interpreter ({PROGRAM})",
)


def bits(f):
    return struct.unpack("<Q", struct.pack("<d", f))[0]


def from_bits(b):
    return struct.unpack("<d", struct.pack("<Q", b))[0]


# NaNs with every sign and payload, quiet or signalling.
nans = st.tuples(st.booleans(), st.integers(1, 2**52 - 1)).map(
    lambda t: from_bits((t[0] << 63) | 0x7FF0000000000000 | t[1])
)
texts = st.text(max_size=6)
map_keys = texts | texts.map(lambda s: "$" + s)
scalars = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(-(2**63), 2**63 - 1),
    st.sampled_from([-(2**63), 2**63 - 1, 0]),
    st.floats(),
    st.sampled_from([-0.0, math.inf, -math.inf]),
    nans,
    texts,
    st.binary(max_size=8),
)
values = st.recursive(
    scalars,
    lambda inner: st.one_of(
        st.lists(inner | st.just(zz.TOMBSTONE), max_size=4),
        st.dictionaries(map_keys, inner, max_size=4),
        st.dictionaries(map_keys, inner, min_size=1, max_size=1),
        st.builds(zz.Link, texts, st.dictionaries(map_keys, inner, max_size=3)),
    ),
    max_leaves=12,
)
# Names that can be file names: no "/" or NUL; "", "." and non-ASCII included.
collections = st.text(
    st.characters(exclude_categories=("Cs",), exclude_characters="/\0"), max_size=5
)
records = st.dictionaries(st.tuples(collections, texts), values, max_size=8)


def canon(v):
    """A form of a read-back value that compares floats by bit pattern and
    keeps bools apart from ints."""
    if isinstance(v, float):
        return ("float", bits(v))
    if isinstance(v, bool):
        return ("bool", v)
    if isinstance(v, zz.Link):
        return ("link", v.path, canon(v.local))
    if isinstance(v, zz.Tombstone):
        return ("tombstone",)
    if isinstance(v, list):
        return ("list", [canon(e) for e in v])
    if isinstance(v, dict):
        return ("dict", sorted((k, canon(e)) for k, e in v.items()))
    return (type(v).__name__, v)


def zezavezud(*args, stdin=b""):
    return subprocess.run([PROGRAM, *args], input=stdin, capture_output=True, timeout=120)


@settings(max_examples=30, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(records)
def test_dump_load_dump_gives_the_same_text_and_values(records):
    with tempfile.TemporaryDirectory() as tmp:
        source, target = os.path.join(tmp, "source"), os.path.join(tmp, "target")
        db = zz.open(source)
        for (collection, key), value in records.items():
            db.set(collection, key, value)
        del db
        gc.collect()  # releases the directory, so dump finds it idle

        first = zezavezud("dump", source)
        assert first.returncode == 0, first.stderr
        # Split on "\n" alone: str.splitlines() would also split inside
        # strings at characters such as U+0085 or U+2028.
        lines = first.stdout.split(b"\n")
        assert lines.pop() == b""
        parsed = [json.loads(line) for line in lines]
        assert parsed[0] == {"zezavezud_dump": 1}
        assert parsed[-1] == {"zezavezud_records": len(records)}
        assert [(r["c"], r["k"]) for r in parsed[1:-1]] == sorted(
            records, key=lambda ck: (ck[0].encode(), ck[1].encode())
        )

        loaded = zezavezud("load", target, stdin=first.stdout)
        assert loaded.returncode == 0, loaded.stderr
        out = os.path.join(tmp, "second.jsonl")
        second = zezavezud("dump", target, "-o", out)
        assert second.returncode == 0, second.stderr
        with open(out, "rb") as f:
            assert f.read() == first.stdout

        db = zz.open(target)
        for (collection, key), value in records.items():
            assert canon(db.get(collection, key)) == canon(value)


def test_bad_input_is_refused_and_creates_nothing(tmp_path):
    target = tmp_path / "target"
    r = zezavezud("load", str(target), stdin=b'{"zezavezud_dump":1}\n')
    assert r.returncode == 4
    assert r.stderr == b"zezavezud: stdin: no trailer line: the dump was cut short; nothing was loaded\n"
    assert not target.exists()


def dump_text(records):
    lines = [json.dumps({"zezavezud_dump": 1})]
    lines += [json.dumps({"c": c, "k": k, "v": v}) for c, k, v in records]
    lines.append(json.dumps({"zezavezud_records": len(records)}))
    return ("\n".join(lines) + "\n").encode()


@pytest.mark.parametrize(
    "prepare, records, status, message",
    [
        (
            None,
            [("users", "a", 1), ("posts", "a", 2), ("users", "a", 3)],
            4,
            'stdin:4: collection "users" key "a" appears twice, on lines 2 and 4: '
            "a dump holds each record once; nothing was loaded",
        ),
        (
            "foreign file",
            [("users", "a", 1)],
            8,
            "{target} is not empty: a load builds a new database in a missing or empty "
            "directory; use --merge to load into a database (nothing was changed)",
        ),
    ],
)
def test_load_refuses_before_writing_anything(tmp_path, prepare, records, status, message):
    target = tmp_path / "target"
    if prepare:
        target.mkdir()
        (target / "notes.txt").write_text("mine")
    r = zezavezud("load", str(target), stdin=dump_text(records))
    assert r.returncode == status
    assert r.stderr.decode() == "zezavezud: " + message.format(target=target) + "\n"
    assert sorted(os.listdir(tmp_path)) == (["target"] if prepare else [])
    if prepare:
        assert os.listdir(target) == ["notes.txt"]


def test_a_killed_load_leaves_no_database_and_the_next_load_finishes(tmp_path):
    """The kill lands once the load has marked its directory, or after the
    load has ended: every outcome is checked, so where it lands does not
    matter."""
    records = [("users", f"u{i}", {"n": i, "pad": "x" * 2000}) for i in range(6000)]
    dump = tmp_path / "dump.jsonl"
    dump.write_bytes(dump_text(records))
    target = tmp_path / "target"
    temp = tmp_path / "target.zezavezud-tmp"
    marker = temp / "zezavezud-load-in-progress"
    proc = subprocess.Popen([PROGRAM, "load", str(target), "-i", str(dump)],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        while proc.poll() is None and not marker.exists():
            time.sleep(0.001)
        proc.kill()
    finally:
        proc.wait(timeout=120)

    def complete(path):
        db = zz.open(str(path))
        ok = all(db.get(c, k) == v for c, k, v in records)
        del db
        gc.collect()
        return ok

    if target.exists():  # the load ended, or was killed after its rename
        assert complete(target)
        assert not temp.exists()
        return
    assert temp.exists()
    if not marker.exists():  # killed between the marker's removal and the rename
        assert complete(temp)
        return
    check = zezavezud("check", str(temp))
    assert check.returncode == 4
    assert b"zezavezud-load-in-progress: unfinished load: " in check.stdout
    again = zezavezud("load", str(target), "-i", str(dump))
    assert again.returncode == 0, again.stderr
    assert b"removed " + str(temp).encode() in again.stderr
    assert complete(target)
    assert not temp.exists()
