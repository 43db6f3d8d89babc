"""set, set_many and get convert straight between objects and stored bytes
when they can, and through the Value route otherwise. These tests hold both
routes to one reference: the bytes written, the objects read back and every
error must be what the value encoding and the conversion rules prescribe.
"""
import itertools
import os
import random
import struct
import tempfile

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import _zezavezud as zz

# ---- a reference encoder and record reader, written from the format ---------


def ref_string(s):
    b = s.encode("utf-8")
    return struct.pack("<I", len(b)) + b


def ref_map_body(d):
    return struct.pack("<I", len(d)) + b"".join(ref_string(k) + ref_encode(v) for k, v in d.items())


def ref_encode(v):
    if v is None:
        return b"\x00"
    if isinstance(v, zz.Tombstone):
        return b"\x0c"
    if isinstance(v, zz.Link):
        return b"\x05" + ref_string(v.path) + ref_map_body(v.local)
    if type(v) is bool:
        return b"\x01" + bytes([v])
    if isinstance(v, int):
        return b"\x02" + struct.pack("<q", v)
    if isinstance(v, float):
        return b"\x03" + struct.pack("<d", v)
    if isinstance(v, str):
        return b"\x04" + ref_string(v)
    if isinstance(v, bytes):
        return b"\x06" + struct.pack("<I", len(v)) + bytes(v)
    if isinstance(v, list):
        return b"\x07" + struct.pack("<I", len(v)) + b"".join(ref_encode(e) for e in v)
    if isinstance(v, dict):
        return b"\x08" + ref_map_body(v)
    raise AssertionError(f"no reference encoding for {type(v)}")


def record(key, value_bytes):
    k = key.encode()
    return struct.pack("<I", len(k)) + k + struct.pack("<I", len(value_bytes)) + value_bytes


def last_value_bytes(path):
    """The value bytes of the last record in a record file."""
    data = open(path, "rb").read()
    pos, last = 0, None
    while pos < len(data):
        (key_len,) = struct.unpack_from("<I", data, pos)
        pos += 4 + key_len
        (value_len,) = struct.unpack_from("<I", data, pos)
        last = data[pos + 4 : pos + 4 + value_len]
        pos += 4 + value_len
    return last


def same(original, back):
    """`back` is what reading `original` must give: equal content, base types,
    floats bit for bit, dict keys in the same order, new Tombstones."""
    if isinstance(original, zz.Link):
        return type(back) is zz.Link and back.path == original.path and same(original.local, back.local)
    if isinstance(original, zz.Tombstone):
        return type(back) is zz.Tombstone and back is not zz.TOMBSTONE
    if type(original) is bool:
        return back is original
    for base in (int, str, bytes):
        if isinstance(original, base):
            return type(back) is base and back == original
    if isinstance(original, float):
        return type(back) is float and struct.pack("<d", back) == struct.pack("<d", original)
    if isinstance(original, list):
        return type(back) is list and len(back) == len(original) and all(map(same, original, back))
    if isinstance(original, dict):
        return (
            type(back) is dict
            and list(back) == list(original)
            and all(same(original[k], back[k]) for k in original)
        )
    return original is None and back is None


# ---- values of every kind, subclass instances included ----------------------


class IntSub(int):
    pass


class FloatSub(float):
    pass


class StrSub(str):
    pass


class BytesSub(bytes):
    pass


class ListSub(list):
    pass


class DictSub(dict):
    pass


# Short and long texts: ASCII, two-, three- and four-byte UTF-8.
texts = st.text(max_size=12) | st.text(
    alphabet=st.sampled_from("aZ\x00\x7f\x80é\u07ff\u0800\u20ac\uffff\U00010000\U0010ffff"), max_size=300
)
# A str subclass key sends the whole value down the Value route.
keys = texts | texts.map(StrSub)
scalars = (
    st.none()
    | st.booleans()
    | st.integers(-(2**63), 2**63 - 1)
    | st.integers(-(2**63), 2**63 - 1).map(IntSub)
    | st.floats(allow_nan=True)
    | st.floats().map(FloatSub)
    | texts
    | texts.map(StrSub)
    | st.binary(max_size=40)
    | st.binary(max_size=40).map(BytesSub)
    | st.just(zz.TOMBSTONE)
)
values = st.recursive(
    scalars,
    lambda children: st.lists(children, max_size=4)
    | st.lists(children, max_size=4).map(ListSub)
    | st.dictionaries(keys, children, max_size=4)
    | st.dictionaries(texts, children, max_size=4).map(DictSub)
    | st.builds(zz.Link, texts, st.dictionaries(texts, children, max_size=3)),
    max_leaves=25,
)


@pytest.fixture(scope="module")
def shared():
    with tempfile.TemporaryDirectory() as tmp:
        yield tmp, zz.open(tmp), itertools.count()


def reads_back(db, collection, key, value):
    """Whether reading the key gives `value` back (a Tombstone deletes)."""
    if isinstance(value, zz.Tombstone):
        with pytest.raises(KeyError) as excinfo:
            db.get(collection, key)
        return excinfo.value.args == ("key not found",)
    return same(value, db.get(collection, key))


PROPERTY = settings(
    deadline=None, database=None, suppress_health_check=[HealthCheck.function_scoped_fixture]
)


@settings(PROPERTY, max_examples=200)
@given(value=values)
def test_set_writes_the_reference_bytes_and_get_reads_the_value_back(shared, value):
    tmp, db, counter = shared
    key = f"k{next(counter)}"
    expected = ref_encode(value)
    db.set("c", key, value)
    assert last_value_bytes(os.path.join(tmp, "c.qdb")) == expected
    assert reads_back(db, "c", key, value)
    db.set_many([("m", key, value)])
    assert last_value_bytes(os.path.join(tmp, "m.qdb")) == expected
    assert reads_back(db, "m", key, value)


@settings(PROPERTY, max_examples=80)
@given(value=values)
def test_values_read_back_from_the_file_after_reopening(shared, value):
    tmp, db, counter = shared
    key = f"r{next(counter)}"
    db.set("r", key, value)
    assert reads_back(zz.open(tmp), "r", key, value)


def test_many_distinct_key_objects_encode_and_decode_by_their_own_text(db):
    # Enough keys, made afresh and dropped, to recycle every cached slot.
    for i in range(3000):
        value = {f"key{i}": i, f"other{i % 7}": [f"key{i}"]}
        db.set("c", "k", value)
        assert db.get("c", "k") == value


def test_str_subclass_keys_with_equal_text_collapse_to_the_later_value(db):
    # Unequal in Python, equal as text: only the Value route can merge them.
    class Distinct(str):
        __hash__ = str.__hash__

        def __eq__(self, other):
            return self is other

    value = {Distinct("a"): 1, "b": 2, Distinct("a"): 3}
    assert len(value) == 3
    db.set("c", "k", value)
    assert list(db.get("c", "k").items()) == [("a", 3), ("b", 2)]
    db.set_many([("c", "k2", [value])])
    assert db.get("c", "k2") == [{"a": 3, "b": 2}]


def test_links_written_directly_keep_their_backlinks(db):
    db.set("posts", "p1", {"meta": [zz.Link("users/alice/name")]})
    db.set_many([("posts", "p2", zz.Link("users/alice"))])
    sources = {(b["source_key"], b["source_path"]) for b in db.backlinks("users", "alice")}
    assert sources == {("p1", "meta/0"), ("p2", "")}
    db.set("posts", "p1", {"meta": []})
    db.set_many([("posts", "p2", None)])
    assert db.backlinks("users", "alice") == []


def ref_links(v, steps=()):
    """The (collection, key, source path) of every backlinked link in `v`, in
    the order a write lists them."""
    if isinstance(v, zz.Link):
        collection, _, rest = v.path.partition("/")
        key = rest.split("/")[0]
        if "/" in v.path and collection and not key.startswith("$"):
            yield collection, key, "/".join(steps)
        entries = v.local.items()
    elif isinstance(v, dict):
        entries = v.items()
    elif isinstance(v, list):
        entries = ((str(i), e) for i, e in enumerate(v))
    else:
        return
    for k, e in entries:
        yield from ref_links(e, steps + (k,))


# A target that can have no backlink file ("t\0/a") is refused whole: see
# test_hostile.
LINK_PATHS = ["t/a", "t/b/name", "t/", "t/$self", "/a", "none", "é/ü/x"]
LINK_KEYS = ["a", "b", "", "é", "x/y"]


def random_linked(rng, depth=0):
    """A value with links at random places, down to five levels."""
    r = rng.random()
    if depth == 5 or r < 0.2:
        return rng.choice([None, 1, "x", zz.Link(rng.choice(LINK_PATHS))])
    if r < 0.45:
        return [random_linked(rng, depth + 1) for _ in range(rng.randrange(4))]
    entries = {rng.choice(LINK_KEYS): random_linked(rng, depth + 1) for _ in range(rng.randrange(4))}
    return entries if r < 0.8 else zz.Link(rng.choice(LINK_PATHS), entries)


def test_every_link_of_a_written_value_is_backlinked_at_its_path(db):
    rng = random.Random(5)
    for n in range(300):
        value = random_linked(rng)
        expected = sorted(ref_links(value))
        targets = {(c, k) for c, k, _ in expected}

        def found(source):
            return sorted(
                (c, k, b["source_path"])
                for c, k in targets
                for b in db.backlinks(c, k)
                if (b["source_collection"], b["source_key"]) == source
            )

        db.set("s", f"k{n}", value)
        db.set_many([("m", f"k{n}", value)])
        assert found(("s", f"k{n}")) == found(("m", f"k{n}")) == expected
        db.set("s", f"k{n}", None)
        db.set_many([("m", f"k{n}", None)])
        assert found(("s", f"k{n}")) == found(("m", f"k{n}")) == []


# ---- errors: the same exceptions whichever route meets them -----------------


def surrogate_error(text):
    try:
        text.encode("utf-8")
    except UnicodeEncodeError as e:
        return e.args
    raise AssertionError("expected a surrogate")


DEEP = [0]
for _ in range(256):
    DEEP = [DEEP]
SELF = [1]
SELF.append(SELF)


@pytest.mark.parametrize(
    "value, exception, args",
    [
        ([1, 2**64], OverflowError, None),
        ({"a": "ok", "b": -(2**63) - 1}, OverflowError, None),
        (["x" * 200, "\ud800"], UnicodeEncodeError, surrogate_error("\ud800")),
        ({"ok": 1, "a\udfffb": 2}, UnicodeEncodeError, surrogate_error("a\udfffb")),
        ("é" * 200 + "\udc80", UnicodeEncodeError, surrogate_error("é" * 200 + "\udc80")),
        ({"a": 1, 2: 3}, TypeError, ("'int' object cannot be converted to 'PyString'",)),
        ({StrSub("a"): {b"k": 1}}, TypeError, ("'bytes' object cannot be converted to 'PyString'",)),
        ([1, (2,)], TypeError, ("cannot convert tuple to a QuorvelDB value",)),
        ({"s": {1}}, TypeError, ("cannot convert set to a QuorvelDB value",)),
        ([bytearray(b"x")], TypeError, ("cannot convert bytearray to a QuorvelDB value",)),
        (DEEP, TypeError, None),
        (SELF, TypeError, None),
    ],
)
def test_errors_are_raised_unchanged_by_set_and_set_many(db, value, exception, args):
    for write in (lambda: db.set("c", "k", value), lambda: db.set_many([("c", "k", value)])):
        with pytest.raises(exception) as excinfo:
            write()
        if args is not None:
            assert excinfo.value.args == args
        if exception is TypeError and args is None:
            assert excinfo.value.args[0].startswith("cannot convert a value nested deeper than 256")
    with pytest.raises(KeyError):
        db.get("c", "k")
    db.set("c", "k", {"after": "failure"})  # nothing left behind
    assert db.get("c", "k") == {"after": "failure"}


# ---- reading stored bytes: malformed input fails as the codec reports it -----


def nested(levels, inner):
    return b"\x07\x01\x00\x00\x00" * levels + inner


def u32(n):
    return struct.pack("<I", n)


LINK_WITH_LIST = b"\x05" + u32(3) + b"a/b" + u32(1) + u32(1) + b"x" + b"\x07" + u32(0)
TOO_DEEP = "codec: value nested deeper than 256 levels"
BAD_UTF8 = "codec: invalid UTF-8 in text field"
TRUNCATED = "codec: unexpected end of buffer"
INVALID_UTF8 = [b"\xc0\x80", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xe2\x82", b"\x80", b"\xf5\x80\x80\x80", b"a\xff"]


@pytest.mark.parametrize(
    "encoded, text",
    [
        (b"\x0d", "codec: unknown type byte: 0x0D"),
        (b"\x07\x02\x00\x00\x00\x00\xff", "codec: unknown type byte: 0xFF"),
        (b"\x08" + u32(1) + u32(1) + b"a" + b"\x0e", "codec: unknown type byte: 0x0E"),
        (b"\x05" + u32(0) + u32(1) + u32(1) + b"x" + b"\x0d", "codec: unknown type byte: 0x0D"),
        (b"\x07\xff\xff\xff\xff\x00", TRUNCATED),
        (b"\x08\xff\xff\xff\xff" + u32(0) + b"\x00", TRUNCATED),
        (nested(257, b"\x00"), TOO_DEEP),
        (nested(255, LINK_WITH_LIST), TOO_DEEP),
        (nested(256, b"\x05" + u32(0) + u32(0)), TOO_DEEP),
    ]
    + [(b"\x04" + u32(len(b)) + b, BAD_UTF8) for b in INVALID_UTF8]
    + [(b"\x08" + u32(1) + u32(len(b)) + b + b"\x00", BAD_UTF8) for b in INVALID_UTF8]
    + [(b"\x05" + u32(len(b)) + b + u32(0), BAD_UTF8) for b in INVALID_UTF8],
)
def test_malformed_stored_value_raises_key_error_with_codec_text(tmp_path, encoded, text):
    (tmp_path / "c.qdb").write_bytes(record("k", encoded))
    db = zz.open(str(tmp_path))
    with pytest.raises(KeyError) as excinfo:
        db.get("c", "k")
    assert excinfo.value.args == (text,)


RICH = {
    "t": "héllo \U0001F600",
    "l": [1, 2.5, None, True, b"\x00\x01"],
    "link": zz.Link("users/alice", {"n": [zz.TOMBSTONE]}),
    "m": {"": {"x": []}},
}


def test_every_truncation_of_a_stored_value_reads_as_unexpected_end(tmp_path):
    encoded = ref_encode(RICH)
    (tmp_path / "c.qdb").write_bytes(
        b"".join(record(f"k{n}", encoded[:n]) for n in range(1, len(encoded) + 1))
    )
    db = zz.open(str(tmp_path))
    for n in range(1, len(encoded)):
        with pytest.raises(KeyError) as excinfo:
            db.get("c", f"k{n}")
        assert excinfo.value.args == (TRUNCATED,)
    assert same(RICH, db.get("c", f"k{len(encoded)}"))


@pytest.mark.parametrize(
    "encoded, expected",
    [
        (b"\x00\xff", None),
        (b"\x01\x02", True),
        (b"\x04" + u32(2) + b"hi" + b"\x0d", "hi"),
        (
            b"\x08" + u32(3) + u32(1) + b"a" + b"\x02" + struct.pack("<q", 1)
            + u32(1) + b"b" + b"\x00" + u32(1) + b"a" + b"\x02" + struct.pack("<q", 2),
            {"a": 2, "b": None},
        ),
    ],
    ids=["trailing", "bool", "text-trailing", "duplicate-key"],
)
def test_stored_bytes_read_as_the_codec_defines(tmp_path, encoded, expected):
    (tmp_path / "c.qdb").write_bytes(record("k", encoded))
    back = zz.open(str(tmp_path)).get("c", "k")
    assert back == expected and type(back) is type(expected)
    if isinstance(expected, dict):
        assert list(back) == list(expected)  # the first position, the later value


@pytest.mark.parametrize(
    "encoded, levels, innermost",
    [(nested(256, b"\x00"), 256, None), (nested(254, LINK_WITH_LIST), 254, ("a/b", {"x": []}))],
    ids=["arrays", "link"],
)
def test_values_at_the_nesting_limit_read_back(tmp_path, encoded, levels, innermost):
    (tmp_path / "c.qdb").write_bytes(record("k", encoded))
    back = zz.open(str(tmp_path)).get("c", "k")
    for _ in range(levels):
        assert type(back) is list and len(back) == 1
        back = back[0]
    if innermost is None:
        assert back is None
    else:
        assert type(back) is zz.Link and (back.path, back.local) == innermost
