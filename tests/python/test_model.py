"""Model-based test: random sequences of set, delete, set_many, begin, commit,
resolve, backlinks and reopen, checked after every step against a small
model of what the database must hold: every record and every backlink list.

More examples than the test command runs:
    ZEZ_MODEL_EXAMPLES=5000 python -m pytest tests/python/test_model.py
"""

import os
import shutil
import tempfile
from collections import Counter

from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, rule

import _zezavezud as zz
from link_model import canon, extract_links

COLLECTIONS = ["a", "b"]
KEYS = ["x", "y", "z"]
# "f/g" as a single key and f -> g nested give the same source path.
FIELDS = ["f", "g", "ref", "f/g", ""]
LINK_PATHS = [
    "a/x", "a/y", "b/z", "a/x/f", "b/y/f/g", "a/", "a/$self", "b/$self",
    "a/$self.ref", "b/$self.f.ref", "a/$x", "a", "/x", "b/z/ref",
]
# Targets the backlinks can name: the keys, and the empty key of "a/".
TARGETS = [(c, k) for c in COLLECTIONS for k in KEYS + [""]]
MAX_LINK_DEPTH = 32

scalars = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(-(2**63), 2**63 - 1),
    st.floats(),
    st.sampled_from(["x", "y", "z", "w", ""]),
    st.binary(max_size=8),
    st.just(zz.TOMBSTONE),
)
simple_links = st.builds(zz.Link, st.sampled_from(LINK_PATHS))
links = st.builds(
    zz.Link,
    st.sampled_from(LINK_PATHS),
    st.dictionaries(st.sampled_from(FIELDS), scalars | simple_links, max_size=2),
)
values = st.recursive(
    scalars | links,
    lambda children: st.lists(children, max_size=3)
    | st.dictionaries(st.sampled_from(FIELDS), children, max_size=3),
    max_leaves=8,
)
stored_values = values.filter(lambda v: not isinstance(v, zz.Tombstone))
segments = st.lists(st.sampled_from(FIELDS + ["0", "name"]), max_size=3)


class ModelError(Exception):
    """An error the model expects, with the database's message."""


def simple_debug_text(v):
    """The debug text of the kinds whose text is easy to know; None else."""
    if v is None:
        return "Null"
    if isinstance(v, bool):
        return f"Bool({str(v).lower()})"
    if isinstance(v, int):
        return f"Int({v})"
    if isinstance(v, zz.Tombstone):
        return "Tombstone"
    return None


class Resolver:
    """Path resolution over the model's records, written from the rules
    rather than from the engine."""

    def __init__(self, records, start):
        self.records = records
        self.start = start

    def in_value(self, v, path, depth, nesting):
        if depth > MAX_LINK_DEPTH:
            raise ModelError("cyclic link detected")
        if not path:
            if isinstance(v, zz.Link):
                return self.follow(v, [], depth + 1, nesting)
            return v
        s, rest = path[0], path[1:]
        if v is None or isinstance(v, zz.Tombstone):
            return v
        if isinstance(v, dict):
            return self.in_value(v[s], rest, depth, nesting) if s in v else None
        if isinstance(v, zz.Link):
            if s in v.local:
                return self.in_value(v.local[s], rest, depth, nesting)
            return self.follow(v, path, depth + 1, nesting)
        raise ModelError("field not found")

    def follow(self, link, path, depth, nesting):
        if depth > MAX_LINK_DEPTH:
            raise ModelError("cyclic link detected")
        pieces = link.path.split("/")
        if len(pieces) < 2:
            raise ModelError("invalid path: " + link.path)
        key_part = pieces[1]
        if key_part == "$self":
            key = self.start[1]
        elif len(key_part) > 5 and key_part.startswith("$self."):
            key = self.self_key(key_part[6:], nesting)
        else:
            key = key_part
        if (pieces[0], key) not in self.records:
            return None
        return self.in_value(self.records[(pieces[0], key)], pieces[2:] + path, depth, nesting)

    def self_key(self, dotted, nesting):
        # Each nested "$self." key resolves afresh from depth 0; only the
        # nesting bounds a cycle through such keys.
        if nesting >= MAX_LINK_DEPTH:
            raise ModelError("cyclic link detected")
        if self.start not in self.records:
            raise ModelError("storage: key not found")
        got = self.in_value(self.records[self.start], dotted.split("."), 0, nesting + 1)
        if isinstance(got, str):
            return got
        shown = simple_debug_text(got)
        raise ModelError(f"invalid path: $self.{dotted} resolved to {shown}, expected TEXT"
                         if shown else f"invalid path: $self.{dotted} resolved to ")


class DatabaseModel(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.root = tempfile.mkdtemp(prefix="zez-model-")
        self.path = os.path.join(self.root, "db")
        self.db = zz.open(self.path)
        self.records = {}  # (collection, key) -> value as set
        self.expected_backlinks = {t: [] for t in TARGETS}
        self.pending = []  # backlink changes queued in a transaction
        self.in_tx = False

    def teardown(self):
        self.db = None
        shutil.rmtree(self.root, ignore_errors=True)

    # ---- the model ----------------------------------------------------------

    def apply(self, change):
        kind, target, row = change
        rows = self.expected_backlinks.setdefault(target, [])
        if kind == "add":
            rows.append(row)
        else:
            rows[:] = [r for r in rows if r != row]

    def model_set(self, c, k, v):
        old_links = extract_links(self.records[(c, k)]) if (c, k) in self.records else []
        new_links = [] if isinstance(v, zz.Tombstone) else extract_links(v)
        changes = [("remove", (tc, tk), (c, k, sp)) for tc, tk, sp in old_links
                   if (tc, tk, sp) not in new_links]
        changes += [("add", (tc, tk), (c, k, sp)) for tc, tk, sp in new_links
                    if (tc, tk, sp) not in old_links]
        if self.in_tx:
            self.pending += changes
        else:
            for change in changes:
                self.apply(change)
        if isinstance(v, zz.Tombstone):
            self.records.pop((c, k), None)
        else:
            self.records[(c, k)] = v

    def flush_pending(self):
        for change in self.pending:
            self.apply(change)
        self.pending = []
        self.in_tx = False

    # ---- rules --------------------------------------------------------------

    @rule(c=st.sampled_from(COLLECTIONS), k=st.sampled_from(KEYS), v=stored_values)
    def set(self, c, k, v):
        self.db.set(c, k, v)
        self.model_set(c, k, v)

    @rule(c=st.sampled_from(COLLECTIONS), k=st.sampled_from(KEYS))
    def delete(self, c, k):
        self.db.delete(c, k)
        self.model_set(c, k, zz.TOMBSTONE)

    @rule(ops=st.lists(st.tuples(st.sampled_from(COLLECTIONS), st.sampled_from(KEYS), values),
                       max_size=4))
    def set_many(self, ops):
        self.db.set_many(ops)
        for c, k, v in ops:
            self.model_set(c, k, v)

    @rule()
    def begin(self):
        self.db.begin()
        self.in_tx = True

    @rule()
    def commit(self):
        self.db.commit()
        self.flush_pending()

    @rule()
    def reopen(self):
        # Destruction (at once: the machine holds the only reference) writes
        # the buffers out and applies the queued changes.
        self.db = None
        self.flush_pending()
        self.db = zz.open(self.path)

    @rule(c=st.sampled_from(COLLECTIONS), k=st.sampled_from(KEYS), path=segments)
    def resolve(self, c, k, path):
        try:
            expected = ("value", canon(self.model_resolve(c, k, path)))
        except ModelError as e:
            expected = ("error", e.args[0])
        try:
            got = ("value", canon(self.db.resolve(c, k, path)))
        except RuntimeError as e:
            got = ("error", e.args[0])
        if expected[0] == "error" and expected[1].endswith(" resolved to "):
            assert got[0] == "error" and got[1].startswith(expected[1]), got
            assert got[1].endswith(", expected TEXT"), got
        else:
            assert got == expected

    @rule(c=st.sampled_from(COLLECTIONS), k=st.sampled_from(KEYS + [""]))
    def backlinks(self, c, k):
        got = [(b["source_collection"], b["source_key"], b["source_path"])
               for b in self.db.backlinks(c, k)]
        assert Counter(got) == Counter(self.expected_backlinks.get((c, k), [])), (c, k)

    def model_resolve(self, c, k, path):
        if (c, k) not in self.records:
            raise ModelError("storage: key not found")
        return Resolver(self.records, (c, k)).in_value(self.records[(c, k)], path, 0, 0)

    # ---- after every step ------------------------------------------------

    @invariant()
    def records_match(self):
        for c in COLLECTIONS:
            for k in KEYS:
                want = canon(self.records[(c, k)]) if (c, k) in self.records else "absent"
                try:
                    got = canon(self.db.get(c, k))
                except KeyError as e:
                    assert e.args == ("key not found",)
                    got = "absent"
                assert got == want, (c, k)

    @invariant()
    def every_backlink_list_matches(self):
        for target in TARGETS:
            self.backlinks(*target)


EXAMPLES = int(os.environ.get("ZEZ_MODEL_EXAMPLES", "200"))

DatabaseModel.TestCase.settings = settings(
    max_examples=EXAMPLES,
    stateful_step_count=30,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much],
    database=None,
)
TestDatabaseModel = DatabaseModel.TestCase
