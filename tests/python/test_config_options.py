"""EngineOptions: defaults, keyword construction, conversion and from_env."""

from __future__ import annotations

import pytest

from vantorel import ConfigurationError, EngineOptions

DEFAULTS = {
    "pool_size": 4,
    "login_timeout": 0,
    "query_timeout": 0,
    "batch_size": 1000,
    "max_workers": 4,
    "min_rows_per_worker": 500,
    "merge_chunk_size": 7000,
    "merge_max_workers": 3,
    "stream_batch_size": 5000,
    "prefetch_batches": 2,
    "max_statement_units": 16000,
    "decimal_mode": "decimal",
    "strip_char_padding": True,
}
U64 = [n for n, v in DEFAULTS.items() if type(v) is int and n not in ("login_timeout", "query_timeout")]
U32 = ["login_timeout", "query_timeout"]
ENV_VARS = {
    "BATCH_SIZE": "batch_size",
    "MAX_WORKERS": "max_workers",
    "MIN_ROWS_PER_WORKER": "min_rows_per_worker",
    "MERGE_CHUNK_SIZE": "merge_chunk_size",
    "MERGE_MAX_WORKERS": "merge_max_workers",
    "VANTOREL_MAX_STATEMENT_UNITS": "max_statement_units",
    "VANTOREL_POOL_SIZE": "pool_size",
}


def values(options: EngineOptions) -> dict:
    return {name: getattr(options, name) for name in DEFAULTS}


def test_defaults_and_types():
    got = values(EngineOptions())
    assert got == DEFAULTS
    assert all(type(got[n]) is type(DEFAULTS[n]) for n in DEFAULTS)


def test_keywords_change_only_the_named_attributes():
    assert values(EngineOptions(pool_size=8, decimal_mode="float")) == {
        **DEFAULTS,
        "pool_size": 8,
        "decimal_mode": "float",
    }
    every = {n: (False if n == "strip_char_padding" else "str" if n == "decimal_mode" else 0) for n in DEFAULTS}
    assert values(EngineOptions(**every)) == every


@pytest.mark.parametrize("mode", ["text", "Float", "", "STR"])
def test_decimal_mode_stores_any_string(mode):
    assert EngineOptions(decimal_mode=mode).decimal_mode == mode


def test_unknown_keyword_is_a_configuration_error():
    with pytest.raises(ConfigurationError) as info:
        EngineOptions(pool=1)
    assert str(info.value) == 'configuracion invalida: EngineOptions: opcion desconocida "pool"'
    with pytest.raises(ConfigurationError, match=r'opcion desconocida "a\\"b"$'):
        EngineOptions(**{'a"b': 1})


def test_positional_argument_is_refused():
    with pytest.raises(TypeError):
        EngineOptions(4)


@pytest.mark.parametrize(
    ("name", "value", "error"),
    [
        *[(n, -1, OverflowError) for n in U64 + U32],
        *[(n, 2**64, OverflowError) for n in U64],
        *[(n, 2**32, OverflowError) for n in U32],
        ("pool_size", 1.5, TypeError),
        ("batch_size", "10", TypeError),
        ("max_workers", None, TypeError),
        ("strip_char_padding", 1, TypeError),
        ("strip_char_padding", "yes", TypeError),
        ("decimal_mode", 1, TypeError),
        ("decimal_mode", None, TypeError),
    ],
)
def test_conversion_errors_in_constructor_and_assignment(name, value, error):
    with pytest.raises(error):
        EngineOptions(**{name: value})
    options = EngineOptions()
    with pytest.raises(error):
        setattr(options, name, value)
    assert values(options) == DEFAULTS


def test_range_edges_are_accepted():
    options = EngineOptions(login_timeout=2**32 - 1, pool_size=2**64 - 1)
    assert (options.login_timeout, options.pool_size) == (2**32 - 1, 2**64 - 1)
    options.query_timeout = 2**32 - 1
    options.strip_char_padding = False
    options.batch_size = 0
    assert (options.query_timeout, options.strip_char_padding, options.batch_size) == (2**32 - 1, False, 0)


@pytest.mark.parametrize("name", list(DEFAULTS))
def test_attributes_cannot_be_deleted(name):
    options = EngineOptions()
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        delattr(options, name)
    assert getattr(options, name) == DEFAULTS[name]


def test_max_statement_units_is_documented():
    doc = EngineOptions.max_statement_units.__doc__
    assert "UTF-16" in doc and "HY090" in doc and "0 means no cap" in doc


# ----------------------------------------------------------------- from_env


@pytest.fixture
def env(monkeypatch):
    for name in ENV_VARS:
        monkeypatch.delenv(name, raising=False)
    return monkeypatch


@pytest.mark.parametrize(
    ("raw", "expected"),
    [
        ("250", 250),
        ("  250  ", 250),
        ("+250", 250),
        ("\t+7\n", 7),
        ("0", 0),
        ("007", 7),
        ("18446744073709551615", 2**64 - 1),
        ("", 1000),
        ("   ", 1000),
    ],
)
def test_from_env_reads_unsigned_integers(env, raw, expected):
    env.setenv("BATCH_SIZE", raw)
    assert EngineOptions.from_env().batch_size == expected


@pytest.mark.parametrize(
    ("raw", "shown"),
    [
        ("-5", "-5"),
        (" 12a ", "12a"),
        ("1e3", "1e3"),
        ("1 000", "1 000"),
        ("+", "+"),
        ("-", "-"),
        ("++1", "++1"),
        ("2.5", "2.5"),
        ("18446744073709551616", "18446744073709551616"),
        ('4"2', '4\\"2'),
        ("٣", "٣"),
    ],
)
def test_from_env_rejects_anything_but_digits(env, raw, shown):
    env.setenv("BATCH_SIZE", raw)
    with pytest.raises(ConfigurationError) as info:
        EngineOptions.from_env()
    assert str(info.value) == f'configuracion invalida: BATCH_SIZE="{shown}" no es un entero valido'


def test_from_env_maps_each_variable_and_ignores_the_others(env):
    for i, name in enumerate(ENV_VARS, start=11):
        env.setenv(name, str(i))
    for name in ("STREAM_BATCH_SIZE", "PREFETCH_BATCHES", "LOGIN_TIMEOUT", "QUERY_TIMEOUT", "POOL_SIZE"):
        env.setenv(name, "99")
    env.setenv("DECIMAL_MODE", "float")
    env.setenv("STRIP_CHAR_PADDING", "false")
    expected = {**DEFAULTS, **{attr: i for i, attr in enumerate(ENV_VARS.values(), start=11)}}
    assert values(EngineOptions.from_env()) == expected


def test_from_env_stops_at_the_first_bad_variable(env):
    env.setenv("MAX_WORKERS", "x")
    env.setenv("VANTOREL_POOL_SIZE", "y")
    with pytest.raises(ConfigurationError, match='MAX_WORKERS="x"'):
        EngineOptions.from_env()
    env.setenv("VANTOREL_POOL_SIZE", "10")
    env.delenv("MAX_WORKERS")
    assert EngineOptions.from_env().pool_size == 10
