"""Measures memory growth across many calls of each Database method.

    python3 tools/leak_check.py [CALLS]      (default 100000)

For each case: warm up, then read the resident set size (VmRSS) and
sys.getallocatedblocks(), make CALLS calls, and read both again. A leak of
one object per call shows as about CALLS blocks; a native leak as growing
RSS. The figures are printed, never asserted: the run is a measurement.
Needs the _zezavezud module importable (an installed wheel).
"""

import gc
import os
import sys
import tempfile

import _zezavezud as zz


def rss_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def expect(exception, call):
    def run(i):
        try:
            call(i)
        except exception:
            return
        raise AssertionError("no exception")

    return run


class Unconvertible:
    pass


def cases(db):
    linked = {"author": zz.Link("users/alice"), "tags": [zz.Link("tags/t1"), 1.5, b"x"]}
    other = {"author": zz.Link("users/bob"), "tags": [zz.Link("tags/t2"), None, "text"]}
    db.set("users", "alice", {"name": "Ann", "friend": zz.Link("users/bob")})
    db.set("users", "bob", {"name": "Bob"})
    db.set("posts", "p", linked)
    db.set("orders", "o", {"cid": "alice", "customer": zz.Link("users/$self.cid")})
    return [
        ("get", lambda i: db.get("posts", "p")),
        ("get KeyError", expect(KeyError, lambda i: db.get("posts", "missing"))),
        ("get bad name", expect(KeyError, lambda i: db.get("a/b", "k"))),
        # Alternating targets: every call removes one backlink and adds one.
        ("set with links", lambda i: db.set("posts", "p", linked if i % 2 else other)),
        ("set TypeError", expect(TypeError, lambda i: db.set("posts", "x", {"k": Unconvertible()}))),
        ("set too deep", expect(TypeError, lambda i: db.set("posts", "x", SELF_LIST))),
        ("set RuntimeError", expect(RuntimeError, lambda i: db.set("a/b", "k", 1))),
        ("set_many", lambda i: db.set_many([("posts", "q", linked if i % 2 else other),
                                            ("posts", "r", i)])),
        ("set_many TypeError", expect(TypeError, lambda i: db.set_many([("posts", "q", 1), "x"]))),
        ("delete", lambda i: db.delete("posts", "q")),
        ("delete RuntimeError", expect(RuntimeError, lambda i: db.delete("a\0b", "k"))),
        ("resolve via link", lambda i: db.resolve("posts", "p", ["author", "friend", "name"])),
        ("resolve $self", lambda i: db.resolve("orders", "o", ["customer", "name"])),
        ("resolve RuntimeError", expect(RuntimeError, lambda i: db.resolve("posts", "p", ["tags", "0"]))),
        ("backlinks", lambda i: db.backlinks("users", "alice")),
        ("backlinks RuntimeError", expect(RuntimeError, lambda i: db.backlinks("a/b", "k"))),
        ("begin/commit", lambda i: (db.begin(), db.set("posts", "t", i), db.commit())),
        ("repr", lambda i: repr(db)),
        ("Link", lambda i: zz.Link("a/b", {"x": [1, 2]}).local),
        ("open", lambda i: zz.open(small_dir).get("c", "k")),
        ("open RuntimeError", expect(RuntimeError, lambda i: zz.open(small_dir + "/c.qdb"))),
    ]


SELF_LIST = []
SELF_LIST.append(SELF_LIST)


def measure(call, calls):
    for i in range(min(1000, calls)):
        call(i)
    gc.collect()
    rss, blocks = rss_kib(), sys.getallocatedblocks()
    for i in range(calls):
        call(i)
    gc.collect()
    return rss_kib() - rss, sys.getallocatedblocks() - blocks


db_dir = tempfile.mkdtemp()
# Opening reads every record file, so `open` gets a directory of its own
# that does not grow with the other cases' writes.
small_dir = tempfile.mkdtemp()


def main():
    calls = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    db = zz.open(db_dir)
    zz.open(small_dir).set("c", "k", {"to": zz.Link("c/k")})
    print(f"{'case':24} {'calls':>8} {'RSS KiB':>9} {'blocks':>8}")
    for name, call in cases(db):
        rss, blocks = measure(call, calls)
        print(f"{name:24} {calls:8} {rss:+9} {blocks:+8}", flush=True)
    sizes = sum(os.path.getsize(os.path.join(db_dir, f)) for f in os.listdir(db_dir))
    print(f"database files: {sizes >> 10} KiB on disk (append-only logs grow by design)")


if __name__ == "__main__":
    main()
