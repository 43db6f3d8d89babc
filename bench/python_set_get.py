"""Sets and gets per second from Python for small dict values.

Standalone (not part of the tests): python3 bench/python_set_get.py [N]
Outside a transaction every set ends with a system write of its record;
inside one, records gather in the collection's 64 KiB buffer.
"""
import sys
import tempfile
import time

import _zezavezud as zz


def rate(n, fn):
    start = time.perf_counter()
    fn()
    return n / (time.perf_counter() - start)


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    keys = [f"user{i:07d}" for i in range(n)]
    values = [{"name": f"User {i}", "age": i % 90, "active": True} for i in range(n)]
    with tempfile.TemporaryDirectory() as tmp:
        db = zz.open(f"{tmp}/plain")

        def sets():
            for k, v in zip(keys, values):
                db.set("users", k, v)

        def gets():
            for k in keys:
                db.get("users", k)

        def gets_cold():
            cold = zz.open(f"{tmp}/plain")  # reopened: every get reads the file
            for k in keys:
                cold.get("users", k)

        print(f"{n} small dict values, Python {sys.version.split()[0]}")
        print(f"  set outside a transaction: {rate(n, sets):>12,.0f} /s")
        print(f"  get (value cache)        : {rate(n, gets):>12,.0f} /s")
        print(f"  get (after reopening)    : {rate(n, gets_cold):>12,.0f} /s")

        tx = zz.open(f"{tmp}/tx")

        def sets_in_transaction():
            tx.begin()
            for k, v in zip(keys, values):
                tx.set("users", k, v)
            tx.commit()

        def set_many_in_transaction():
            tx.begin()
            tx.set_many([("users2", k, v) for k, v in zip(keys, values)])
            tx.commit()

        print(f"  set inside a transaction : {rate(n, sets_in_transaction):>12,.0f} /s")
        print(f"  set_many in a transaction: {rate(n, set_many_in_transaction):>12,.0f} /s")


if __name__ == "__main__":
    main()
