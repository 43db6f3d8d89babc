"""The installed maintenance command end to end: exit statuses, --json, and
the directory lock between it and the module."""

import json
import os
import subprocess
import sys
import time

import pytest

import _zezavezud as zz

TOOL = os.path.join(os.path.dirname(sys.executable), "zezavezud")
pytestmark = pytest.mark.skipif(not os.path.exists(TOOL), reason="zezavezud is not installed beside this interpreter")

EMPTY_DUMP = '{"zezavezud_dump":1}\n{"zezavezud_records":0}\n'


def tool(*args, input=None):
    return subprocess.run([TOOL, *args], capture_output=True, text=True, input=input, timeout=300)


def snapshot(directory):
    """Every file's bytes, by name (what a refused command must not change)."""
    return {name: open(os.path.join(directory, name), "rb").read()
            for name in sorted(os.listdir(directory)) if os.path.isfile(os.path.join(directory, name))}


def small_store(directory):
    db = zz.open(directory)
    db.set("users", "alice", {"name": "Ann", "best": zz.Link("posts/p1")})
    db.set("posts", "p1", {"title": "Hello", "author": zz.Link("users/alice")})
    db.set("posts", "p1", {"title": "Hello again", "author": zz.Link("users/alice")})
    return db


@pytest.mark.parametrize("args", [[], ["frobnicate", "d"], ["check"], ["check", "a", "b"],
                                  ["check", "--jsn", "d"], ["dump", "d", "-o"], ["stats", "--json=1", "d"]])
def test_a_wrong_command_line_is_a_usage_error(args):
    run = tool(*args)
    assert run.returncode == 16
    assert "usage: zezavezud" in run.stderr
    assert run.stdout == ""


@pytest.mark.parametrize("command", ["check", "stats", "dump", "repair", "compact"])
def test_a_missing_directory_is_an_operational_error_and_is_not_made(tmp_path, command):
    missing = tmp_path / "missing"
    run = tool(command, str(missing))
    assert run.returncode == 8
    assert "no such directory" in run.stderr
    assert not missing.exists()


def test_a_torn_tail_is_found_repaired_into_lost_and_found_and_then_clean(tmp_path):
    d = str(tmp_path / "db")
    small_store(d)
    cut = b"\x05\x00\x00\x00ali"  # a record cut short by a crash
    with open(os.path.join(d, "users.qdb"), "ab") as f:
        f.write(cut)
    with pytest.raises(RuntimeError, match="failed to fill whole buffer"):
        zz.open(d)

    check = tool("check", "--json", d)
    assert check.returncode == 4
    found = json.loads(check.stdout)["findings"]
    assert [(f["file"], f["kind"]) for f in found if f["severity"] == "damage"] == [("users.qdb", "torn tail")]

    assert tool("repair", d).returncode == 1
    assert tool("check", d).returncode == 0
    assert tool("repair", d).returncode == 0
    db = zz.open(d)
    assert db.get("users", "alice")["name"] == "Ann"
    assert db.backlinks("users", "alice") == [
        {"source_collection": "posts", "source_key": "p1", "source_path": "author"}]
    backups = os.listdir(os.path.join(d, "lost+found"))
    assert [open(os.path.join(d, "lost+found", b), "rb").read() for b in backups] == [cut]


@pytest.mark.parametrize("command", ["check", "stats", "repair", "compact"])
def test_json_output_is_one_document(tmp_path, command):
    d = str(tmp_path / "db")
    small_store(d)
    run = tool(command, "--json", d)
    assert run.returncode == 0, run.stderr
    assert isinstance(json.loads(run.stdout), dict)


@pytest.mark.parametrize("args", [["repair"], ["compact"], ["load", "--merge"]])
def test_a_directory_open_in_a_program_is_refused_and_left_unchanged(tmp_path, args):
    d = str(tmp_path / "db")
    db = small_store(d)
    before = snapshot(d)
    run = tool(*args, d, input=EMPTY_DUMP)
    assert run.returncode == 8
    assert "open in another program" in run.stderr
    assert snapshot(d) == before
    del db
    assert tool(*args, d, input=EMPTY_DUMP).returncode == 0


@pytest.mark.parametrize("command", ["check", "stats", "dump"])
def test_reading_commands_run_on_a_directory_in_use_and_warn(tmp_path, command):
    d = str(tmp_path / "db")
    db = small_store(d)
    run = tool(command, d)
    assert run.returncode == 0
    assert "in another program" in run.stderr
    del db


def exclusive_flock_of(pid, directory):
    """Whether /proc/locks shows process `pid` holding an exclusive flock on
    `directory` (looked up without taking a lock, which would race with it)."""
    inode = os.stat(directory).st_ino
    with open("/proc/locks") as f:
        for line in f:
            parts = line.split()
            # "1: FLOCK  ADVISORY  WRITE 1234 fd:01:5678 0 EOF"
            if parts[1:4] == ["FLOCK", "ADVISORY", "WRITE"] and parts[4] == str(pid) \
                    and parts[5].rsplit(":", 1)[1] == str(inode):
                return True
    return False


@pytest.mark.skipif(not os.path.exists("/proc/locks"), reason="needs /proc/locks to watch the lock")
def test_open_is_refused_at_once_while_a_maintenance_command_holds_the_directory(tmp_path):
    d = str(tmp_path / "db")
    small_store(d)
    # load takes the lock, then waits for its input: until the input ends,
    # the directory is held.
    proc = subprocess.Popen([TOOL, "load", "--merge", d], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + 60
        while not exclusive_flock_of(proc.pid, d):
            assert proc.poll() is None and time.monotonic() < deadline, "load never took the lock"
            time.sleep(0.01)
        with pytest.raises(RuntimeError) as e:
            zz.open(d)
        assert e.value.args == ("io: directory is being repaired, compacted or loaded",)
        out, err = proc.communicate(EMPTY_DUMP, timeout=120)
        assert proc.returncode == 0, err
    finally:
        proc.kill()
        proc.wait()
    assert zz.open(d).get("posts", "p1")["title"] == "Hello again"


# ---- Directory entries as open sees them ------------------------------------------


def _link_users_file(d, outside):
    os.rename(os.path.join(d, "users.qdb"), os.path.join(outside, "users.qdb"))
    os.symlink(os.path.join(outside, "users.qdb"), os.path.join(d, "users.qdb"))


# (entry, how it is made, open's error or None, status of check, dump, repair, compact)
ENTRY_CASES = {
    "link to a record file": ("users.qdb", _link_users_file, None, 0, 0, 0, 4),
    "dangling link": ("x.qdb", lambda d, o: os.symlink(os.path.join(o, "x.qdb"), os.path.join(d, "x.qdb")),
                      "io: No such file or directory (os error 2)", 4, 4, 4, 4),
    "directory named *.qdb": ("y.qdb", lambda d, o: os.mkdir(os.path.join(d, "y.qdb")),
                              "io: Is a directory (os error 21)", 4, 4, 4, 4),
    "directory named *.qbl": ("z.qbl", lambda d, o: os.mkdir(os.path.join(d, "z.qbl")), None, 4, 0, 4, 4),
}


@pytest.mark.parametrize("case", ENTRY_CASES, ids=list(ENTRY_CASES))
def test_the_tool_sees_each_directory_entry_as_open_does(tmp_path, case):
    entry, make, open_error, check_status, dump_status, repair_status, compact_status = ENTRY_CASES[case]
    d, outside = str(tmp_path / "db"), str(tmp_path / "outside")
    os.mkdir(outside)
    small_store(d)
    make(d, outside)
    outside_before = snapshot(outside)
    if open_error is None:
        assert zz.open(d).get("users", "alice")["name"] == "Ann"
    else:
        with pytest.raises(RuntimeError) as e:
            zz.open(d)
        assert e.value.args == (open_error,)

    check = tool("check", d)
    assert check.returncode == check_status, check.stdout
    if check_status == 0:
        assert check.stdout.endswith(": no damage found\n")
    else:
        assert "no damage found" not in check.stdout
        line = next(l for l in check.stdout.splitlines() if l.startswith(entry + ": cannot be opened: "))
        if open_error is not None:
            assert line.startswith(f"{entry}: cannot be opened: {open_error}; ")
    dump = tool("dump", d)
    assert dump.returncode == dump_status, dump.stderr
    assert '"alice"' in dump.stdout  # the records of users, linked or not
    before = snapshot(d)
    repair = tool("repair", d)
    assert repair.returncode == repair_status, repair.stderr
    compact = tool("compact", d)
    assert compact.returncode == compact_status, compact.stderr
    assert entry in compact.stderr
    assert snapshot(d) == before
    assert snapshot(outside) == outside_before
    assert os.path.lexists(os.path.join(d, entry))


def test_version_is_the_installed_packages():
    from importlib.metadata import version
    run = tool("--version")
    assert run.returncode == 0
    assert run.stdout == f"zezavezud {version('zezavezud')}\n"

