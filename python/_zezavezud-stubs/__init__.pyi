# Type stubs for the _zezavezud extension module.
from collections.abc import Iterator
from typing import Any, Final, Literal, Protocol, SupportsIndex, TypedDict, TypeVar, Union, final, overload

__all__ = ["Tombstone", "Link", "Database", "open", "TOMBSTONE"]

# What set() accepts. Containers are checked element by element at run time;
# `list` and `dict` are invariant, so their elements are typed loosely here.
_Storable = Union[
    None, bool, int, float, str, bytes, list[Any], dict[str, Any], Link, Tombstone
]

_T_co = TypeVar("_T_co", covariant=True)

# The field names resolve() takes: a list, a tuple or another sequence, but
# not a str, which is refused at run time although it is a sequence of str.
# A str does not match this protocol: its __contains__ and index() take only
# a str, where a sequence's take any object.
class _Segments(Protocol[_T_co]):
    @overload
    def __getitem__(self, index: SupportsIndex, /) -> _T_co: ...
    @overload
    def __getitem__(self, index: slice, /) -> _Segments[_T_co]: ...
    def __contains__(self, value: object, /) -> bool: ...
    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[_T_co]: ...
    def index(self, value: Any, start: int = 0, stop: int = ..., /) -> int: ...
    def count(self, value: Any, /) -> int: ...
    def __reversed__(self) -> Iterator[_T_co]: ...

class _Backlink(TypedDict):
    source_collection: str
    source_key: str
    source_path: str

@final
class Tombstone:
    """The deletion marker. Stored as a whole value it deletes the record;
    inside a list or dict it is an ordinary element. Not constructible: use
    TOMBSTONE, and test read-back markers with isinstance()."""

    def __bool__(self) -> Literal[False]: ...

@final
class Link:
    """A link to another record (or a field of it): `path` is
    "collection/key/field/...", where key may be "$self" or "$self.a.b".
    `local` holds values answered by the link itself during resolve()."""

    def __new__(cls, path: str, local: dict[str, Any] | None = None) -> Link: ...
    @property
    def path(self) -> str: ...
    @property
    def local(self) -> dict[str, Any]:
        """A new dict on each access."""

@final
class Database:
    """An open database directory. Made only by open(); lives until it is
    garbage collected (there is no close)."""

    def get(self, collection: str, key: str) -> Any:
        """The stored value; KeyError("key not found") when there is none."""

    def set(self, collection: str, key: str, value: _Storable) -> None:
        """Stores the value and brings the backlinks of its links up to date.

        The first write to a collection makes this Database its only writer
        until the Database is gone; a write to a collection that another
        Database (in this process or another) writes raises RuntimeError
        ("io: collection ... is being written by another Database") and
        stores nothing.

        A RuntimeError from a failed backlink write comes after the record
        was stored: the value is there, its backlinks may be stale, and
        `zezavezud check` finds them, `zezavezud repair` mends them.
        """
    # A list (at run time it must be one), whose values are checked when
    # they are written: with Any, a list[tuple[str, str, dict[str, str]]]
    # fits too, where a list of a narrower value type would not (list is
    # invariant).
    def set_many(self, ops: list[tuple[str, str, Any]]) -> None:
        """set() for each (collection, key, value) in order; stops at the
        first failure, leaving the earlier entries written."""

    def delete(self, collection: str, key: str) -> None: ...
    def resolve(self, collection: str, key: str, path: _Segments[str]) -> Any:
        """Walks the field names in `path` from the record, following links."""

    def begin(self) -> None: ...
    def commit(self) -> None:
        """Writes out every buffered record and the queued backlink changes.

        After a RuntimeError the transaction is still open: the writes stay
        buffered (and later plain set() calls join them) until a commit()
        succeeds, so retry commit() once the cause is gone. A Database
        dropped before that tries once more to write them out; if that
        fails too, they are lost without a word.
        """
    def backlinks(self, collection: str, key: str) -> list[_Backlink]: ...

def open(path: str) -> Database:
    """Opens (creating it with missing parents) the database directory."""

TOMBSTONE: Final[Tombstone]
