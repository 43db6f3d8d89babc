"""A short kill -9 campaign (the full one: crash_campaign.py --kills 1000)."""

import crash_campaign


def test_killed_writers_lose_no_acknowledged_write():
    # Small values only: a kill in the middle of one large write() can leave
    # part of a record behind (see the large-transaction figures), which
    # this run is not about.
    figures, failures = crash_campaign.campaign(40, seed=7, profile="small", fresh_every=10)
    assert failures == []
    assert figures["kills"] == 40
    assert figures["lost"] == 0
    assert figures["acknowledged_writes"] > 0
    assert figures["in_flight"] > 0


def test_a_kill_inside_a_large_transaction_keeps_what_was_acknowledged_before_it():
    figures, failures = crash_campaign.campaign(6, seed=3, profile="large")
    assert figures["kills"] == 6
    assert figures["lost"] == 0
    # A kill can cut a record of the transaction short, and then the reopen
    # fails; every other reopen shows the data acknowledged before it.
    assert all("reopen failed: io: failed to fill whole buffer" in f for f in failures)
    assert figures["open_failures"] == len(failures)
