"""The stores the benchmark compares, each behind the same small interface.

Every adapter stores the same Python dicts under a (collection, key) address.
Byte stores hold them pickled (protocol 5) under "collection\\0key"; the peers
keep the reverse index of the link workload by hand, the way a user of them
would have to, and that upkeep is part of their write cost.
"""

import os
import pickle
import sqlite3

PICKLE = 5


def dumps(v):
    return pickle.dumps(v, protocol=PICKLE)


class Store:
    name = "?"

    def open(self, path):  # opens or creates the store under `path`
        raise NotImplementedError

    def close(self):
        raise NotImplementedError

    def put(self, col, key, value):  # one write, committed on its own
        raise NotImplementedError

    def bulk(self, items):  # many writes in one transaction or batch
        raise NotImplementedError

    def get(self, col, key):
        raise NotImplementedError

    def put_post(self, key, post, user_key):  # a post linking to users/user_key
        raise NotImplementedError

    def bulk_posts(self, items):  # [(key, post, user_key)] in one transaction
        raise NotImplementedError

    def who_links(self, user_key):  # [(collection, key, field)] linking to users/user_key
        raise NotImplementedError

    def author_name(self, post_key):
        raise NotImplementedError

    def files(self, path):
        out = []
        for root, _, names in os.walk(path):
            out += [os.path.join(root, n) for n in names]
        return out


class Zez(Store):
    name = "zezavezud"

    def __init__(self):
        import _zezavezud

        self.mod = _zezavezud

    def open(self, path):
        self.db = self.mod.open(path)

    def close(self):
        del self.db

    def put(self, col, key, value):
        self.db.set(col, key, value)

    def bulk(self, items):
        self.db.begin()
        self.db.set_many(items)
        self.db.commit()

    def get(self, col, key):
        return self.db.get(col, key)

    def _post(self, post, user_key):
        post = dict(post)
        post["author"] = self.mod.Link("users/" + user_key)
        return post

    def put_post(self, key, post, user_key):
        self.db.set("posts", key, self._post(post, user_key))

    def bulk_posts(self, items):
        self.db.begin()
        self.db.set_many([("posts", k, self._post(p, u)) for k, p, u in items])
        self.db.commit()

    def who_links(self, user_key):
        return [
            (b["source_collection"], b["source_key"], b["source_path"])
            for b in self.db.backlinks("users", user_key)
        ]

    def author_name(self, post_key):
        return self.db.resolve("posts", post_key, ["author", "name"])


class Sqlite(Store):
    name = "sqlite3"

    def open(self, path):
        os.makedirs(path, exist_ok=True)
        self.db = sqlite3.connect(os.path.join(path, "db.sqlite"), isolation_level=None)
        self.db.execute("PRAGMA journal_mode=WAL")
        self.db.execute("PRAGMA synchronous=OFF")
        self.db.execute(
            "CREATE TABLE IF NOT EXISTS records (col TEXT, key TEXT, value BLOB,"
            " PRIMARY KEY (col, key))"
        )
        self.db.execute(
            "CREATE TABLE IF NOT EXISTS links (target_col TEXT, target_key TEXT,"
            " source_col TEXT, source_key TEXT, source_path TEXT)"
        )
        self.db.execute("CREATE INDEX IF NOT EXISTS links_target ON links (target_col, target_key)")
        self.db.execute("CREATE INDEX IF NOT EXISTS links_source ON links (source_col, source_key)")

    def close(self):
        self.db.close()

    def put(self, col, key, value):
        self.db.execute("INSERT OR REPLACE INTO records VALUES (?, ?, ?)", (col, key, dumps(value)))

    def bulk(self, items):
        self.db.execute("BEGIN")
        self.db.executemany(
            "INSERT OR REPLACE INTO records VALUES (?, ?, ?)",
            ((c, k, dumps(v)) for c, k, v in items),
        )
        self.db.execute("COMMIT")

    def get(self, col, key):
        row = self.db.execute(
            "SELECT value FROM records WHERE col = ? AND key = ?", (col, key)
        ).fetchone()
        if row is None:
            raise KeyError(key)
        return pickle.loads(row[0])

    def _write_post(self, key, post, user_key):
        post = dict(post)
        post["author"] = ("users", user_key)
        self.db.execute("DELETE FROM links WHERE source_col = 'posts' AND source_key = ?", (key,))
        self.db.execute("INSERT OR REPLACE INTO records VALUES ('posts', ?, ?)", (key, dumps(post)))
        self.db.execute(
            "INSERT INTO links VALUES ('users', ?, 'posts', ?, 'author')", (user_key, key)
        )

    def put_post(self, key, post, user_key):
        self.db.execute("BEGIN")
        self._write_post(key, post, user_key)
        self.db.execute("COMMIT")

    def bulk_posts(self, items):
        self.db.execute("BEGIN")
        for k, p, u in items:
            self._write_post(k, p, u)
        self.db.execute("COMMIT")

    def who_links(self, user_key):
        return self.db.execute(
            "SELECT source_col, source_key, source_path FROM links"
            " WHERE target_col = 'users' AND target_key = ?",
            (user_key,),
        ).fetchall()

    def author_name(self, post_key):
        post = self.get("posts", post_key)
        col, key = post["author"]
        return self.get(col, key).get("name")


def _k(col, key):
    return col.encode() + b"\0" + key.encode()


def _bl(user_key, col, key, field):
    return b"\1bl\0users\0" + user_key.encode() + b"\0" + _k(col, key) + b"\0" + field.encode()


def _bl_prefix(user_key):
    return b"\1bl\0users\0" + user_key.encode() + b"\0"


class ByteStore(Store):
    """A sorted or hashed byte store: subclasses give get/put/delete/batch/scan."""

    def put(self, col, key, value):
        self._put(_k(col, key), dumps(value))

    def get(self, col, key):
        raw = self._get(_k(col, key))
        if raw is None:
            raise KeyError(key)
        return pickle.loads(raw)

    def _post_writes(self, key, post, user_key, old):
        """The (puts, deletes) that store a post and keep the reverse index."""
        deletes = []
        if old is not None:
            _, old_user = pickle.loads(old)["author"]
            deletes.append(_bl(old_user, "posts", key, "author"))
        post = dict(post)
        post["author"] = ("users", user_key)
        puts = [(_k("posts", key), dumps(post)), (_bl(user_key, "posts", key, "author"), b"")]
        return puts, deletes

    def put_post(self, key, post, user_key):
        puts, deletes = self._post_writes(key, post, user_key, self._get(_k("posts", key)))
        self._batch(puts, deletes)

    def bulk_posts(self, items):
        puts, deletes = [], []
        for k, p, u in items:
            pp, dd = self._post_writes(k, p, u, self._get(_k("posts", k)))
            puts += pp
            deletes += dd
        self._batch(puts, deletes)

    def bulk(self, items):
        self._batch([(_k(c, k), dumps(v)) for c, k, v in items], [])

    def who_links(self, user_key):
        prefix = _bl_prefix(user_key)
        out = []
        for raw in self._scan(prefix):
            col, key, field = raw[len(prefix) :].split(b"\0")
            out.append((col.decode(), key.decode(), field.decode()))
        return out

    def author_name(self, post_key):
        post = self.get("posts", post_key)
        col, key = post["author"]
        return self.get(col, key).get("name")


class Lmdb(ByteStore):
    name = "lmdb"

    def open(self, path):
        import lmdb

        self.env = lmdb.open(path, map_size=8 << 30, sync=False, metasync=False)

    def close(self):
        self.env.close()

    def _get(self, k):
        with self.env.begin() as t:
            return t.get(k)

    def _put(self, k, v):
        with self.env.begin(write=True) as t:
            t.put(k, v)

    def _batch(self, puts, deletes):
        with self.env.begin(write=True) as t:
            for k in deletes:
                t.delete(k)
            for k, v in puts:
                t.put(k, v)

    def _scan(self, prefix):
        with self.env.begin() as t:
            c = t.cursor()
            out = []
            if c.set_range(prefix):
                for k in c.iternext(values=False):
                    if not k.startswith(prefix):
                        break
                    out.append(bytes(k))
            return out


class LevelDB(ByteStore):
    name = "leveldb"

    def open(self, path):
        import plyvel

        self.db = plyvel.DB(path, create_if_missing=True)

    def close(self):
        self.db.close()

    def _get(self, k):
        return self.db.get(k)

    def _put(self, k, v):
        self.db.put(k, v)

    def _batch(self, puts, deletes):
        with self.db.write_batch() as b:
            for k in deletes:
                b.delete(k)
            for k, v in puts:
                b.put(k, v)

    def _scan(self, prefix):
        return list(self.db.iterator(prefix=prefix, include_value=False))


class RocksDB(ByteStore):
    name = "rocksdb"

    def open(self, path):
        import rocksdict

        self.mod = rocksdict
        self.db = rocksdict.Rdict(path, options=rocksdict.Options(raw_mode=True))

    def close(self):
        self.db.close()

    def _get(self, k):
        return self.db.get(k)

    def _put(self, k, v):
        self.db[k] = v

    def _batch(self, puts, deletes):
        wb = self.mod.WriteBatch(raw_mode=True)
        for k in deletes:
            wb.delete(k)
        for k, v in puts:
            wb.put(k, v)
        self.db.write(wb)

    def _scan(self, prefix):
        out = []
        it = self.db.iter()
        it.seek(prefix)
        while it.valid():
            k = it.key()
            if not k.startswith(prefix):
                break
            out.append(k)
            it.next()
        return out


class DiskCache(ByteStore):
    name = "diskcache"

    def open(self, path):
        import diskcache

        self.cache = diskcache.Cache(path)

    def close(self):
        self.cache.close()

    def _get(self, k):
        return self.cache.get(k)

    def _put(self, k, v):
        self.cache.set(k, v)

    def _batch(self, puts, deletes):
        with self.cache.transact():
            for k in deletes:
                self.cache.delete(k)
            for k, v in puts:
                self.cache.set(k, v)

    def _scan(self, prefix):
        # diskcache has no ordered scan; a user keeps the reverse index as one
        # list per target key instead.
        return [k for k in self.cache.get(b"\2" + prefix, [])]

    def _post_writes(self, key, post, user_key, old):
        raise NotImplementedError

    def put_post(self, key, post, user_key):
        with self.cache.transact():
            self._write_post(key, post, user_key)

    def bulk_posts(self, items):
        with self.cache.transact():
            for k, p, u in items:
                self._write_post(k, p, u)

    def _write_post(self, key, post, user_key):
        old = self.cache.get(_k("posts", key))
        if old is not None:
            _, old_user = pickle.loads(old)["author"]
            lst = self.cache.get(b"\2" + _bl_prefix(old_user), [])
            lst.remove(_bl(old_user, "posts", key, "author"))
            self.cache.set(b"\2" + _bl_prefix(old_user), lst)
        post = dict(post)
        post["author"] = ("users", user_key)
        self.cache.set(_k("posts", key), dumps(post))
        ref = b"\2" + _bl_prefix(user_key)
        lst = self.cache.get(ref, [])
        lst.append(_bl(user_key, "posts", key, "author"))
        self.cache.set(ref, lst)


ALL = [Zez, Sqlite, Lmdb, LevelDB, RocksDB, DiskCache]


def available():
    """The adapters whose library imports here, this library first."""
    out = []
    for cls in ALL:
        try:
            out.append(cls())
        except ImportError:
            continue
    mods = {"lmdb": "lmdb", "leveldb": "plyvel", "rocksdb": "rocksdict", "diskcache": "diskcache"}
    usable = []
    for s in out:
        mod = mods.get(s.name)
        if mod is not None:
            try:
                __import__(mod)
            except ImportError:
                continue
        usable.append(s)
    return usable
