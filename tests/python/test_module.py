"""The module surface: version, exceptions, re-import, subinterpreters and
text signatures."""

from __future__ import annotations

import importlib
import inspect
import os
import sys

import pytest

import _vantorel
import vantorel

HIERARCHY = {
    "VantorelError": "Exception",
    "ConfigurationError": "VantorelError",
    "ConnectError": "VantorelError",
    "PoolTimeout": "ConnectError",
    "InterfaceError": "VantorelError",
    "QueryError": "VantorelError",
    "SqlSyntaxError": "QueryError",
    "IntegrityError": "QueryError",
    "DataError": "QueryError",
    "OperationTimeout": "QueryError",
    "ParameterError": "VantorelError",
    "ProcValidationError": "ParameterError",
    "BulkFailure": "VantorelError",
    "MergeFailure": "VantorelError",
    "CatalogError": "VantorelError",
    "FeatureUnavailable": "VantorelError",
}


def test_version():
    assert _vantorel.__version__ == "0.9.3"
    assert vantorel.__version__ == "0.9.3"


@pytest.mark.parametrize(("name", "base"), HIERARCHY.items())
def test_exception_types(name, base):
    exc = getattr(_vantorel, name)
    assert getattr(vantorel, name) is exc
    expected_base = Exception if base == "Exception" else getattr(_vantorel, base)
    assert exc.__bases__ == (expected_base,)
    assert exc.__module__ == "vantorel"
    assert exc.__qualname__ == name
    assert repr(exc) == f"<class 'vantorel.{name}'>"
    assert exc.__doc__ is None
    assert str(exc("mensaje")) == "mensaje"
    # Only Exception among the built-ins: no ValueError, RuntimeError, ...
    assert [c for c in exc.__mro__ if c.__module__ == "builtins"] == [Exception, BaseException, object]


def test_exceptions_are_registered_in_order():
    attrs = [n for n in vars(_vantorel) if n in HIERARCHY]
    assert attrs == list(HIERARCHY)


def test_classes_present_themselves_as_vantorel():
    for cls in (_vantorel.Credentials, _vantorel.EngineOptions):
        assert cls.__module__ == "vantorel"
        assert repr(cls) == f"<class 'vantorel.{cls.__name__}'>"
    assert _vantorel.Credentials(system="s", user="u", password="p").system == "s"


def test_repeated_import_returns_the_same_module_and_exceptions():
    first = sys.modules["_vantorel"]
    data_error = first.DataError
    del sys.modules["_vantorel"]
    try:
        again = importlib.import_module("_vantorel")
    finally:
        sys.modules["_vantorel"] = first
    assert again is first
    assert again.DataError is data_error
    assert again.Credentials is first.Credentials


def test_import_from_a_subinterpreter_fails():
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "run_in_subinterp"):
        pytest.skip("no run_in_subinterp in this interpreter")
    read_end, write_end = os.pipe()
    code = (
        "import os, sys\n"
        f"sys.path.insert(0, {os.path.dirname(_vantorel.__file__)!r})\n"
        "try:\n"
        "    import _vantorel\n"
        "    outcome = 'imported'\n"
        "except ImportError as e:\n"
        "    outcome = 'ImportError: ' + str(e)\n"
        f"os.write({write_end}, outcome.encode())\n"
    )
    try:
        assert testcapi.run_in_subinterp(code) == 0
    finally:
        os.close(write_end)
    with os.fdopen(read_end, "rb") as pipe:
        outcome = pipe.read().decode()
    assert outcome.startswith("ImportError: ")
    assert "subinterpreter" in outcome


@pytest.mark.parametrize(
    ("target", "signature"),
    [
        (lambda: _vantorel.Credentials, "(*, system, user, password, driver=None)"),
        (lambda: _vantorel.Credentials.from_dsn, "(dsn)"),
        (lambda: _vantorel.Credentials.from_env, "(client_code, environment=None)"),
        (lambda: _vantorel.Credentials.from_connection_string, "(dsn)"),
        (lambda: _vantorel.EngineOptions, "(**kwargs)"),
        (lambda: _vantorel.EngineOptions.from_env, "()"),
        (lambda: _vantorel.load_dotenv, "(path=None)"),
    ],
)
def test_text_signatures(target, signature):
    assert str(inspect.signature(target())) == signature
