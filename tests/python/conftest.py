import subprocess
import sys
import textwrap

import pytest

import _zezavezud as zz


@pytest.fixture
def db(tmp_path):
    return zz.open(str(tmp_path / "db"))


def run_python(code, timeout=120):
    """Runs `code` in a fresh interpreter; returns the completed process."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
    )
