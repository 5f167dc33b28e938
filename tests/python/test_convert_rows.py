"""Fetched cells to Python values: every family, the text decoder, the row shape."""

from __future__ import annotations

import datetime as dt
import math
from decimal import Decimal, InvalidOperation

import pytest

import _vantorel_testing as t

NUMERIC, DECIMAL, INTEGER, SMALLINT, BIGINT, TINYINT = 2, 3, 4, 5, -5, -6
FLOAT, REAL, DOUBLE, BIT = 6, 7, 8, -7
DATE, TIME, TIMESTAMP = 91, 92, 93
CHAR, VARCHAR, WVARCHAR, LONGVARCHAR, CLOB = 1, 12, -9, -1, -99
BINARY, VARBINARY = -2, -3

WHITE_SPACE = [
    " ", "\t", "\n", "\r", "\x0b", "\x0c", "\x85", "\xa0", "\u1680",
    *(chr(c) for c in range(0x2000, 0x200B)),
    "\u2028", "\u2029", "\u202f", "\u205f", "\u3000",
]


def convert(sql_type, cell, strip=True, mode="decimal"):
    return t.column_value_to_py(sql_type, cell, strip, mode)


def same(actual, expected):
    """Equal and of the same type (so 5 is not True and 1.0 is not 1)."""
    if isinstance(expected, float) and math.isnan(expected):
        return isinstance(actual, float) and math.isnan(actual)
    return type(actual) is type(expected) and actual == expected


# ---- Numbers ---------------------------------------------------------------


@pytest.mark.parametrize(
    "mode, expected",
    [
        ("decimal", Decimal("12.50")),
        ("float", 12.5),
        ("str", "12.50"),
        ("Float", Decimal("12.50")),
        ("STR", Decimal("12.50")),
        ("", Decimal("12.50")),
    ],
)
@pytest.mark.parametrize("sql_type", [DECIMAL, NUMERIC])
def test_decimal_cell_follows_the_exact_mode(sql_type, mode, expected):
    value = convert(sql_type, " 12.50 ", mode=mode)
    assert same(value, expected)
    assert str(value) == str(expected)  # the scale survives: 12.50, not 12.5


def test_decimal_float_mode_reports_the_raw_text_when_it_does_not_parse():
    with pytest.raises(t.DataError) as info:
        convert(DECIMAL, ' 1,5"\n', mode="float")
    assert str(info.value) == 'error de datos: no se pudo convertir " 1,5\\"\\n" a float'


def test_decimal_constructor_errors_propagate_unchanged():
    with pytest.raises(InvalidOperation):
        convert(DECIMAL, "  ")


@pytest.mark.parametrize(
    "sql_type, cell, expected",
    [
        (INTEGER, "-42", -42),
        (INTEGER, "+7", 7),
        (SMALLINT, "  5  ", 5),
        (SMALLINT, "\u3000 5\xa0", 5),
        (TINYINT, "0", 0),
        (BIGINT, "9223372036854775807", 9223372036854775807),
        (BIGINT, "-9223372036854775808", -9223372036854775808),
        (BIGINT, "000000000000000000000042", 42),
        (BIGINT, "9223372036854775808", "9223372036854775808"),
        (BIGINT, "-9223372036854775809", "-9223372036854775809"),
        (BIGINT, "99999999999999999999999", "99999999999999999999999"),
        (INTEGER, "-", "-"),
        (INTEGER, "+", "+"),
        (INTEGER, "", ""),
        (INTEGER, " 1.0 ", "1.0"),
        (INTEGER, "+-3", "+-3"),
        (INTEGER, "12 34", "12 34"),
        (INTEGER, "\u0663", "\u0663"),  # a digit, but not an ASCII one
    ],
)
def test_integer_cell_is_int_when_it_fits_else_trimmed_text(sql_type, cell, expected):
    assert same(convert(sql_type, cell), expected)


@pytest.mark.parametrize(
    "cell, expected",
    [
        ("1.5E3", 1500.0),
        (" 2.5 ", 2.5),
        ("-1.25e-2", -0.0125),
        ("+.5", 0.5),
        ("5.", 5.0),
        ("inf", math.inf),
        ("-Infinity", -math.inf),
        ("NaN", math.nan),
        ("1e400", math.inf),
        ("0." + "0" * 80 + "15", 1.5e-81),  # longer than the stack buffer
        ("abc", "abc"),
        (" 1,5 ", "1,5"),
        ("1e", "1e"),
        (".", "."),
        ("", ""),
        ("nan(1)", "nan(1)"),
        ("0x1p3", "0x1p3"),
        ("infinit", "infinit"),
        ("1_000", "1_000"),
    ],
)
@pytest.mark.parametrize("sql_type", [DOUBLE, FLOAT, REAL])
def test_float_cell_is_float_when_it_parses_else_trimmed_text(sql_type, cell, expected):
    assert same(convert(sql_type, cell), expected)


def test_tiny_float_text_becomes_zero():
    assert convert(DOUBLE, "1e-400") == 0.0
    assert math.copysign(1.0, convert(DOUBLE, "-0")) == -1.0


@pytest.mark.parametrize("cell, expected", [("1", True), (" 1 ", True), ("0", False), ("", False), ("true", False), ("11", False)])
def test_bit_cell_is_true_only_for_one(cell, expected):
    assert convert(BIT, cell) is expected


# ---- Dates and times -------------------------------------------------------------


@pytest.mark.parametrize(
    "cell, expected",
    [
        ("2024-02-29", dt.date(2024, 2, 29)),
        (" 2024-01-31\u3000", dt.date(2024, 1, 31)),
        ("+2024-+1-05", dt.date(2024, 1, 5)),
        ("0099-1-1", dt.date(99, 1, 1)),
    ],
)
def test_date_cell(cell, expected):
    assert same(convert(DATE, cell), expected)


@pytest.mark.parametrize(
    "sql_type, cell, message",
    [
        (DATE, "2024/02/29", 'fecha invalida del driver: "2024/02/29"'),
        (DATE, " 2024-02 ", 'fecha invalida del driver: "2024-02"'),
        (DATE, "2024-02-29-01", 'fecha invalida del driver: "2024-02-29-01"'),
        (DATE, "2024-256-01", 'fecha invalida del driver: "2024-256-01"'),
        (DATE, "-5-01-01", 'fecha invalida del driver: "-5-01-01"'),
        (TIME, "08.00.00", 'hora invalida del driver: "08.00.00"'),
        (TIME, "8:00", 'hora invalida del driver: "8:00"'),
        (TIME, "08:00:00.12x", 'hora invalida del driver: "08:00:00.12x"'),
        (TIMESTAMP, "31/01/2024 10:00:00", 'timestamp invalido del driver: "31/01/2024 10:00:00"'),
        (TIMESTAMP, ' x"y ', 'timestamp invalido del driver: "x\\"y"'),
    ],
)
def test_unreadable_temporal_text_raises_data_error_with_the_trimmed_value(sql_type, cell, message):
    with pytest.raises(t.DataError) as info:
        convert(sql_type, cell)
    assert str(info.value) == "error de datos: " + message


@pytest.mark.parametrize(
    "sql_type, cell",
    [(DATE, "2024-13-01"), (DATE, "0-01-01"), (DATE, "2023-02-29"), (TIME, "24:00:00"), (TIMESTAMP, "2024-01-31 12:60:00")],
)
def test_out_of_range_fields_raise_the_constructors_value_error(sql_type, cell):
    with pytest.raises(ValueError) as info:
        convert(sql_type, cell)
    assert not isinstance(info.value, t.DataError)


@pytest.mark.parametrize(
    "cell, expected",
    [
        ("23:59:58", dt.time(23, 59, 58)),
        (" 08:00:00.5 ", dt.time(8, 0, 0, 500000)),
        ("08:00:00.1234567", dt.time(8, 0, 0, 123456)),
        ("08:00:00.000001", dt.time(8, 0, 0, 1)),
        ("08:00:00.", dt.time(8, 0, 0)),
        ("+8:5:9", dt.time(8, 5, 9)),
    ],
)
def test_time_cell(cell, expected):
    assert same(convert(TIME, cell), expected)


@pytest.mark.parametrize(
    "cell, expected",
    [
        ("2024-01-31 12:34:56.123456", dt.datetime(2024, 1, 31, 12, 34, 56, 123456)),
        ("2024-01-31-12.34.56.123456", dt.datetime(2024, 1, 31, 12, 34, 56, 123456)),
        ("2024-01-31T12:34:56", dt.datetime(2024, 1, 31, 12, 34, 56)),
        ("2024-01-31-12.34.56", dt.datetime(2024, 1, 31, 12, 34, 56)),
        ("2024-01-31 12.34.56.5", dt.datetime(2024, 1, 31, 12, 34, 56, 500000)),
        ("2024-01-31", dt.datetime(2024, 1, 31)),
        (" 2024-01-31 ", dt.datetime(2024, 1, 31)),
        ("2024-01-31 xx", dt.datetime(2024, 1, 31)),
        ("2024-01-31 12:34", dt.datetime(2024, 1, 31)),
        ("2024-01-31-", dt.datetime(2024, 1, 31)),
        ("2024-01-31\U0001f60012:00:00", dt.datetime(2024, 1, 31, 12)),
    ],
)
def test_timestamp_cell_reads_odbc_and_ibm_i_forms(cell, expected):
    value = convert(TIMESTAMP, cell)
    assert same(value, expected)
    assert value.tzinfo is None


@pytest.mark.parametrize(
    "text, expected",
    [
        ("2024-01-31", (2024, 1, 31)),
        ("+2147483647-0255-0", (2147483647, 255, 0)),
        ("2147483648-01-01", None),
        ("2024-256-01", None),
        ("2024--1-01", None),
        ("2024-01-31-", None),
        ("2024-01", None),
        ("2024-01-", None),
        ("2024- 1-01", None),
        ("", None),
    ],
)
def test_split_ymd(text, expected):
    assert t.split_ymd(text) == expected


@pytest.mark.parametrize(
    "text, expected",
    [
        ("1:2:3", (1, 2, 3, 0)),
        ("23:59:58.5", (23, 59, 58, 500000)),
        ("00:00:00.1234567", (0, 0, 0, 123456)),
        ("255:0:0", (255, 0, 0, 0)),
        ("256:0:0", None),
        ("08:00:00:00", None),
        ("08:00", None),
        (":00:00", None),
        (" 08:00:00", None),
        ("08:00:00.x", None),
        ("08:00:00.1 ", None),
    ],
)
def test_split_hms(text, expected):
    assert t.split_hms(text) == expected


# ---- Text ---------------------------------------------------------------------------


@pytest.mark.parametrize("sql_type", [CHAR, VARCHAR, WVARCHAR, LONGVARCHAR, CLOB, BINARY])
def test_padding_is_stripped_only_at_the_end_and_only_when_asked(sql_type):
    assert convert(sql_type, "ab" + " " * 8, strip=True) == "ab"
    assert convert(sql_type, "ab" + " " * 8, strip=False) == "ab" + " " * 8
    assert convert(sql_type, "  ab  ", strip=True) == "  ab"
    assert convert(sql_type, "  ab", strip=False) == "  ab"


@pytest.mark.parametrize("space", WHITE_SPACE, ids=lambda s: f"U+{ord(s):04X}")
def test_every_white_space_character_is_padding(space):
    assert convert(CHAR, "ab" + space * 2) == "ab"
    assert convert(INTEGER, space + "5" + space) == 5


@pytest.mark.parametrize("other", ["\u200b", "\u180e", "\ufeff", "\x00"], ids=lambda s: f"U+{ord(s):04X}")
def test_characters_outside_white_space_are_kept(other):
    assert convert(CHAR, "ab" + other) == "ab" + other


@pytest.mark.parametrize(
    "cell, expected",
    [
        ("plain ascii", "plain ascii"),
        ("caf\xe9 \xff", "caf\xe9 \xff"),
        ("\u65e5\u672c\u8a9e", "\u65e5\u672c\u8a9e"),
        ("a\u0100", "a\u0100"),
        ("\U0001f600 ok \U0010ffff", "\U0001f600 ok \U0010ffff"),
        ("\ud83d\ude00", "\U0001f600"),  # a pair given as two units
        ("x\ud800y", "x\ufffdy"),
        ("x\udc00", "x\ufffd"),
        ("a\ud83d", "a\ufffd"),
        ("\ude00\ud83d", "\ufffd\ufffd"),
        ("\ud800\ud83d\ude00\xe9", "\ufffd\U0001f600\xe9"),
        ("\ud7ff\ue000", "\ud7ff\ue000"),
        ("", ""),
    ],
)
def test_text_decodes_every_width_and_replaces_lone_surrogates(cell, expected):
    value = convert(VARCHAR, cell, strip=False)
    assert value == expected
    # The str must be in CPython's canonical form: equal strs hash alike
    # and survive a round trip through the encoder.
    assert hash(value) == hash(expected)
    assert value.encode("utf-8") == expected.encode("utf-8")


@pytest.mark.parametrize("sql_type", [CHAR, INTEGER, DECIMAL, DATE, TIMESTAMP, BINARY, BIT])
def test_binary_cells_are_bytes_and_null_is_none_whatever_the_column(sql_type):
    assert convert(sql_type, b"\x00\xff ") == b"\x00\xff "
    assert convert(sql_type, b"") == b""
    assert convert(sql_type, None) is None


# ---- Row shape ---------------------------------------------------------------------------


def test_batch_rows_are_dicts_keyed_by_column_name_with_shared_keys():
    rows = t.batch_to_pylist(
        [("ID", INTEGER), ("NAME", CHAR), ("PRICE", DECIMAL), ("AT", DATE)],
        [["1", "ab   ", "1.50", "2024-01-31"], ["2", None, None, None]],
        True,
        "str",
    )
    assert rows == [
        {"ID": 1, "NAME": "ab", "PRICE": "1.50", "AT": dt.date(2024, 1, 31)},
        {"ID": 2, "NAME": None, "PRICE": None, "AT": None},
    ]
    first, second = (list(row) for row in rows)
    assert all(a is b for a, b in zip(first, second))


def test_duplicate_column_names_keep_first_position_and_last_value():
    rows = t.batch_to_pylist([("A", INTEGER), ("B", INTEGER), ("A", VARCHAR)], [["1", "2", "three"]])
    assert list(rows[0].items()) == [("A", "three"), ("B", 2)]


def test_empty_shapes():
    assert t.batch_to_pylist([("A", INTEGER)], []) == []
    assert t.batch_to_pylist([], [[], []]) == [{}, {}]


def test_first_failure_ends_the_batch():
    with pytest.raises(t.DataError, match="fecha invalida"):
        t.batch_to_pylist([("D", DATE)], [["2024-01-01"], ["bad"], ["2024-01-02"]])


def test_single_row_and_column_forms_convert_only_what_they_return():
    columns = [("N", INTEGER), ("D", DATE)]
    rows = [["1", "2024-01-01"], ["2", "not a date"], ["3", "neither"]]
    assert t.first_row_to_pydict(columns, rows) == {"N": 1, "D": dt.date(2024, 1, 1)}
    assert t.first_column_to_pylist(columns, rows) == [1, 2, 3]
    assert t.first_value_to_py(columns, rows) == 1
    assert t.first_row_to_pydict(columns, []) is None
    assert t.first_column_to_pylist(columns, []) == []
    assert t.first_column_to_pylist([], [[], []]) == []
    assert t.first_value_to_py(columns, []) is None
    assert t.first_value_to_py([], [[]]) is None
