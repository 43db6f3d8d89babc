import shutil
import subprocess
import sys

import pytest

import _zezavezud as zz
from conftest import run_python


def test_all_lists_the_five_names_in_order():
    assert zz.__all__ == ["Tombstone", "Link", "Database", "open", "TOMBSTONE"]
    for name in zz.__all__:
        assert hasattr(zz, name)


def test_module_docstring_is_empty():
    assert zz.__doc__ == ""


def test_second_initialisation_raises_import_error():
    result = run_python(
        """
        import sys
        import _zezavezud
        del sys.modules["_zezavezud"]
        try:
            import _zezavezud
        except ImportError as e:
            print("ImportError:", e)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == (
        "ImportError: _zezavezud may only be initialised once per interpreter process"
    )


def test_import_emits_no_warning():
    strict = subprocess.run(
        [sys.executable, "-W", "error", "-c", "import _zezavezud"], capture_output=True, text=True
    )
    assert strict.returncode == 0, strict.stderr


@pytest.mark.parametrize(
    "obj, signature",
    [
        (zz.open, "(path)"),
        (zz.Link, "(path, local=None)"),
        (zz.Database.get, "($self, collection, key)"),
        (zz.Database.set, "($self, collection, key, value)"),
        (zz.Database.set_many, "($self, ops)"),
        (zz.Database.delete, "($self, collection, key)"),
        (zz.Database.resolve, "($self, collection, key, path)"),
        (zz.Database.begin, "($self)"),
        (zz.Database.commit, "($self)"),
        (zz.Database.backlinks, "($self, collection, key)"),
    ],
)
def test_text_signatures(obj, signature):
    assert obj.__text_signature__ == signature


def test_docstrings_hold_no_text_beyond_the_signature():
    assert zz.Link.__doc__ == ""
    assert zz.open.__doc__ is None or zz.open.__doc__ == ""
    assert zz.Tombstone.__doc__ is None
    assert zz.Database.__doc__ is None


def test_database_methods_are_in_table_order():
    names = [n for n in vars(zz.Database) if not n.startswith("__")]
    assert names == ["get", "set", "set_many", "delete", "resolve", "begin", "commit", "backlinks"]


@pytest.mark.parametrize("cls", [zz.Tombstone, zz.Link, zz.Database])
def test_class_properties(cls):
    assert cls.__name__ == cls.__qualname__ == cls.__name__.split(".")[-1]
    assert cls.__bases__ == (object,)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert "__dict__" not in dir(cls)
    assert cls.__weakrefoffset__ == 0
    assert cls.__eq__ is object.__eq__ and cls.__hash__ is object.__hash__


def test_instances_have_no_dict_and_compare_by_identity():
    a, b = zz.Link("x"), zz.Link("x")
    assert a != b and a == a and hash(a) != hash(b)
    with pytest.raises(AttributeError):
        a.extra = 1
    with pytest.raises(AttributeError):
        zz.TOMBSTONE.extra = 1


@pytest.mark.parametrize("cls, name", [(zz.Tombstone, "Tombstone"), (zz.Database, "Database")])
def test_classes_without_constructor(cls, name):
    with pytest.raises(TypeError) as excinfo:
        cls()
    assert excinfo.value.args == (f"No constructor defined for {name}",)
    with pytest.raises(TypeError):
        cls(1, x=2)


def test_stubs_match_the_module(tmp_path):
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", "/dev/null", "_zezavezud"],
        capture_output=True,
        text=True,
        cwd=tmp_path,
    )
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.skipif(
    not sys.platform.startswith("linux") or shutil.which("nm") is None, reason="needs nm on Linux"
)
def test_the_extension_exports_only_its_initialisation_function():
    # Engine symbols exported from the module would bind to another
    # extension's copies of the same names, or theirs to ours.
    listed = subprocess.run(
        ["nm", "-D", "--defined-only", zz.__file__], capture_output=True, text=True, check=True
    )
    exported = [line.split()[-1] for line in listed.stdout.splitlines() if line.strip()]
    assert [name for name in exported if not name.startswith("_init") and name != "_fini"] == [
        "PyInit__zezavezud"
    ]
