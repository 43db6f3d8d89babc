"""The tool's JSON reader and writer held to Python's json module.

Runs the test-only json_echo program (built beside the engine tests), named
by ZEZ_JSON_ECHO: each input line is read by our reader into a stored value
and written back by our writer, or answered with "error: ...". What Python
writes, we read; what we write, Python reads back to the same values, floats
to the bit, with map keys in byte order.
"""

import json
import math
import os
import struct
import subprocess

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

ECHO = os.environ.get("ZEZ_JSON_ECHO")
pytestmark = pytest.mark.skipif(
    not ECHO, reason="ZEZ_JSON_ECHO does not name the json_echo program (build/engine/json_echo)"
)

INT64_MIN, INT64_MAX, UINT64_MAX = -(2**63), 2**63 - 1, 2**64 - 1


def echo(lines):
    """Our answer to each line (bytes or str), in order."""
    data = b"".join((l if isinstance(l, bytes) else l.encode()) + b"\n" for l in lines)
    out = subprocess.run([ECHO], input=data, capture_output=True, check=True, timeout=60).stdout
    answers = out.decode("utf-8").split("\n")
    assert answers.pop() == ""
    assert len(answers) == len(lines)
    return answers


def same(a, b):
    """Equal and of the same types throughout; floats by bit pattern. `a`,
    which our writer wrote, has its map keys in byte order."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return struct.pack("<d", a) == struct.pack("<d", b)
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        keys = sorted(b, key=lambda k: k.encode("utf-8"))
        return list(a) == keys and all(same(a[k], b[k]) for k in a)
    return a == b


def assert_round_trips(values):
    lines = [json.dumps(v, ensure_ascii=ascii) for v in values for ascii in (False, True)]
    for line, answer in zip(lines, echo(lines)):
        assert not answer.startswith("error:"), (line, answer)
        assert same(json.loads(answer), json.loads(line)), (line, answer)


EDGE_VALUES = [
    0.0, -0.0, 5e-324, -5e-324, 2.2250738585072014e-308, 1.7976931348623157e308,
    -1.7976931348623157e308, 1e16, 1e-7, 0.1, 1.2345678901234568e20, 123456.0, 2.0**53 + 2,
    0, -1, INT64_MAX, INT64_MIN,
    "", "\x00\x1f\x7f\b\f\n\r\t", '"\\/', "\u2028\u2029\ufeff", "\U0001f600\U0010ffff", "\u00e9",
    [[[]]], {"": {}}, {"b": [1, {"a": None}], "\U0001f600": [True, False], "a": {}},
    {"$": 1, "$a": 2}, {"a$": 1},
]


def test_edge_values_round_trip():
    assert_round_trips(EDGE_VALUES)


# A map whose one key starts with "$" would spell a tagged value.
json_values = st.recursive(
    st.none() | st.booleans() | st.integers(INT64_MIN, INT64_MAX)
    | st.floats(allow_nan=False, allow_infinity=False) | st.text(),
    lambda inner: st.lists(inner, max_size=5)
    | st.dictionaries(st.text(), inner, max_size=5).filter(
        lambda d: len(d) != 1 or not next(iter(d)).startswith("$")
    ),
    max_leaves=30,
)


@settings(max_examples=150, deadline=None)
@given(st.lists(json_values, min_size=1, max_size=10))
def test_what_python_writes_round_trips(values):
    assert_round_trips(values)


# Python's json refuses these as well: RFC 8259 has no such texts.
REFUSED_BY_BOTH = [
    ("01", "invalid number"),
    ("-01", "invalid number"),
    ("1.", "invalid number"),
    (".5", "unexpected character"),
    ("[1,]", "unexpected character"),
    ('{"a":1,}', "unexpected character"),
    ('"a\tb"', "control character in string"),
    ('"\\x"', "invalid escape"),
    ('"abc', "unterminated string"),
    ("[1] 2", "trailing characters"),
    (b'"\xff"', "invalid utf-8"),
    (b'"\xc0\x80"', "invalid utf-8"),
]

# Python's json reads these, into values no dump holds: non-finite floats,
# strings with lone surrogates (it decodes bytes with "surrogatepass"),
# integers beyond int64, maps with a key twice.
LENIENT_IN_PYTHON = [
    (b'"\xed\xa0\x80"', "invalid utf-8"),
    ("NaN", "unexpected character"),
    ("Infinity", "unexpected character"),
    ("-Infinity", "invalid number"),
    ("1e400", "number out of range"),
    ('"\\ud800"', "unpaired surrogate escape"),
    ('"\\udc00"', "unpaired surrogate escape"),
    ('"\\ud800\\u0041"', "unpaired surrogate escape"),
    (str(INT64_MAX + 1), "integer out of the 64-bit signed range"),
    (str(UINT64_MAX), "integer out of the 64-bit signed range"),
    (str(UINT64_MAX + 1), "number out of range"),
    (str(INT64_MIN - 1), "number out of range"),
    ('{"a":1,"a":2}', "a map holds a key twice"),
]


@pytest.mark.parametrize("text, message", REFUSED_BY_BOTH)
def test_refused_by_both(text, message):
    with pytest.raises(ValueError):
        json.loads(text)
    assert echo([text])[0].startswith(f"error: {message} at byte ")


@pytest.mark.parametrize("text, message", LENIENT_IN_PYTHON)
def test_refused_where_python_is_lenient(text, message):
    value = json.loads(text)
    assert (
        (isinstance(value, float) and not math.isfinite(value))
        or (isinstance(value, int) and not INT64_MIN <= value <= INT64_MAX)
        or value == {"a": 2}
        or (isinstance(value, str) and any(0xD800 <= ord(c) <= 0xDFFF for c in value))
    )
    assert echo([text])[0].startswith(f"error: {message} at byte ")
