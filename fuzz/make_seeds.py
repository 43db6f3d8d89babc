"""Writes the seed corpora of the fuzz targets (fuzz/corpus/<target>/).

Run from anywhere: python3 fuzz/make_seeds.py. The seeds are small,
hand-made inputs that reach each format's features; the fuzzers grow the
corpus from them.
"""
import pathlib
import struct

ROOT = pathlib.Path(__file__).resolve().parent / "corpus"


def u32(n):
    return struct.pack("<I", n)


def string(s):
    b = s.encode() if isinstance(s, str) else s
    return u32(len(b)) + b


def text(s):
    return b"\x04" + string(s)


def integer(n):
    return b"\x02" + struct.pack("<q", n)


def array(*items):
    return b"\x07" + u32(len(items)) + b"".join(items)


def map_body(entries):
    return u32(len(entries)) + b"".join(string(k) + v for k, v in entries)


def mapping(*entries):
    return b"\x08" + map_body(entries)


def link(path, *local):
    return b"\x05" + string(path) + map_body(local)


DECODE = {
    "map_array": mapping(("a", array(integer(1), text("hi")))),
    "link_local": link("a/b", ("x", b"\x01\x01")),
    "scalars": array(b"\x00", b"\x0c", b"\x01\x02", b"\x03" + struct.pack("<d", 1.5),
                     integer(-2), b"\x09" + u32(20000), b"\x0a" + u32(7),
                     b"\x0b" + struct.pack("<Q", 2**63), b"\x06" + string(b"\x00\xff")),
    "duplicate_key": mapping(("a", integer(1)), ("a", integer(2))),
    "unicode": mapping(("\u00e9\u4e2d\U0001f600", text("\u2028\U0010ffff"))),
    "nested": array(array(mapping(("k", array(link("c/k/f"))))), mapping()),
    "trailing": b"\x00\xff",
}


def record(key, value):
    k = key.encode()
    return u32(len(k)) + k + u32(len(value)) + value


RECORDS = {
    "set_then_delete": record("alice", integer(5)) + record("alice", b"\x0c"),
    "overwrite": record("k", integer(1)) + record("k", integer(2)) + record("", text("empty key")),
    "values": record("m", mapping(("author", link("users/alice")))) + record("l", array(b"\x00")),
    "empty": b"",
    "short_tail": record("a", b"\x00") + b"\x01\x00",
    # Found by fuzzing: deleting a record whose link names a collection
    # holding NUL failed after the delete was stored.
    "nul_collection_link": record("k", mapping(("to", link("a\0b/k")))),
}


def backlink(op, target, coll, key, path):
    return bytes([op]) + string(target) + string(coll) + string(key) + string(path)


BACKLINKS = {
    "add": backlink(1, "alice", "posts", "p1", "author"),
    "add_remove": backlink(1, "alice", "posts", "p1", "author")
    + backlink(1, "alice", "posts", "p2", "tags/0")
    + backlink(2, "alice", "posts", "p1", "author"),
    "twice_and_unknown_op": backlink(1, "k", "c", "s", "")
    + backlink(1, "k", "c", "s", "")
    + backlink(7, "k", "c", "s", ""),
    "empty": b"",
}


def db(records, path=""):
    out = bytes([len(records) - 1])
    for coll, key, value in records:
        k = key.encode()
        out += bytes([ord(coll) - ord("a"), len(k)]) + k + value
    return out + path.encode()


RESOLVE = {
    "field_through_link": db([("a", "p1", mapping(("author", link("b/alice")))),
                              ("b", "alice", mapping(("name", text("Ann"))))], "author|name"),
    "self_key": db([("a", "o1", mapping(("cid", text("c7")),
                                         ("customer", link("b/$self.cid")))),
                    ("b", "c7", mapping(("name", text("Cy"))))], "customer|name"),
    "cycle": db([("a", "x", link("a/y")), ("a", "y", link("a/x"))]),
    "local_and_fields": db([("c", "k", link("c/t/address", ("name", text("cached")))),
                            ("c", "t", mapping(("address", mapping(("city", text("Oslo"))))))],
                           "city"),
    # Each field's key is worked out through the next field's "$self." key:
    # exponential work unless those keys are remembered.
    "self_chain": db([("a", "s", mapping(*[(f"f{i}", link(f"a/$self.f{i + 1}.x"))
                                           for i in range(6)], ("f6", mapping(("x", text("s"))))))],
                     "f0|x"),
    "self_cycle": db([("a", "s", mapping(("f", link("a/$self.f.x"))))], "f"),
    # Found by fuzzing: storing a link to a collection holding NUL failed
    # after the record was stored.
    "nul_collection_link": db([("a", "k", link("b\0c/k")), ("b", "k", text("x"))], ""),
}


JSON = {
    "dump_line": b'{"collection":"users","key":"alice","value":{"name":"Ann","age":31,'
                 b'"tags":["a","b"],"score":1.5,"born":null,"admin":false}}',
    "escapes": rb'"\"\\\/\b\f\n\r\t\u0000\u001f\u00e9\u20AC"',
    "surrogate_pair": rb'["\ud83d\ude00","\uDBFF\uDFFF"]',
    "lone_surrogate": rb'["\ud800","\udc00x"]',
    "raw_utf8": '["\u00e9\u4e2d\U0001f600\u2028\x7f"]'.encode(),
    "bad_utf8": b'"\xc0\x80\xed\xa0\x80\xf5"',
    "int_limits": b"[9223372036854775807,-9223372036854775808,9223372036854775808,"
                  b"18446744073709551615,-0]",
    "int_overflow": b"[18446744073709551616,-9223372036854775809]",
    "doubles": b"[-0.0,1e308,1.7976931348623157e308,5e-324,1e-400,0.1,1E+2,-1.5e-7]",
    "double_overflow": b"[1e309]",
    "deep_arrays": b"[" * 1025 + b"]" * 1025,
    "deep_objects": b'{"a":' * 200 + b"0" + b"}" * 200,
    "not_rfc": b"[01,1.,.5,NaN,Infinity,]",
    "whitespace": b' \t\n{"a" : [ ] , "b":{},"a":true}\r\n x',
}


def repair_input(qdb, qbl):
    """The repair target's input: the record file's share, then both files."""
    return struct.pack("<H", len(qdb)) + qdb + qbl


def healthy_collection():
    """Records of collection c with links to each other, overwrites and a
    delete, a blob holding copies of records; and the backlinks they imply."""
    recs = [record("k%d" % i, mapping(("n", integer(i)), ("to", link("c/k%d" % (i // 2)))))
            for i in range(12)]
    recs.append(record("k3", text("overwritten")))
    recs.append(record("k5", b"\x0c"))
    recs.append(record("copies", b"\x06" + string(recs[0] + recs[1])))
    qdb = b"".join(recs)
    rows = [backlink(1, "k%d" % (i // 2), "c", "k%d" % i, "to")
            for i in range(12) if i not in (3, 5)]
    return qdb, b"".join(rows)


def repair_seeds():
    qdb, qbl = healthy_collection()
    mid = len(qdb) // 2
    flipped_key_len = bytearray(qdb)
    flipped_key_len[3] ^= 0x10
    flipped_value_len = bytearray(qdb)
    flipped_value_len[4 + 2 + 1] ^= 0x01
    junk = bytes((i * 151 + 7) % 256 for i in range(40))
    return {
        "healthy": repair_input(qdb, qbl),
        "cut": repair_input(qdb[:mid + 3], qbl),
        "zeroed_block_middle": repair_input(qdb[:mid] + bytes(24) + qdb[mid + 24:], qbl),
        "zeroed_block_end": repair_input(qdb[:-20] + bytes(20), qbl),
        "zeros_appended": repair_input(qdb + bytes(30), qbl),
        "random_block": repair_input(junk + qdb[len(junk):], qbl),
        "key_length_bit": repair_input(bytes(flipped_key_len), qbl),
        "value_length_bit": repair_input(bytes(flipped_value_len), qbl),
        "backlinks_deleted": repair_input(qdb, b""),
        "backlinks_cut": repair_input(qdb, qbl[:len(qbl) // 2 + 1]),
        "backlinks_zeroed": repair_input(qdb, qbl[:10] + bytes(20) + qbl[30:]),
        "zero_value_length": repair_input(record("x", b"") + qdb, qbl),
    }


def cache_ops(*ops):
    """Ops of the value_cache target: (op, key, length) each."""
    return bytes(b for op in ops for b in op)


# Writes (3-6), large ones (7), scan offsets (1), removals (0) and sheds (2).
VALUE_CACHE = {
    "fill_and_shed": cache_ops(*[(4, k, 200) for k in range(16)] * 12, *[(2, 0, 0)] * 30),
    "large_values": cache_ops(*[(7, k, 255) for k in range(16)], *[(2, 0, 0)] * 20,
                              *[(3, k, 9) for k in range(16)]),
    "overwrite_one_key": cache_ops(*[(5, 1, 250)] * 400, (2, 0, 0), (0, 1, 0)),
    "mixed": cache_ops(*[(i % 8, i * 7 % 16, i * 13 % 256) for i in range(600)]),
}


def main():
    for name, seeds in [("decode_value", DECODE), ("record_file", RECORDS),
                        ("backlink_file", BACKLINKS), ("resolve_links", RESOLVE),
                        ("json_reader", JSON), ("repair", repair_seeds()),
                        ("value_cache", VALUE_CACHE)]:
        d = ROOT / name
        d.mkdir(parents=True, exist_ok=True)
        for seed, data in seeds.items():
            (d / seed).write_bytes(data)


if __name__ == "__main__":
    main()
