"""The module's face: the Engine class, argument binding and conversion,
manifest errors, the result tuple, PanicException and the interpreter lock."""

import json
import os
import subprocess
import sys
import textwrap
import weakref

import pytest

import ledgerly
from ledgerly._native import Engine


def test_class_properties():
    assert Engine.__name__ == "Engine"
    assert Engine.__module__ == "ledgerly._native"
    assert Engine.__bases__ == (object,)
    if sys.version_info >= (3, 10):  # 3.9 drops a heap type's signature from its doc
        assert Engine.__text_signature__ == "()"
    assert Engine.refresh.__text_signature__ == "($self, manifest, workers, force=False)"
    assert not Engine.refresh.__doc__
    import ledgerly._native as native

    own = [name for name in vars(native) if not name.startswith("__")]
    assert own == ["Engine"]
    with pytest.raises(TypeError):
        type("Sub", (Engine,), {})
    engine = Engine()
    assert not hasattr(engine, "__dict__")
    with pytest.raises(AttributeError):
        engine.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(engine)


def test_panic_exception_is_a_direct_base_exception():
    panic = ledgerly.PanicException
    assert panic.__bases__ == (BaseException,)
    assert not issubclass(panic, Exception)


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1,), {}, "Engine.__new__() takes 0 positional arguments but 1 was given"),
        ((1, 2), {}, "Engine.__new__() takes 0 positional arguments but 2 were given"),
        ((), {"x": 1}, "Engine.__new__() got an unexpected keyword argument 'x'"),
    ],
)
def test_constructor_arguments(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        Engine(*args, **kwargs)
    assert str(info.value) == message


class IndexLike:
    def __index__(self):
        return 3


class BadIndex:
    def __index__(self):
        raise ValueError("not today")


def numpy_bool_type(name, with_bool):
    namespace = {"__module__": "numpy"}
    if with_bool:
        namespace["__init__"] = lambda self, v: setattr(self, "v", v)
        namespace["__slots__"] = ("v",)
        namespace["__bool__"] = lambda self: self.v
    return type(name, (), namespace)


@pytest.mark.parametrize(
    "args, kwargs, error, message",
    [
        (
            ("[]", 1, False, 2),
            {},
            TypeError,
            "Engine.refresh() takes from 2 to 3 positional arguments but 4 were given",
        ),
        (("[]", 1), {"other": 1}, TypeError, "Engine.refresh() got an unexpected keyword argument 'other'"),
        (
            ("[]",),
            {"manifest": "[]", "workers": 1},
            TypeError,
            "Engine.refresh() got multiple values for argument 'manifest'",
        ),
        (("[]", 1), {"workers": 1}, TypeError, "Engine.refresh() got multiple values for argument 'workers'"),
        (("[]",), {}, TypeError, "Engine.refresh() missing 1 required positional argument: 'workers'"),
        ((), {"workers": 1}, TypeError, "Engine.refresh() missing 1 required positional argument: 'manifest'"),
        ((), {}, TypeError, "Engine.refresh() missing 2 required positional arguments: 'manifest' and 'workers'"),
        # Conversion happens in the order manifest, workers, force.
        ((b"[]", 1), {}, TypeError, "argument 'manifest': 'bytes' object cannot be cast as 'str'"),
        ((None, -1, 1), {}, TypeError, "argument 'manifest': 'NoneType' object cannot be cast as 'str'"),
        (("[]", 1.5), {}, TypeError, "argument 'workers': 'float' object cannot be interpreted as an integer"),
        (("[]", "2"), {}, TypeError, "argument 'workers': 'str' object cannot be interpreted as an integer"),
        (("[]", 1, 1), {}, TypeError, "argument 'force': 'int' object cannot be cast as 'bool'"),
        (("[]", 1, None), {}, TypeError, "argument 'force': 'NoneType' object cannot be cast as 'bool'"),
        (
            ("[]", 1, numpy_bool_type("bool_", False)()),
            {},
            TypeError,
            "argument 'force': object of type 'bool_' does not define a '__bool__' conversion",
        ),
        (
            ("[]", 1, numpy_bool_type("flag", True)(True)),
            {},
            TypeError,
            "argument 'force': 'flag' object cannot be cast as 'bool'",
        ),
        # A failure that is not a TypeError passes through unchanged.
        (("[]", BadIndex()), {}, ValueError, "not today"),
    ],
)
def test_refresh_argument_errors(args, kwargs, error, message):
    engine = Engine()
    with pytest.raises(error) as info:
        engine.refresh(*args, **kwargs)
    assert type(info.value) is error
    assert str(info.value) == message
    # Nothing happened: the next refresh is still the engine's first.
    assert engine.refresh("[]", 1)[1] == b""


@pytest.mark.parametrize("workers", [-1, 2**64])
def test_workers_out_of_range_is_the_interpreters_overflow_error(workers):
    with pytest.raises(OverflowError):
        Engine().refresh("[]", workers)


def test_manifest_with_lone_surrogate_raises_unicode_error():
    with pytest.raises(UnicodeEncodeError):
        Engine().refresh('["\ud800"]', 1)


@pytest.mark.parametrize(
    "workers, force, exported",
    [
        (True, False, False),
        (IndexLike(), True, True),
        (0, numpy_bool_type("bool_", True)(True), True),
        (1, numpy_bool_type("bool", True)(False), False),
    ],
)
def test_accepted_argument_kinds(workers, force, exported):
    engine = Engine()
    engine.refresh("[]", 1)
    _, rows = engine.refresh("[]", workers, force)
    assert (rows is not None) == exported


def test_keywords_are_accepted():
    text, rows = Engine().refresh(manifest="[]", workers=2, force=True)
    assert isinstance(text, str) and rows == b""


def report_scan(**changes):
    scan = {
        "appended": 0,
        "bytes_read": 0,
        "changed": 0,
        "cumulative_resets": 0,
        "duplicate_snapshots": 0,
        "errors": [],
        "inherited_events": 0,
        "invalid_usage": 0,
        "malformed": 0,
        "pending_files": 0,
        "rebuilt": 0,
        "removed": 0,
        "scanned": 0,
        "unresolved_forks": 0,
        "updated": False,
    }
    scan.update(changes)
    return json.dumps(scan, separators=(",", ":"))


def test_first_refresh_exports_and_second_does_not():
    engine = Engine()
    text, rows = engine.refresh("[]", 4)
    assert text == ('{"models":[],"projects":[],"rows":0,"scan":' + report_scan(updated=True) + ',"schema":1}')
    assert rows == b"" and type(rows) is bytes
    text, rows = engine.refresh("[]", 4)
    assert text == '{"scan":' + report_scan() + "}"
    assert rows is None
    text, rows = engine.refresh("[]", 4, True)
    assert text == '{"models":[],"projects":[],"rows":0,"scan":' + report_scan() + ',"schema":1}'
    assert rows == b""


def test_bad_manifest_raises_value_error_and_changes_nothing():
    engine = Engine()
    with pytest.raises(ValueError) as info:
        engine.refresh("{", 1)
    assert info.type is ValueError
    assert info.value.args[0].endswith(" at line 1 column 1")
    with pytest.raises(ValueError) as info:
        engine.refresh('[{"path":"a"}]', 1)
    assert str(info.value) == "missing field `size` at line 1 column 13"
    assert engine.refresh("[]", 1)[1] == b""  # still the first refresh


def test_second_interpreter_cannot_import():
    script = textwrap.dedent(
        """
        import ledgerly._native
        try:
            import _interpreters as interpreters  # 3.13 and newer
        except ImportError:
            import _xxsubinterpreters as interpreters
        interp = interpreters.create()
        try:
            failure = interpreters.run_string(interp, "import ledgerly._native")
        except Exception as error:  # raised up to 3.12
            print("failed:", error)
        else:  # returned from 3.13 on
            print("failed:", failure.formatted if failure is not None else "imported")
        """
    )
    out = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, env=os.environ.copy(), timeout=60
    )
    assert "failed:" in out.stdout and "ImportError" in out.stdout, out.stdout + out.stderr


def test_reimport_in_same_interpreter_returns_same_module():
    import importlib

    import ledgerly._native as first

    del sys.modules["ledgerly._native"]
    second = importlib.import_module("ledgerly._native")
    assert second is first


ENTRY = '{"path":"a","size":1,"identity":"i","mtime_ns":2,"source":0,"project":"p","sub":false}'


@pytest.mark.parametrize(
    "manifest, message",
    [
        ("", "EOF while parsing a value at line 1 column 0"),
        ("{}", "invalid type: map, expected a sequence at line 1 column 1"),
        ("[1]", "invalid type: integer `1`, expected struct Input at line 1 column 2"),
        ('[{"path":"a","path":"b"}]', "duplicate field `path` at line 1 column 19"),
        ('[{"path":"a","sub":true}]', "missing field `size` at line 1 column 24"),
        ('[["a",1]]', "invalid length 2, expected struct Input with 7 elements at line 1 column 8"),
        ('[{"path":"a","size":-3}]', "invalid value: integer `-3`, expected u64 at line 1 column 22"),
        ('[{"path":"a","size":1e3}]', "invalid type: floating point `1000.0`, expected u64 at line 1 column 23"),
        ('[{"path":"a","size":"10"}]', 'invalid type: string "10", expected u64 at line 1 column 24'),
        ('[["a","x\\u0000y"]]', 'invalid type: string "x\0y", expected u64 at line 1 column 16'),
        (
            "[\n" + ENTRY.replace('"source":0', '"source":256') + "\n]",
            "invalid value: integer `256`, expected u8 at line 2 column 61",
        ),
        ("[" + ENTRY + ",]", "trailing comma at line 1 column 89"),
        ("[" + ENTRY + "] x", "trailing characters at line 1 column 90"),
    ],
)
def test_manifest_errors_reach_python_as_value_error(manifest, message):
    engine = Engine()
    with pytest.raises(ValueError) as info:
        engine.refresh(manifest, 1)
    assert info.type is ValueError and info.value.args == (message,)
