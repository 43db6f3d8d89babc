import pytest

import _zezavezud as zz


@pytest.mark.parametrize(
    "link, text",
    [
        (zz.Link("a.b"), 'Link("a.b")'),
        (zz.Link(""), 'Link("")'),
        (zz.Link("x", {"n": 1}), 'Link("x", local={...})'),
        (zz.Link("x", {}), 'Link("x")'),
        (zz.Link("x", local=None), 'Link("x")'),
        (zz.Link('q"b\\s\nl'), 'Link("q\\"b\\\\s\\nl")'),
        (zz.Link("it's é"), 'Link("it\'s é")'),
        (zz.Link("t\tr\r\x00"), 'Link("t\\tr\\r\\0")'),
        (zz.Link("\x07\u200b\u0301\u00a0"), 'Link("\\u{7}\\u{200b}\\u{301}\\u{a0}")'),
    ],
)
def test_link_repr(link, text):
    assert repr(link) == text


def test_link_attributes():
    link = zz.Link(path="users/alice", local={"n": [1, 2]})
    assert link.path == "users/alice"
    assert link.local == {"n": [1, 2]}
    assert zz.Link("x").local == {}


def test_link_local_is_a_new_dict_on_each_access():
    source = {"a": [1, 2]}
    link = zz.Link("p", source)
    source["a"].append(3)
    first = link.local
    first["a"].append(4)
    first["b"] = 1
    assert link.local == {"a": [1, 2]}
    assert link.local is not link.local


@pytest.mark.parametrize("attribute", ["path", "local"])
def test_link_attributes_are_read_only(attribute):
    link = zz.Link("x")
    with pytest.raises(AttributeError):
        setattr(link, attribute, "y")
    with pytest.raises(AttributeError):
        delattr(link, attribute)


def test_link_local_conversion_errors_are_unprefixed():
    with pytest.raises(TypeError) as excinfo:
        zz.Link("x", {"a": (1,)})
    assert excinfo.value.args == ("cannot convert tuple to a QuorvelDB value",)
    with pytest.raises(TypeError) as excinfo:
        zz.Link("x", {1: 1})
    assert excinfo.value.args == ("'int' object cannot be converted to 'PyString'",)


def test_link_accepts_dict_subclass_as_local():
    class D(dict):
        pass

    assert zz.Link("x", D(a=1)).local == {"a": 1}


def test_tombstone():
    assert bool(zz.TOMBSTONE) is False
    assert repr(zz.TOMBSTONE) == "TOMBSTONE"
    assert isinstance(zz.TOMBSTONE, zz.Tombstone)


def test_link_is_not_subclassable():
    with pytest.raises(TypeError):

        class Sub(zz.Link):  # noqa: F841
            pass
