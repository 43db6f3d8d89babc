"""The type stubs as both common checkers read them: the calls a program
makes pass, and the calls the module refuses at run time are type errors."""

import json
import re
import subprocess
import sys
import textwrap

import pytest

# Lines marked "# E" must be errors, every other line must pass.
SAMPLE = textwrap.dedent("""\
    import _zezavezud as zz

    db = zz.open("d")
    rows: list[tuple[str, str, dict[str, str]]] = [("users", "alice", {"name": "Ann"})]
    db.set_many(rows)
    db.set_many([("users", "bob", 1), ("posts", "p1", {"author": zz.Link("users/bob")})])
    db.set_many((("users", "alice", 1),))  # E
    db.resolve("posts", "p1", ["author", "name"])
    db.resolve("posts", "p1", ("author", "name"))
    db.resolve("posts", "p1", [])
    db.resolve("posts", "p1", "author")  # E
    db.set("users", "carol", (1, 2))  # E
    db.backlinks("users", "alice")[0]["source_key"].upper()
    """)
MARKED = {n for n, line in enumerate(SAMPLE.splitlines(), 1) if line.endswith("# E")}


def mypy_errors(sample):
    run = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                          "--config-file", "/dev/null", str(sample)],
                         capture_output=True, text=True, cwd=sample.parent)
    return {int(n) for n in re.findall(r"^[^:\n]+:(\d+): error:", run.stdout, re.M)}, run.stdout


def pyright_errors(sample):
    (sample.parent / "pyrightconfig.json").write_text('{"typeCheckingMode": "standard"}')
    run = subprocess.run([sys.executable, "-m", "basedpyright", "--outputjson",
                          "--pythonpath", sys.executable, str(sample)],
                         capture_output=True, text=True, cwd=sample.parent)
    found = json.loads(run.stdout)["generalDiagnostics"]
    return {d["range"]["start"]["line"] + 1 for d in found if d["severity"] == "error"}, run.stdout


@pytest.mark.parametrize("checker", [mypy_errors, pyright_errors], ids=["mypy", "pyright"])
def test_the_checkers_pass_good_calls_and_refuse_bad_ones(tmp_path, checker):
    sample = tmp_path / "sample.py"
    sample.write_text(SAMPLE)
    errors, output = checker(sample)
    assert errors == MARKED, output
