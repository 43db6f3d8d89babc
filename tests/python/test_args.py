import pytest

import _zezavezud as zz


def raises_type_error(call, text):
    with pytest.raises(TypeError) as excinfo:
        call()
    assert excinfo.value.args == (text,)


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda db: db.get("c"), "Database.get() missing 1 required positional argument: 'key'"),
        (lambda db: db.get(), "Database.get() missing 2 required positional arguments: 'collection' and 'key'"),
        (lambda db: db.set(), "Database.set() missing 3 required positional arguments: 'collection', 'key', and 'value'"),
        (lambda db: db.set("c", value=1), "Database.set() missing 1 required positional argument: 'key'"),
        (lambda db: db.resolve(key="k"), "Database.resolve() missing 2 required positional arguments: 'collection' and 'path'"),
        (lambda db: db.get("c", "k", "x"), "Database.get() takes 2 positional arguments but 3 were given"),
        (lambda db: db.set_many([], []), "Database.set_many() takes 1 positional arguments but 2 were given"),
        (lambda db: db.get("c", "k", bogus=1), "Database.get() got an unexpected keyword argument 'bogus'"),
        (lambda db: db.get("c", collection="d"), "Database.get() got multiple values for argument 'collection'"),
        (lambda db: db.backlinks("c", "k", key="k"), "Database.backlinks() got multiple values for argument 'key'"),
        (lambda db: zz.open(), "open() missing 1 required positional argument: 'path'"),
        (lambda db: zz.open("a", "b"), "open() takes 1 positional arguments but 2 were given"),
        (lambda db: zz.open(paths="a"), "open() got an unexpected keyword argument 'paths'"),
        (lambda db: zz.Link(), "Link.__new__() missing 1 required positional argument: 'path'"),
        (lambda db: zz.Link("a", None, 3), "Link.__new__() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda db: zz.Link(local={}), "Link.__new__() missing 1 required positional argument: 'path'"),
        (lambda db: zz.Link("a", path="b"), "Link.__new__() got multiple values for argument 'path'"),
    ],
)
def test_binding_errors(db, call, text):
    raises_type_error(lambda: call(db), text)


def test_binding_checks_positional_count_before_keywords(db):
    raises_type_error(
        lambda: db.get("c", "k", "x", bogus=1),
        "Database.get() takes 2 positional arguments but 3 were given",
    )


def test_binding_reports_keywords_before_missing_parameters(db):
    raises_type_error(lambda: db.set(bogus=1), "Database.set() got an unexpected keyword argument 'bogus'")


@pytest.mark.parametrize("method", ["begin", "commit"])
def test_methods_without_parameters_take_no_arguments(db, method):
    with pytest.raises(TypeError) as excinfo:
        getattr(db, method)(1)
    assert "takes no arguments" in excinfo.value.args[0]


@pytest.mark.parametrize(
    "call",
    [
        lambda db: db.set("c", "k", 1),
        lambda db: db.set(collection="c", key="k", value=1),
        lambda db: db.set(value=1, key="k", collection="c"),
        lambda db: db.set("c", value=1, key="k"),
        lambda db: db.set_many(ops=[("c", "k", 1)]),
    ],
)
def test_binding_by_position_and_keyword(db, call):
    call(db)
    assert db.get(key="k", collection="c") == 1
    assert db.resolve(path=[], key="k", collection="c") == 1


class StrSub(str):
    pass


def test_str_subclasses_are_text(db):
    db.set(StrSub("c"), StrSub("k"), 1)
    assert db.get("c", "k") == 1


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda db: db.get(1, "k"), "argument 'collection': 'int' object cannot be converted to 'PyString'"),
        (lambda db: db.get("c", b"k"), "argument 'key': 'bytes' object cannot be converted to 'PyString'"),
        (lambda db: db.set(None, "k", 1), "argument 'collection': 'NoneType' object cannot be converted to 'PyString'"),
        (lambda db: db.delete("c", 2.5), "argument 'key': 'float' object cannot be converted to 'PyString'"),
        (lambda db: db.backlinks(["c"], "k"), "argument 'collection': 'list' object cannot be converted to 'PyString'"),
        (lambda db: db.set_many((("c", "k", 1),)), "argument 'ops': 'tuple' object cannot be converted to 'PyList'"),
        (lambda db: db.resolve("c", "k", 5), "argument 'path': 'int' object cannot be converted to 'Sequence'"),
        (lambda db: db.resolve("c", "k", {"a": 1}), "argument 'path': 'dict' object cannot be converted to 'Sequence'"),
        (lambda db: db.resolve("c", "k", ["a", 1]), "argument 'path': 'int' object cannot be converted to 'PyString'"),
        (lambda db: zz.open(3), "argument 'path': 'int' object cannot be converted to 'PyString'"),
        (lambda db: zz.Link(3), "argument 'path': 'int' object cannot be converted to 'PyString'"),
        (lambda db: zz.Link("x", local=[1]), "argument 'local': 'list' object cannot be converted to 'PyDict'"),
        (lambda db: zz.Link("x", ()), "argument 'local': 'tuple' object cannot be converted to 'PyDict'"),
    ],
)
def test_argument_conversion_errors(db, call, text):
    raises_type_error(lambda: call(db), text)


def test_type_in_message_is_the_qualified_name(db):
    class Outer:
        class Inner:
            pass

    raises_type_error(
        lambda: db.get(Outer.Inner(), "k"),
        "argument 'collection': "
        "'test_type_in_message_is_the_qualified_name.<locals>.Outer.Inner' object "
        "cannot be converted to 'PyString'",
    )


def test_text_arguments_convert_in_parameter_order(db):
    raises_type_error(
        lambda: db.get(1, 2), "argument 'collection': 'int' object cannot be converted to 'PyString'"
    )


def test_lone_surrogate_argument_raises_encoder_error_without_prefix(db):
    with pytest.raises(UnicodeEncodeError) as excinfo:
        db.get("c", "\ud800")
    assert "argument" not in str(excinfo.value)


def test_path_given_as_str_is_refused(db):
    with pytest.raises(TypeError) as excinfo:
        db.resolve("c", "k", "a.b")
    assert excinfo.value.args[0].startswith("argument 'path': ")
    assert "str" in excinfo.value.args[0]


class BrokenSequence:
    def __len__(self):
        raise TypeError("no length today")

    def __getitem__(self, i):
        return "a"


class FailingItems:
    def __len__(self):
        return 1

    def __getitem__(self, i):
        try:
            raise KeyError("inner")
        except KeyError as e:
            raise TypeError("bad item") from e


def test_type_error_inside_path_conversion_gets_the_prefix(db):
    raises_type_error(lambda: db.resolve("c", "k", BrokenSequence()), "argument 'path': no length today")
    with pytest.raises(TypeError) as excinfo:
        db.resolve("c", "k", FailingItems())
    assert excinfo.value.args == ("argument 'path': bad item",)
    assert isinstance(excinfo.value.__cause__, KeyError)


@pytest.mark.parametrize("path", [["a", "b"], ("a", "b")])
def test_path_sequences(db, path):
    db.set("c", "k", {"a": {"b": 7}})
    assert db.resolve("c", "k", path) == 7
