"""What the database should hold, computed independently of it: the links a
value holds (with their source paths) and the backlinks a set of records
implies. Shared by the model-based test and the crash campaign."""

from collections import Counter

import _zezavezud as zz

ABSENT = ("absent",)


def extract_links(value):
    """The (target collection, target key, source path) of every link in
    `value`, depth first: list items in order, dict and `local` entries in
    their order, a link before the links inside its own `local`."""
    out = []
    _walk(value, [], out)
    return out


def _walk(value, segments, out):
    if isinstance(value, zz.Link):
        path = value.path
        first = path.find("/")
        # No "/", an empty collection, or a key starting with "$" ("$self",
        # "$self.x", ...) names no fixed record.
        if first > 0:
            key = path[first + 1:].split("/", 1)[0]
            if not key.startswith("$"):
                out.append((path[:first], key, "/".join(segments)))
        for k, child in value.local.items():
            _walk(child, segments + [k], out)
    elif isinstance(value, dict):
        for k, child in value.items():
            _walk(child, segments + [k], out)
    elif isinstance(value, list):
        for i, child in enumerate(value):
            _walk(child, segments + [str(i)], out)


def canon(value):
    """A comparable form of a stored value (links and tombstones compare by
    identity in the module)."""
    if isinstance(value, zz.Link):
        return ("link", value.path, canon(value.local))
    if isinstance(value, zz.Tombstone):
        return ("tombstone",)
    if isinstance(value, dict):
        return ("dict", tuple(sorted((k, canon(v)) for k, v in value.items())))
    if isinstance(value, list):
        return ("list", tuple(canon(v) for v in value))
    if isinstance(value, float):
        return ("float", value.hex())
    return (type(value).__name__, value)


def backlink_rows(collection, key, value):
    """The backlinks one record implies, as a Counter of
    (target collection, target key, source collection, source key, source path)."""
    return Counter((tc, tk, collection, key, sp) for tc, tk, sp in extract_links(value))


def stored_backlinks(db, targets):
    """The backlinks the database holds for every (collection, key) in
    `targets`, as a Counter of rows like backlink_rows'."""
    rows = Counter()
    for collection, key in targets:
        for b in db.backlinks(collection, key):
            rows[(collection, key, b["source_collection"], b["source_key"], b["source_path"])] += 1
    return rows


def rows_of_source(rows, source):
    return Counter({r: n for r, n in rows.items() if (r[2], r[3]) == source})
