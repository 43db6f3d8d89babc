"""The read-only inspector: get, keys, backlinks, resolve and collections,
beside a program that has the directory open and writes it."""

import json
import os
import subprocess
import sys

import pytest

import _zezavezud as zz

TOOL = os.path.join(os.path.dirname(sys.executable), "zezavezud")
pytestmark = pytest.mark.skipif(not os.path.exists(TOOL), reason="zezavezud is not installed beside this interpreter")

ODD_KEYS = ["", "two\nlines", "tab\there", 'say "hi"', "back\\slash", "ünï cödé", "a/b", "-dash"]


def tool(*args):
    return subprocess.run([TOOL, *args], capture_output=True, text=True, timeout=120)


def files(directory):
    return {n: open(os.path.join(directory, n), "rb").read() for n in sorted(os.listdir(directory))}


class Store:
    def __init__(self, directory):
        self.dir = directory
        self.db = zz.open(directory)


@pytest.fixture
def store(tmp_path):
    """A directory with a program (this one) holding it open."""
    s = Store(str(tmp_path / "db"))
    db = s.db
    db.set("users", "alice", {"name": "Ann", "age": 41, "raw": b"\x00\xff", "nan": float("nan")})
    db.set("posts", "p1", {"title": "Hi", "author": zz.Link("users/alice"), "tags": ["a", 1.5]})
    db.set("posts", "p2", {"author": zz.Link("users/nobody")})
    db.set("posts", "p2", {"author": zz.Link("users/alice"), "more": [zz.Link("users/alice")]})
    for n, key in enumerate(ODD_KEYS):
        db.set("odd", key, n)
    db.delete("odd", "-dash")
    return s


def test_get_spells_every_value_as_the_dump_does(store):
    d = store.dir
    dumped = [json.loads(line) for line in tool("dump", d).stdout.splitlines()[1:-1]]
    assert len(dumped) == 10
    for line in dumped:
        run = tool("get", d, line["c"], line["k"])
        assert (run.returncode, json.loads(run.stdout)) == (0, line["v"])
    assert json.loads(tool("get", d, "posts", "p1").stdout)["author"] == {
        "$link": {"path": "users/alice", "local": {}}}


@pytest.mark.parametrize("args, status, message", [
    (["get", "users", "bob"], 2, "key not found"),
    (["get", "odd", "--", "-dash"], 2, "key not found"),  # deleted
    (["get", "nothing", "x"], 2, "key not found"),
    (["keys", "nothing"], 2, "no collection"),
    (["backlinks", "a/b", "x"], 2, "no collection"),
    (["resolve", "users", "bob", "name"], 2, "storage: key not found"),
    (["resolve", "users", "alice", "age", "x"], 2, "field not found"),
    (["keys", "users", "--limit", "x"], 16, "--limit"),
])
def test_what_is_not_there_has_its_own_status_and_nothing_is_made(store, args, status, message):
    d = store.dir
    before = files(d)
    run = tool(args[0], d, *args[1:])
    assert (run.returncode, run.stdout) == (status, "")
    assert message in run.stderr
    assert files(d) == before


def test_resolve_walks_links_as_the_module_does(store):
    d, db = store.dir, store.db
    for fields in [["author", "name"], ["title"], ["nope"], ["tags"]]:
        run = tool("resolve", d, "posts", "p1", *fields)
        assert (run.returncode, json.loads(run.stdout)) == (0, db.resolve("posts", "p1", fields))
    assert json.loads(tool("resolve", d, "posts", "p1", "author").stdout)["age"] == 41
    run = tool("resolve", d, "odd", "", "--", "-x")  # a field of the int 0
    assert (run.returncode, run.stdout) == (2, "") and "field not found" in run.stderr
    # A link into a collection that has no file reads as null and makes none.
    db.set("posts", "p3", {"to": zz.Link("ghosts/g1")})
    assert tool("resolve", d, "posts", "p3", "to").stdout == "null\n"
    assert not os.path.exists(os.path.join(d, "ghosts.qdb"))


def test_odd_names_print_one_per_line_and_unambiguously(store):
    d, db = store.dir, store.db
    lines = tool("keys", d, "odd").stdout.splitlines()
    assert sorted(lines) == sorted(['""', '"two\\nlines"', '"tab\\there"', '"say \\"hi\\""',
                                    '"back\\\\slash"', "ünï cödé", "a/b"])
    assert tool("keys", d, "odd", "--count").stdout == "7\n"
    assert tool("keys", d, "odd", "--prefix", "t", "--count").stdout == "2\n"
    assert tool("keys", d, "odd", "--limit", "2").stdout.count("\n") == 2
    db.set("odd", "tab\there", {"x": zz.Link("users/alice")})
    assert tool("backlinks", d, "users", "alice").stdout.splitlines() == [
        "posts\tp1\tauthor", "posts\tp2\tauthor", "posts\tp2\tmore/0", 'odd\t"tab\\there"\tx']
    assert tool("backlinks", d, "users", "bob").stdout == ""


def test_beside_a_writer_each_command_sees_the_whole_records_written_so_far(store):
    d, db = store.dir, store.db
    assert tool("collections", d).stdout == "odd: 7 live, 2 dead\nposts: 2 live, 1 dead\nusers: 1 live, 0 dead\n"
    db.set("users", "bob", {"name": "Bob"})
    assert json.loads(tool("get", d, "users", "bob").stdout) == {"name": "Bob"}
    # A record the writer is still appending: only its first bytes are there.
    with open(os.path.join(d, "users.qdb"), "ab") as f:
        f.write(b"\x05\x00\x00\x00carol\x40")
    assert tool("keys", d, "users").stdout == "alice\nbob\n"
    assert tool("get", d, "users", "bob").returncode == 0
    assert tool("get", d, "users", "carol").returncode == 2
    # With no program holding the directory, the same bytes are damage.
    store.db = db = None
    run = tool("get", d, "users", "bob")
    assert run.returncode == 4 and "zezavezud check" in run.stderr
