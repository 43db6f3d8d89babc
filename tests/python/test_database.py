import fcntl
import gc
import os
import sys
import threading

import pytest

import _zezavezud as zz
from conftest import run_python


def key_error(call):
    with pytest.raises(KeyError) as excinfo:
        call()
    return excinfo.value.args


def test_open_creates_missing_parents(tmp_path):
    path = tmp_path / "a" / "b" / "c"
    zz.open(str(path))
    assert path.is_dir()


def test_open_of_uncreatable_directory_raises_runtime_error(tmp_path):
    blocker = tmp_path / "file"
    blocker.write_text("x")
    with pytest.raises(RuntimeError) as excinfo:
        zz.open(str(blocker / "db"))
    assert len(excinfo.value.args) == 1 and excinfo.value.args[0].startswith("io: ")


def test_open_fails_at_once_while_the_directory_is_locked_exclusively(tmp_path):
    fd = os.open(tmp_path, os.O_RDONLY)
    try:
        db = zz.open(str(tmp_path))
        # An open database holds its shared lock for as long as it lives.
        with pytest.raises(BlockingIOError):
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        del db
        gc.collect()
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        with pytest.raises(RuntimeError) as excinfo:
            zz.open(str(tmp_path))
        assert excinfo.value.args == ("io: directory is being repaired, compacted or loaded",)
        fcntl.flock(fd, fcntl.LOCK_UN)
        zz.open(str(tmp_path))
    finally:
        os.close(fd)


def test_get_of_missing_key_and_after_delete(db):
    assert key_error(lambda: db.get("c", "never")) == ("key not found",)
    db.set("c", "k", 1)
    assert db.delete("c", "k") is None
    assert key_error(lambda: db.get("c", "k")) == ("key not found",)


def test_set_of_tombstone_is_delete(db):
    db.set("c", "k", 1)
    assert db.set("c", "k", zz.TOMBSTONE) is None
    assert key_error(lambda: db.get("c", "k")) == ("key not found",)


def test_corrupt_record_reads_as_key_error_with_codec_text(tmp_path):
    (tmp_path / "c.qdb").write_bytes(b"\x01\x00\x00\x00k\x01\x00\x00\x00\x0d")
    db = zz.open(str(tmp_path))
    assert key_error(lambda: db.get("c", "k")) == ("codec: unknown type byte: 0x0D",)


def test_failed_set_leaves_database_untouched(db):
    with pytest.raises(TypeError) as excinfo:
        db.set("c", "k", (1, 2))
    assert excinfo.value.args == ("cannot convert tuple to a QuorvelDB value",)
    assert key_error(lambda: db.get("c", "k")) == ("key not found",)


def test_set_many_stops_at_first_failure_keeping_earlier_entries(db):
    with pytest.raises(TypeError) as excinfo:
        db.set_many([("c", "k1", 1), ("c", "k2", object()), ("c", "k3", 3)])
    assert excinfo.value.args == ("cannot convert object to a QuorvelDB value",)
    assert db.get("c", "k1") == 1
    for key in ("k2", "k3"):
        assert key_error(lambda: db.get("c", key)) == ("key not found",)


@pytest.mark.parametrize(
    "ops, exception, text",
    [
        ([["c", "k", 1]], TypeError, "set_many: expected list of (col, key, value) tuples"),
        ([("c", "k", 1), "x"], TypeError, "set_many: expected list of (col, key, value) tuples"),
        ([(1, "k", 1)], TypeError, "'int' object cannot be converted to 'PyString'"),
        ([("c", None, 1)], TypeError, "'NoneType' object cannot be converted to 'PyString'"),
        ([("c", "k")], IndexError, "tuple index out of range"),
        ([("c",)], IndexError, "tuple index out of range"),
        ([("c", "k", 2**64)], OverflowError, None),
    ],
)
def test_set_many_errors(db, ops, exception, text):
    with pytest.raises(exception) as excinfo:
        db.set_many(ops)
    if text is not None:
        assert excinfo.value.args == (text,)


# Each element's address is read one step early to prefetch its slots; an
# address that does not convert still fails only in its own turn, after the
# elements before it are written, with its own error.
@pytest.mark.parametrize(
    "bad, exception",
    [
        ((1, "k2", 2), TypeError),
        (("c", None, 2), TypeError),
        (("c", "\ud800", 2), UnicodeEncodeError),
    ],
)
def test_set_many_fails_on_a_later_address_in_its_turn(db, bad, exception):
    with pytest.raises(exception):
        db.set_many([("c", "k0", 0), ("c", "k1", 1), bad, ("c", "k3", 3)])
    assert db.get("c", "k1") == 1
    assert key_error(lambda: db.get("c", "k3")) == ("key not found",)


def test_set_many_short_tuple_converts_items_before_failing(db):
    with pytest.raises(TypeError):
        db.set_many([(1,)])  # item 0 is converted before item 1 is missed


def test_set_many_ignores_items_beyond_the_third_and_accepts_subclasses(db):
    class Ops(list):
        pass

    class Op(tuple):
        pass

    assert db.set_many(Ops([Op(("c", "k", 1, 2)), ("c", "j", [2])])) is None
    assert db.get("c", "k") == 1 and db.get("c", "j") == [2]
    assert db.set_many([]) is None


def test_repr_quotes_the_path_exactly_as_given(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    assert repr(zz.open("C:\\db\\x")) == 'Database("C:\\\\db\\\\x")'
    assert repr(zz.open('q"uote')) == 'Database("q\\"uote")'
    assert repr(zz.open("./rel/")) == 'Database("./rel/")'


@pytest.fixture
def blog(db):
    db.set("users", "alice", {"name": "Ann", "address": {"city": "Oslo"}})
    db.set("posts", "p1", {"author": zz.Link("users/alice"), "tags": [zz.Link("tags/t1")]})
    return db


def test_resolve_across_links(blog):
    assert blog.resolve("posts", "p1", ["author", "name"]) == "Ann"
    assert blog.resolve("posts", "p1", ["author"]) == blog.get("users", "alice")
    assert blog.resolve("users", "alice", ["age", "x"]) is None
    assert blog.resolve("posts", "p1", [])["author"].path == "users/alice"


@pytest.mark.parametrize(
    "collection, key, path, text",
    [
        ("users", "nobody", [], "storage: key not found"),
        ("users", "alice", ["name", "x"], "field not found"),
        ("posts", "p1", ["tags", "0"], "field not found"),
    ],
)
def test_resolve_errors_are_runtime_errors(blog, collection, key, path, text):
    with pytest.raises(RuntimeError) as excinfo:
        blog.resolve(collection, key, path)
    assert excinfo.value.args == (text,)


def test_resolve_self_keys_and_invalid_paths(db):
    db.set("customers", "c7", {"name": "Cy"})
    db.set("orders", "o1", {"customer_id": "c7", "customer": zz.Link("customers/$self.customer_id")})
    assert db.resolve("orders", "o1", ["customer", "name"]) == "Cy"
    db.set("orders", "o2", {"customer_id": 7, "customer": zz.Link("customers/$self.customer_id")})
    with pytest.raises(RuntimeError) as excinfo:
        db.resolve("orders", "o2", ["customer", "name"])
    assert excinfo.value.args == ("invalid path: $self.customer_id resolved to Int(7), expected TEXT",)
    db.set("bad", "b", zz.Link("users"))
    with pytest.raises(RuntimeError) as excinfo:
        db.resolve("bad", "b", [])
    assert excinfo.value.args == ("invalid path: users",)


def test_resolve_cycle(db):
    db.set("a", "x", zz.Link("a/y"))
    db.set("a", "y", zz.Link("a/x"))
    with pytest.raises(RuntimeError) as excinfo:
        db.resolve("a", "x", [])
    assert excinfo.value.args == ("cyclic link detected",)


def test_backlinks(blog):
    assert blog.backlinks("users", "alice") == [
        {"source_collection": "posts", "source_key": "p1", "source_path": "author"}
    ]
    assert list(blog.backlinks("users", "alice")[0]) == ["source_collection", "source_key", "source_path"]
    assert blog.backlinks("tags", "t1")[0]["source_path"] == "tags/0"
    assert blog.backlinks("users", "nobody") == []
    blog.delete("posts", "p1")
    assert blog.backlinks("users", "alice") == []


def test_transaction_defers_backlinks_but_not_reads(db):
    db.begin()
    db.set("posts", "p2", {"author": zz.Link("users/bob")})
    assert db.get("posts", "p2")["author"].path == "users/bob"
    assert db.backlinks("users", "bob") == []
    assert db.commit() is None
    assert db.backlinks("users", "bob")[0]["source_key"] == "p2"
    assert db.commit() is None  # commit without begin


def test_everything_survives_reopening(tmp_path):
    path = str(tmp_path / "db")
    db = zz.open(path)
    db.set("users", "alice", {"name": "Ann", "n": [1, 2.5, b"x", None, True]})
    db.set("posts", "p1", {"author": zz.Link("users/alice", {"cached": "Ann"})})
    db.set("c", "gone", 1)
    db.delete("c", "gone")
    db.begin()
    db.set("c", "in_tx", "buffered")
    del db
    gc.collect()
    db = zz.open(path)
    assert db.get("users", "alice") == {"name": "Ann", "n": [1, 2.5, b"x", None, True]}
    link = db.get("posts", "p1")["author"]
    assert (link.path, link.local) == ("users/alice", {"cached": "Ann"})
    assert db.get("c", "in_tx") == "buffered"
    assert key_error(lambda: db.get("c", "gone")) == ("key not found",)
    assert db.backlinks("users", "alice")[0]["source_key"] == "p1"
    assert sorted(os.listdir(path)) == ["c.qdb", "posts.qdb", "users.qbl", "users.qdb"]


def test_several_threads_share_one_database(db):
    errors = []

    def writer(t):
        try:
            for i in range(300):
                db.set("c", f"{t}-{i}", {"t": t, "i": i})
                assert db.get("c", f"{t}-{i}") == {"t": t, "i": i}
                if i % 50 == 0:
                    db.set_many([("c", f"{t}-m{i}", i)])
                    db.backlinks("c", "x")
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=writer, args=(t,)) for t in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
        assert not any(t.is_alive() for t in threads), "deadlock"
    finally:
        sys.setswitchinterval(old)
    assert errors == []
    for t in range(4):
        for i in range(300):
            assert db.get("c", f"{t}-{i}") == {"t": t, "i": i}


REENTRY_SCRIPT = """
import gc, sys, tempfile, threading, time
import _zezavezud as zz

db = zz.open(tempfile.mkdtemp())
db.set("c", "k", 1)
seen = []

class Reenter:
    def __init__(self):
        self.cycle = self
    def __del__(self):
        try:
            seen.append(("value", db.get("c", "k")))
        except RuntimeError as e:
            seen.append(("refused", e.args))

gc.collect()
gc.disable()
for _ in range(50):
    Reenter()
gc.enable()
gc.set_threshold(1)
for _ in range(20):
    try:
        db.set_many([("c", "k2", 2), ("c", "bad", object())])
    except TypeError:
        pass
gc.collect()
gc.set_threshold(700)
kinds = {kind for kind, _ in seen}
assert len(seen) == 50, seen
assert kinds <= {"value", "refused"}, seen
for kind, detail in seen:
    if kind == "refused":
        assert detail == ("Database is already in use by this thread: a call re-entered it "
                          "while another call on it was running (for example from a finalizer)",), detail
    else:
        assert detail == 1
assert db.get("c", "k2") == 2  # not poisoned
print("ok", sorted(kinds))
"""


def test_finalizer_reentering_the_same_database_does_not_deadlock():
    result = run_python(REENTRY_SCRIPT, timeout=60)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.startswith("ok")


CONTENTION_SCRIPT = """
import gc, sys, tempfile, threading, time
import _zezavezud as zz

db = zz.open(tempfile.mkdtemp())

class Sleepy:
    def __init__(self):
        self.cycle = self
    def __del__(self):
        time.sleep(0.0005)  # hands the interpreter lock to another thread

def worker(t):
    for i in range(200):
        Sleepy()
        try:
            db.set_many([("c", f"{t}-{i}", i), ("c", "bad", object())])
        except TypeError:
            pass
        db.set("d", f"{t}-{i}", i)

gc.set_threshold(5)
sys.setswitchinterval(1e-5)
threads = [threading.Thread(target=worker, args=(t,)) for t in range(4)]
for t in threads: t.start()
for t in threads: t.join()
for t in range(4):
    for i in range(200):
        assert db.get("c", f"{t}-{i}") == i and db.get("d", f"{t}-{i}") == i
print("ok")
"""


def test_threads_meeting_finalizers_inside_calls_do_not_deadlock():
    result = run_python(CONTENTION_SCRIPT, timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.strip() == "ok"


POISON_SCRIPT = """
import resource, tempfile
import _zezavezud as zz

db = zz.open(tempfile.mkdtemp())
other = zz.open(tempfile.mkdtemp())
db.set("c", "k", 1)
big = b"x" * (300 << 20)

def address_space():
    for line in open("/proc/self/status"):
        if line.startswith("VmSize:"):
            return int(line.split()[1]) * 1024

# Room for converting the value (one copy) but not for the engine's own
# copies, so memory runs out while the Database lock is held.
resource.setrlimit(resource.RLIMIT_AS, (address_space() + (450 << 20), resource.RLIM_INFINITY))
try:
    db.set("c", "big", big)
except BaseException as e:
    fault = e
resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
del big
assert type(fault).__bases__ == (BaseException,), type(fault).__mro__
assert not isinstance(fault, Exception)
assert type(fault).__doc__
assert type(fault).__name__ not in dir(zz)
print(fault.args)
for call in (lambda: db.get("c", "k"), lambda: repr(db), lambda: db.set("c", "k", 2)):
    try:
        call()
        raise SystemExit("poisoned Database accepted a call")
    except BaseException as e:
        assert type(e) is type(fault), e
        assert e.args[0].endswith("PoisonError { .. }"), e.args
other.set("c", "k", 3)
assert other.get("c", "k") == 3
print("ok")
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs RLIMIT_AS and /proc")
def test_internal_fault_under_the_lock_poisons_only_that_database():
    result = run_python(POISON_SCRIPT, timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.splitlines() == ["('out of memory (std::bad_alloc)',)", "ok"]
    assert "out of memory (std::bad_alloc)" in result.stderr
    assert "PoisonError { .. }" in result.stderr
