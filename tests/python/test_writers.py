"""One writer per collection, and backlinks that reach the file with their
records inside a transaction."""

import subprocess
import sys

import pytest

import _zezavezud as zz
import tx_kill_campaign

REFUSED = r'io: collection "c" is being written by another Database'

WRITES = {
    "set": lambda db: db.set("c", "b", 2),
    "delete": lambda db: db.delete("c", "a"),
    "set_many": lambda db: db.set_many([("c", "b", 2)]),
    "set in a transaction": lambda db: (db.begin(), db.set("c", "b", zz.Link("t/x"))),
}


@pytest.mark.parametrize("write", WRITES.values(), ids=WRITES.keys())
def test_a_second_database_cannot_write_a_collection_the_first_writes(tmp_path, write):
    path = str(tmp_path / "db")
    first, second = zz.open(path), zz.open(path)
    first.set("c", "a", 1)
    with pytest.raises(RuntimeError, match=REFUSED):
        write(second)
    assert second.get("c", "a") == 1
    second.set("other", "k", 3)
    second.commit()
    assert second.backlinks("t", "x") == []
    del first
    second.set("c", "b", 4)
    del second
    db = zz.open(path)
    assert (db.get("c", "a"), db.get("c", "b"), db.get("other", "k")) == (1, 4, 3)


CHILD = """
import sys
import _zezavezud as zz
db = zz.open(sys.argv[1])
db.set("c", "child", 1)
print("written", flush=True)
sys.stdin.readline()
db.set("c", "child", 2)
print("written again", flush=True)
sys.stdin.readline()
"""


def test_a_writer_in_another_process_keeps_the_collection_until_it_ends(tmp_path):
    path = str(tmp_path / "db")
    child = subprocess.Popen(
        [sys.executable, "-c", CHILD, path], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True
    )
    try:
        assert child.stdout.readline() == "written\n"
        db = zz.open(path)
        with pytest.raises(RuntimeError, match=REFUSED):
            db.set("c", "parent", 1)
        child.stdin.write("\n")
        child.stdin.flush()
        assert child.stdout.readline() == "written again\n"
        # What the file held when this Database first used the collection.
        assert db.get("c", "child") == 1
        with pytest.raises(KeyError):
            db.get("c", "parent")
    finally:
        child.kill()
        child.wait()
    db.set("c", "parent", 1)
    del db
    assert zz.open(path).get("c", "child") == 2


def test_a_kill_between_writes_of_a_transaction_leaves_every_pushed_record_with_its_backlinks():
    figures = tx_kill_campaign.campaign(6, seed=11, self_kill=True)
    assert figures["kills"] == 6
    assert figures["not_opening"] == 0
    assert figures["disagreeing"] == 0
