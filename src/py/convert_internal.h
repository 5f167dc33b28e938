// Shared pieces of the convert_*.cpp files. Only they include this.
#pragma once

#include "py/pyref.h"

#include <cstdint>
#include <string_view>

namespace vantorel::py::detail {

// Unicode White_Space; every member is in the BMP, so one unit decides.
constexpr bool is_white_space(char16_t u) noexcept {
    if (u <= 0x20) return u == 0x20 || (u >= 0x09 && u <= 0x0D);
    if (u < 0x85) return false;
    return u == 0x85 || u == 0xA0 || u == 0x1680 || (u >= 0x2000 && u <= 0x200A) || u == 0x2028 ||
           u == 0x2029 || u == 0x202F || u == 0x205F || u == 0x3000;
}

constexpr std::u16string_view trim_end(std::u16string_view s) noexcept {
    std::size_t n = s.size();
    while (n > 0 && is_white_space(s[n - 1])) --n;
    return s.substr(0, n);
}

constexpr std::u16string_view trim(std::u16string_view s) noexcept {
    s = trim_end(s);
    std::size_t i = 0;
    while (i < s.size() && is_white_space(s[i])) ++i;
    return s.substr(i);
}

// A cell's converter: the driver's text in, a new reference out (nullptr
// with a Python error set).
using CellFn = PyObject* (*)(std::u16string_view text);

// Date, Time and Timestamp columns (convert_datetime.cpp, the one file that
// holds the datetime C API).
PyObject* date_cell(std::u16string_view text);
PyObject* time_cell(std::u16string_view text);
PyObject* timestamp_cell(std::u16string_view text);

// Raises DataError "error de datos: {what}{quoted value}".
PyObject* raise_data_error(std::string_view what, std::u16string_view value, std::string_view tail = {});

// Borrowed decimal.Decimal, imported once per process; nullptr with an error set.
PyObject* decimal_type();

enum class TemporalKind : std::uint8_t { None, DateTime, Date, Time };
// Which datetime type `value` is an instance of (a datetime is not reported
// as a date). False with an error set if datetime cannot be imported.
bool temporal_kind(PyObject* value, TemporalKind& kind);

}  // namespace vantorel::py::detail
