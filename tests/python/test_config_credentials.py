"""Credentials: the constructor, the three factories and repr. No database."""

from __future__ import annotations

import pytest

import _vantorel_testing as T
import vantorel
from vantorel import ConfigurationError, Credentials

DSN_MISSING = "configuracion invalida: DSN invalido: se esperaba SYSTEM=, UID= y PWD="


def fields(c: Credentials) -> tuple:
    return (c.system, c.user, c.driver)


def test_constructor_takes_keywords_only_and_keeps_values_as_given():
    c = Credentials(system=" h ", user="", password="x", driver=None)
    assert fields(c) == (" h ", "", None)
    assert fields(Credentials(system="h", user="u", password="p", driver="D")) == ("h", "u", "D")
    with pytest.raises(TypeError):
        Credentials("h", "u", "p")
    with pytest.raises(TypeError, match="'password'"):
        Credentials(system="h", user="u")
    with pytest.raises(TypeError, match="'system'"):
        Credentials(system=1, user="u", password="p")
    with pytest.raises(TypeError, match="'driver'"):
        Credentials(system="h", user="u", password="p", driver=5)
    with pytest.raises(TypeError):
        Credentials(system="h", user="u", password="p", port=1)


def test_attributes_are_read_only_and_there_is_no_password_attribute():
    c = Credentials(system="h", user="u", password="hunter2")
    for name in ("system", "user", "driver"):
        with pytest.raises(AttributeError):
            setattr(c, name, "x")
        with pytest.raises(AttributeError):
            delattr(c, name)
    for name in ("password", "raw_dsn", "_password"):
        assert not hasattr(c, name)
    with pytest.raises(AttributeError):
        c.password = "x"
    assert "hunter2" not in repr(c)
    assert all("hunter2" not in str(getattr(c, a)) for a in dir(c) if not a.startswith("__"))


@pytest.mark.parametrize(
    ("kwargs", "expected"),
    [
        (
            dict(system="h", user="u", password="p"),
            'Credentials(system=Some("h"), user=Some("u"), driver=None, password=<redacted>)',
        ),
        (
            dict(system='a"b', user="back\\slash", password="p", driver="D"),
            r'Credentials(system=Some("a\"b"), user=Some("back\\slash"), driver=Some("D"), password=<redacted>)',
        ),
        (
            dict(system="line\nbreak\ttab", user="ñandú", password='sec"ret'),
            r'Credentials(system=Some("line\nbreak\ttab"), user=Some("ñandú"), driver=None, password=<redacted>)',
        ),
    ],
)
def test_repr_escapes_values_and_redacts_the_password(kwargs, expected):
    assert repr(Credentials(**kwargs)) == expected


@pytest.mark.parametrize(
    ("dsn", "expected"),
    [
        ("SYSTEM=h;UID=u;PWD=p", ("h", "u", None)),
        (" system = h ; uid=  u ;pwd = p ; driver = D ", ("h", "u", "D")),
        ("Uid=u;Pwd=p;System=h;", ("h", "u", None)),
        ("DRIVER={IBM i Access ODBC Driver};SYSTEM=h;UID=u;PWD=p", ("h", "u", "{IBM i Access ODBC Driver}")),
        ("SYSTEM=h;UID=u;PWD=p;PORT=8471;CCSID=1208;junk;", ("h", "u", None)),
        ("SYSTEM=;UID=;PWD=", ("", "", None)),
        ("SYSTEM=a;SYSTEM=b;UID=u;UID=v;PWD=p;DRIVER=x;DRIVER=y", ("b", "v", "y")),
        (";;SYSTEM=h;;UID=u;;PWD=a=b==c;;", ("h", "u", None)),
    ],
)
def test_from_dsn_reads_the_four_keywords(dsn, expected):
    c = Credentials.from_dsn(dsn)
    assert fields(c) == expected
    assert repr(c).endswith(", password=<redacted>)")


def test_from_dsn_keeps_everything_after_the_first_equals_of_pwd():
    c = T.credentials_type().from_dsn("SYSTEM=h;UID=u;PWD= a=b=c ;DRIVER=D")
    assert T.resolved_connection_string(c) == "DRIVER=D;SYSTEM=h;UID=u;PWD=a=b=c;"
    later = T.credentials_type().from_dsn("SYSTEM=h;UID=u;PWD=first;PWD=second;DRIVER=D")
    assert T.resolved_connection_string(later) == "DRIVER=D;SYSTEM=h;UID=u;PWD=second;"


@pytest.mark.parametrize(
    "dsn",
    ["SYSTEM=h;UID=u", "SYSTEM=h;PWD=p", "UID=u;PWD=p", "", "SYSTEM h;UID=u;PWD=p", "SYSTEMX=h;UID=u;PWD=p"],
)
def test_from_dsn_without_all_three_keywords_fails(dsn):
    with pytest.raises(ConfigurationError) as info:
        Credentials.from_dsn(dsn)
    assert str(info.value) == DSN_MISSING


@pytest.mark.parametrize("dsn", ["", "   ", "\t\n ", "\u3000"])
def test_from_connection_string_refuses_blank(dsn):
    with pytest.raises(ConfigurationError) as info:
        Credentials.from_connection_string(dsn)
    assert str(info.value) == "configuracion invalida: connection string vacia"


@pytest.mark.parametrize("dsn", ["DSN=x", "  DRIVER=D;PWD=a;b ;PORT=1\t", "SYSTEM=h;UID=u;PWD=p"])
def test_from_connection_string_is_used_verbatim(dsn):
    c = T.credentials_type().from_connection_string(dsn)
    assert fields(c) == (None, None, None)
    assert repr(c) == "Credentials(raw_dsn=<redacted>)"
    assert T.resolved_connection_string(c) == dsn


# ----------------------------------------------------------------- from_env

ENV_NAMES = ("APP_ENV", "DB_DRIVER")


@pytest.fixture
def env(monkeypatch):
    for name in ENV_NAMES:
        monkeypatch.delenv(name, raising=False)
    return monkeypatch


def set_client(env, client: str, suffix: str, system="host", user="usr", password="pw"):
    for prefix, value in (("DB_SYSTEM", system), ("DB_USER", user), ("DB_PASSWORD", password)):
        if value is not None:
            env.setenv(f"{prefix}_{client}_{suffix}", value)


@pytest.mark.parametrize(
    ("client_code", "environment", "app_env", "client", "suffix"),
    [
        ("acme", None, None, "ACME", "DEV"),
        ("Acme", None, "prod", "ACME", "PROD"),
        ("acme", "qa", "prod", "ACME", "QA"),
        ("acme", "", "prod", "ACME", ""),
        ("acme", None, "", "ACME", ""),
        ("ñandú", None, None, "ÑANDÚ", "DEV"),
        ("straße", "ß", None, "STRASSE", "SS"),
    ],
)
def test_from_env_names_variables_by_upper_cased_client_and_environment(
    env, client_code, environment, app_env, client, suffix
):
    if app_env is not None:
        env.setenv("APP_ENV", app_env)
    set_client(env, client, suffix, system=" spaced ", user="u", password="p")
    c = Credentials.from_env(client_code, environment)
    assert fields(c) == (" spaced ", "u", None)


def test_from_env_takes_the_driver_from_db_driver_and_accepts_keywords(env):
    set_client(env, "ACME", "DEV")
    env.setenv("DB_DRIVER", " My Driver ")
    assert Credentials.from_env(client_code="acme").driver == " My Driver "
    env.setenv("DB_DRIVER", "  ")
    assert Credentials.from_env("acme").driver is None
    env.setenv("DB_DRIVER_ACME_DEV", "ignored")
    env.delenv("DB_DRIVER")
    assert Credentials.from_env("acme", environment=None).driver is None


@pytest.mark.parametrize(
    ("system", "user", "password", "missing"),
    [
        ("h", None, "p", "DB_USER_ACME_DEV"),
        ("h", "   ", "p", "DB_USER_ACME_DEV"),
        (None, "u", "", "DB_SYSTEM_ACME_DEV, DB_PASSWORD_ACME_DEV"),
        ("\t", " ", "\n", "DB_SYSTEM_ACME_DEV, DB_USER_ACME_DEV, DB_PASSWORD_ACME_DEV"),
        (None, None, "p", "DB_SYSTEM_ACME_DEV, DB_USER_ACME_DEV"),
    ],
)
def test_from_env_names_exactly_the_missing_variables_in_order(env, system, user, password, missing):
    set_client(env, "ACME", "DEV", system=system, user=user, password=password)
    for prefix, value in (("DB_SYSTEM", system), ("DB_USER", user), ("DB_PASSWORD", password)):
        if value is None:
            env.delenv(f"{prefix}_ACME_DEV", raising=False)
    with pytest.raises(ConfigurationError) as info:
        Credentials.from_env("acme")
    assert str(info.value) == f"configuracion invalida: faltan variables de entorno requeridas: {missing}"


def test_from_env_reads_the_password_untrimmed(env):
    set_client(env, "ACME", "DEV", password="  p w  ")
    env.setenv("DB_DRIVER", "D")
    c = T.credentials_type().from_env("acme")
    assert T.resolved_connection_string(c) == "DRIVER=D;SYSTEM=host;UID=usr;PWD={  p w  };"


def test_from_env_argument_types(env):
    with pytest.raises(TypeError, match="'client_code'"):
        Credentials.from_env(1)
    with pytest.raises(TypeError, match="'environment'"):
        Credentials.from_env("acme", 2)


def test_credentials_is_the_package_class():
    assert vantorel.Credentials is Credentials
    assert Credentials.__module__ == "vantorel"
