"""A short damage campaign (the full one: damage_campaign.py --cases 500)."""

import os

import pytest

import damage_campaign


@pytest.mark.skipif(not os.access(damage_campaign.TOOL, os.X_OK), reason="zezavezud is not installed beside this interpreter")
def test_repair_saves_every_record_outside_the_damage_and_invents_none():
    # Two rounds of every kind, on two healthy directories.
    figures, failures = damage_campaign.campaign(2 * len(damage_campaign.KINDS), seed=5, operations=500)
    assert failures == []
    assert {f: figures[f] for f in damage_campaign.FAILURES} == dict.fromkeys(damage_campaign.FAILURES, 0)
    assert figures["cases"] == 2 * len(damage_campaign.KINDS)
    # Damage in the middle is what --salvage is for: the kinds that hit a
    # block or a length field inside the file took it at least once.
    assert figures["salvaged"] > 0
