import collections
import datetime
import enum
import math
import struct

import pytest

import _zezavezud as zz


def roundtrip(db, value):
    db.set("c", "k", value)
    return db.get("c", "k")


class IntSub(int):
    def __index__(self):
        raise AssertionError("conversion must not call Python code")


class FloatSub(float):
    def __float__(self):
        raise AssertionError("conversion must not call Python code")


class Color(enum.IntEnum):
    RED = 3


class BytesSub(bytes):
    """Lies about its length and content: conversion must read the real buffer."""

    def __len__(self):
        raise AssertionError("conversion must not call __len__")

    def __iter__(self):
        raise AssertionError("conversion must not call __iter__")

    def __getitem__(self, i):
        raise AssertionError("conversion must not call __getitem__")


class ListSub(list):
    def __iter__(self):
        raise AssertionError("conversion must not call __iter__")


class DictSub(dict):
    def items(self):
        raise AssertionError("conversion must not call items")


@pytest.mark.parametrize(
    "value",
    [
        None,
        True,
        False,
        0,
        1,
        -1,
        2**63 - 1,
        -(2**63),
        0.0,
        1.5,
        -2.25e300,
        float("inf"),
        float("-inf"),
        "",
        "plain",
        "é\u2028\x00\"\\'\U0001F600",
        b"",
        b"\x00\xff bytes",
        [],
        [None, [1, [2.5, "x"]], {"a": b"b"}],
        {},
        {"": 1, "a": {"b": [True, None]}, "é": "ü"},
    ],
)
def test_roundtrip_gives_equal_value_of_base_type(db, value):
    back = roundtrip(db, value)
    assert back == value
    assert type(back) is type(value)


def test_bool_is_not_stored_as_int(db):
    assert roundtrip(db, True) is True
    assert type(roundtrip(db, 1)) is int


def test_nan_and_negative_zero_survive(db):
    assert math.isnan(roundtrip(db, float("nan")))
    back = roundtrip(db, -0.0)
    assert back == 0.0 and math.copysign(1.0, back) == -1.0


@pytest.mark.parametrize("value", [2**63, -(2**63) - 1, 2**200])
def test_int_outside_64_bits_raises_overflow_error(db, value):
    with pytest.raises(OverflowError):
        db.set("c", "k", value)
    with pytest.raises(KeyError):
        db.get("c", "k")


@pytest.mark.parametrize(
    "make, expected, base",
    [
        (lambda: IntSub(7), 7, int),
        (lambda: Color.RED, 3, int),
        (lambda: FloatSub(1.25), 1.25, float),
        (lambda: BytesSub(b"real"), b"real", bytes),
        (lambda: ListSub([1, 2]), [1, 2], list),
        (lambda: DictSub(a=1), {"a": 1}, dict),
        (lambda: collections.OrderedDict([("b", 2), ("a", 1)]), {"a": 1, "b": 2}, dict),
    ],
    ids=["int", "IntEnum", "float", "bytes", "list", "dict", "OrderedDict"],
)
def test_subclasses_are_stored_as_their_base_kind(db, make, expected, base):
    back = roundtrip(db, make())
    assert back == expected and type(back) is base


@pytest.mark.parametrize(
    "value, name",
    [
        ((1, 2), "tuple"),
        ({1, 2}, "set"),
        (frozenset(), "frozenset"),
        (bytearray(b"x"), "bytearray"),
        (memoryview(b"x"), "memoryview"),
        (1j, "complex"),
        (range(3), "range"),
        (datetime.datetime(2020, 1, 1), "datetime"),
        (datetime.date(2020, 1, 1), "date"),
        (datetime.time(1, 2), "time"),
        (object(), "object"),
        (zz.Link, "type"),
        ([1, (2,)], "tuple"),
        ({"a": [{"b": {3}}]}, "set"),
    ],
)
def test_refused_types(db, value, name):
    with pytest.raises(TypeError) as excinfo:
        db.set("c", "k", value)
    assert excinfo.value.args == (f"cannot convert {name} to a QuorvelDB value",)


def test_refused_type_message_uses_name_not_qualname(db):
    class Local:
        pass

    with pytest.raises(TypeError) as excinfo:
        db.set("c", "k", Local())
    assert excinfo.value.args == ("cannot convert Local to a QuorvelDB value",)


def test_database_itself_is_refused(db):
    with pytest.raises(TypeError) as excinfo:
        db.set("c", "k", db)
    assert excinfo.value.args == ("cannot convert Database to a QuorvelDB value",)


@pytest.mark.parametrize(
    "value, type_name",
    [({1: "a"}, "int"), ({"ok": 1, b"k": 2}, "bytes"), ([{(1,): 2}], "tuple")],
)
def test_non_str_dict_key(db, value, type_name):
    with pytest.raises(TypeError) as excinfo:
        db.set("c", "k", value)
    assert excinfo.value.args == (f"'{type_name}' object cannot be converted to 'PyString'",)


@pytest.mark.parametrize("value", ["\ud800", ["a", "\udfff"], {"\ud800": 1}, {"k": "\ud800"}])
def test_lone_surrogate_raises_unicode_encode_error(db, value):
    with pytest.raises(UnicodeEncodeError):
        db.set("c", "k", value)


def nested_lists(levels, leaf=0):
    v = leaf
    for _ in range(levels):
        v = [v]
    return v


def nested_dicts(levels):
    v = 0
    for _ in range(levels):
        v = {"a": v}
    return v


DEPTH_MESSAGE = (
    "cannot convert a value nested deeper than 256 levels of lists, dicts and links "
    "(a list or dict that contains itself never ends)"
)


@pytest.mark.parametrize("make", [nested_lists, nested_dicts])
def test_deepest_accepted_nesting_reads_back(db, make):
    value = make(256)
    assert roundtrip(db, value) == value
    with pytest.raises(TypeError) as excinfo:
        db.set("c", "k2", make(257))
    assert excinfo.value.args == (DEPTH_MESSAGE,)


def test_link_counts_as_a_level_with_its_local_map(db):
    link = zz.Link("a/b", {"x": nested_lists(255)})  # 256 levels with the link
    assert roundtrip(db, link).local == link.local
    with pytest.raises(TypeError) as excinfo:
        db.set("c", "k2", [link])
    assert excinfo.value.args == (DEPTH_MESSAGE,)
    with pytest.raises(TypeError) as excinfo:
        zz.Link("a/b", {"x": nested_lists(256)})
    assert excinfo.value.args == (DEPTH_MESSAGE,)


def test_self_containing_list_and_dict_are_refused(db):
    a = [1]
    a.append(a)
    d = {}
    d["self"] = d
    for value in (a, d, [d]):
        with pytest.raises(TypeError) as excinfo:
            db.set("c", "k", value)
        assert excinfo.value.args == (DEPTH_MESSAGE,)
    with pytest.raises(KeyError):
        db.get("c", "k")


def test_stored_value_shares_nothing_with_python_objects(db):
    value = {"list": [1, 2]}
    db.set("c", "k", value)
    value["list"].append(3)
    first = db.get("c", "k")
    first["list"].append(4)
    assert db.get("c", "k") == {"list": [1, 2]}
    assert db.get("c", "k") is not first


def test_tombstone_inside_containers_reads_back_as_new_instance(db):
    back = roundtrip(db, [zz.TOMBSTONE, {"t": zz.TOMBSTONE}])
    assert isinstance(back[0], zz.Tombstone) and back[0] is not zz.TOMBSTONE
    assert isinstance(back[1]["t"], zz.Tombstone)
    assert not back[0] and repr(back[0]) == "TOMBSTONE"


def test_link_roundtrip(db):
    back = roundtrip(db, {"l": zz.Link("users/alice", {"n": [1, 2], "t": zz.TOMBSTONE})})
    link = back["l"]
    assert type(link) is zz.Link and link.path == "users/alice"
    assert link.local["n"] == [1, 2] and isinstance(link.local["t"], zz.Tombstone)


def record(key, value_bytes):
    k = key.encode()
    return struct.pack("<I", len(k)) + k + struct.pack("<I", len(value_bytes)) + value_bytes


@pytest.mark.parametrize(
    "encoded, expected",
    [
        (b"\x09" + struct.pack("<I", 4294967295), 4294967295),
        (b"\x0a" + struct.pack("<I", 86399), 86399),
        (b"\x0b" + struct.pack("<Q", 2**64 - 1), 2**64 - 1),
    ],
)
def test_date_time_kinds_read_as_non_negative_int(tmp_path, encoded, expected):
    (tmp_path / "c.qdb").write_bytes(record("k", encoded))
    db = zz.open(str(tmp_path))
    back = db.get("c", "k")
    assert back == expected and type(back) is int
    if expected >= 2**63:
        with pytest.raises(OverflowError):
            db.set("c", "k2", back)
    else:
        db.set("c", "k2", back)
        assert db.get("c", "k2") == expected
