"""Python arguments to bound values: the type ladder, text forms, sequences."""

from __future__ import annotations

import datetime as dt
import enum
from collections import OrderedDict
from decimal import Decimal
from fractions import Fraction

import pytest

import _vantorel_testing as t

DICT_MESSAGE = (
    "error de parametro: parametros con nombre (dict) no soportados en execute/fetch* -- solo secuencias "
    "posicionales (list/tuple) para los marcadores '?'. call_proc admite dict."
)
NOT_ITERABLE_MESSAGE = "error de parametro: params debe ser una secuencia (list/tuple) o None"


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class FloatLike:
    def __float__(self):
        return 2.5


class LoudInt(int):
    def __str__(self):
        return "loud"


class Big(enum.IntEnum):
    HUGE = 2**70


class MyBytes(bytes):
    pass


class MyStr(str):
    pass


class Zone(dt.tzinfo):
    def utcoffset(self, _):
        return dt.timedelta(hours=5)


@pytest.mark.parametrize(
    "value, expected",
    [
        (None, ("null", None)),
        (True, ("int", 1)),
        (False, ("int", 0)),
        (1, ("int", 1)),
        (-5, ("int", -5)),
        (1.5, ("float", 1.5)),
        (Decimal("12.50"), ("text", "12.50")),
        (Decimal("1E+2"), ("text", "1E+2")),
        (Decimal("-0.000"), ("text", "-0.000")),
        (2**63 - 1, ("int", 2**63 - 1)),
        (-(2**63), ("int", -(2**63))),
        (Index(7), ("int", 7)),
        (FloatLike(), ("float", 2.5)),
        (Fraction(1, 4), ("float", 0.25)),
        (dt.date(2024, 3, 7), ("text", "2024-03-07")),
        (dt.date(99, 1, 1), ("text", "0099-01-01")),
        (dt.datetime(2024, 3, 7, 8, 5, 9), ("text", "2024-03-07 08:05:09")),
        (dt.datetime(2024, 3, 7, 8, 5, 9, 250), ("text", "2024-03-07 08:05:09.000250")),
        (dt.datetime(2024, 3, 7, 8, 5, 9, 500000), ("text", "2024-03-07 08:05:09.500000")),
        (dt.datetime(2024, 3, 7, 10, 0, tzinfo=Zone()), ("text", "2024-03-07 10:00:00")),
        (dt.datetime(2024, 3, 7, 10, 0, tzinfo=dt.timezone(dt.timedelta(hours=-8))), ("text", "2024-03-07 10:00:00")),
        (dt.time(23, 59), ("text", "23:59:00")),
        (dt.time(8, 5, 9, 250), ("text", "08:05:09.000250")),
        (dt.time(10, 0, tzinfo=dt.timezone.utc), ("text", "10:00:00")),
        (b"\x00\xff", ("bytes", b"\x00\xff")),
        (b"", ("bytes", b"")),
        (MyBytes(b"ab"), ("bytes", b"ab")),
        (MyStr("ab"), ("text", "ab")),
        ("", ("text", "")),
        ("caf\xe9", ("text", "caf\xe9")),
        ("\u65e5\u672c", ("text", "\u65e5\u672c")),
        ("a\U0001f600b", ("text", "a\U0001f600b")),
    ],
    ids=repr,
)
def test_value_ladder(value, expected):
    result = t.param_value_from_python(value)
    assert result == expected
    assert type(result[1]) is type(expected[1])


@pytest.mark.parametrize(
    "value, digits",
    [
        (2**63, "9223372036854775808"),
        (2**63 + 1, "9223372036854775809"),
        (-(2**63) - 1, "-9223372036854775809"),
        (2**200, str(2**200)),
        (10**400, str(10**400)),  # beyond the float range too
        (Index(2**70), str(2**70)),
        (LoudInt(2**64), str(2**64)),
        (Big.HUGE, str(2**70)),
    ],
    ids=["2**63", "2**63+1", "-(2**63)-1", "2**200", "10**400", "__index__", "int-subclass", "IntEnum"],
)
def test_integers_beyond_64_bits_travel_as_exact_decimal_text(value, digits):
    assert t.param_value_from_python(value) == ("text", digits)


def test_int_subclasses_within_64_bits_are_integers():
    assert t.param_value_from_python(LoudInt(3)) == ("int", 3)


class Sub(dt.datetime):
    pass


class OddTime(dt.time):
    @property
    def microsecond(self):
        raise RuntimeError("no microsecond")


class NoYear(dt.date):
    @property
    def year(self):
        raise LookupError("no year")


def test_subclasses_are_formatted_from_their_attributes():
    assert t.param_value_from_python(Sub(2024, 3, 7, 8, 5, 9, 1)) == ("text", "2024-03-07 08:05:09.000001")
    assert t.format_time(OddTime(8, 5, 9, 7)) == "08:05:09"
    with pytest.raises(LookupError):
        t.format_date(NoYear(2024, 1, 1))


@pytest.mark.parametrize(
    "value, name",
    [(bytearray(b"ab"), "bytearray"), ([1], "list"), ({"a": 1}, "dict"), (object(), "object"), (1j, "complex")],
    ids=repr,
)
def test_unsupported_types_raise_type_error_with_the_type_name(value, name):
    with pytest.raises(TypeError) as info:
        t.param_value_from_python(value)
    assert type(info.value) is TypeError
    assert str(info.value) == "tipo de parametro no soportado: " + name


class Boom(Exception):
    pass


class BadIndex:
    def __index__(self):
        raise Boom


class BadFloat:
    def __float__(self):
        raise Boom


class BadDecimal(Decimal):
    def __str__(self):
        raise Boom


@pytest.mark.parametrize("value", [BadIndex(), BadFloat(), BadDecimal("1")], ids=repr)
def test_conversion_hook_errors_propagate_unchanged(value):
    with pytest.raises(Boom):
        t.param_value_from_python(value)


# ---- Sequences -------------------------------------------------------------------


def _gen():
    yield 1
    yield 2


@pytest.mark.parametrize(
    "params, expected",
    [
        (None, []),
        ((), []),
        ([], []),
        ([True, 1, 1.5, None], [("int", 1), ("int", 1), ("float", 1.5), ("null", None)]),
        ((b"x", "y"), [("bytes", b"x"), ("text", "y")]),
        ("ab", [("text", "a"), ("text", "b")]),
        (_gen(), [("int", 1), ("int", 2)]),
        (iter([Decimal("1.0")]), [("text", "1.0")]),
        (range(2), [("int", 0), ("int", 1)]),
    ],
    ids=repr,
)
def test_params_sequences(params, expected):
    assert t.params_from_python(params) == expected


@pytest.mark.parametrize(
    "params, message",
    [({}, DICT_MESSAGE), ({"a": 1}, DICT_MESSAGE), (OrderedDict(a=1), DICT_MESSAGE), (5, NOT_ITERABLE_MESSAGE), (object(), NOT_ITERABLE_MESSAGE)],
    ids=repr,
)
def test_params_refused_with_parameter_error(params, message):
    with pytest.raises(t.ParameterError) as info:
        t.params_from_python(params)
    assert str(info.value) == message


def test_errors_from_the_iterator_or_an_item_propagate_unchanged():
    raised = Boom("from the iterator")

    def failing():
        yield 1
        raise raised

    with pytest.raises(Boom) as info:
        t.params_from_python(failing())
    assert info.value is raised

    with pytest.raises(TypeError, match="no soportado: bytearray"):
        t.params_from_python([1, bytearray()])


def test_list_shrunk_by_a_conversion_hook_is_read_safely():
    params = []

    class Shrinker:
        def __index__(self):
            params.clear()
            return 0

    params.extend([Shrinker(), "gone", "gone"])
    assert t.params_from_python(params) == [("int", 0)]
