"""A tiny blog on _zezavezud: users, posts and comments linked to each other.

Run it after installing the package: python3 examples/quickstart.py
"""
import tempfile

import _zezavezud as zz


def main():
    with tempfile.TemporaryDirectory() as tmp:
        path = f"{tmp}/blog"
        db = zz.open(path)
        print(f"opened {db!r}")

        # Records with links between them.
        db.set("users", "alice", {"name": "Alice", "city": "Oslo"})
        db.set("users", "bob", {"name": "Bob", "city": "Lima"})
        db.set("posts", "p1", {
            "title": "Hello, links",
            "author": zz.Link("users/alice"),
            # The key of this link is read from the post's own field "editor_id".
            "editor_id": "bob",
            "editor": zz.Link("users/$self.editor_id"),
        })
        print("post p1:", db.get("posts", "p1")["title"])

        # A transaction defers file writes and backlink updates until commit.
        db.begin()
        db.set_many([
            ("comments", "c1", {"text": "Nice!", "by": zz.Link("users/bob"), "on": zz.Link("posts/p1")}),
            ("comments", "c2", {"text": "Thanks", "by": zz.Link("users/alice"), "on": zz.Link("posts/p1")}),
        ])
        db.commit()
        print("comments written in one transaction")

        # Resolve walks field names across links.
        author = db.resolve("posts", "p1", ["author", "name"])
        editor_city = db.resolve("posts", "p1", ["editor", "city"])
        commenter = db.resolve("comments", "c1", ["by", "name"])
        print(f"p1 author: {author}; p1 editor lives in {editor_city}; c1 was written by {commenter}")

        # Backlinks: who links to a record, kept current on every write.
        on_p1 = sorted(b["source_key"] for b in db.backlinks("posts", "p1"))
        print(f"comments on p1: {on_p1}")

        # Reopen: everything was written to the directory.
        del db
        db = zz.open(path)
        assert db.get("comments", "c2")["text"] == "Thanks"
        assert db.resolve("comments", "c2", ["on", "author", "name"]) == "Alice"
        assert sorted(b["source_key"] for b in db.backlinks("posts", "p1")) == ["c1", "c2"]
        print("reopened: records, links and backlinks are all still there")

        db.delete("comments", "c1")
        try:
            db.get("comments", "c1")
        except KeyError as e:
            print(f"after delete, get('comments', 'c1') raises KeyError: {e.args[0]}")
        print("backlinks of p1 now:", [b["source_key"] for b in db.backlinks("posts", "p1")])


if __name__ == "__main__":
    main()
