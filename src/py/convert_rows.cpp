// Fetched cells to Python objects. This runs for every cell of every fetch,
// so each column's converter is picked once per batch and text goes from
// UTF-16 units to its final object without intermediate strings.
#include "py/convert.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/odbc/utf16.h"
#include "py/convert_internal.h"
#include "py/errors.h"

namespace vantorel::py {

using detail::CellFn;
using detail::trim;
using detail::trim_end;

// ---- Text ---------------------------------------------------------------------

namespace {

constexpr bool is_surrogate(char16_t u) noexcept { return (u & 0xF800) == 0xD800; }
constexpr bool is_high_surrogate(char16_t u) noexcept { return (u & 0xFC00) == 0xD800; }
constexpr bool is_low_surrogate(char16_t u) noexcept { return (u & 0xFC00) == 0xDC00; }

// The code point at units[i], advancing i past a valid pair; an unpaired
// surrogate reads as U+FFFD.
Py_UCS4 next_code_point(std::u16string_view units, std::size_t& i) noexcept {
    if (is_high_surrogate(units[i]) && i + 1 < units.size() && is_low_surrogate(units[i + 1])) {
        const Py_UCS4 cp = 0x10000 + ((static_cast<Py_UCS4>(units[i]) - 0xD800) << 10) + (units[i + 1] - 0xDC00);
        ++i;
        return cp;
    }
    return is_surrogate(units[i]) ? 0xFFFD : units[i];
}

// Text with at least one surrogate: valid pairs combine, the rest become
// U+FFFD. Two passes (size and widest code point, then fill) so the str is
// created at its exact kind, as CPython requires.
PyObject* str_from_units_with_surrogates(std::u16string_view units) {
    Py_ssize_t length = 0;
    Py_UCS4 widest = 0;
    for (std::size_t i = 0; i < units.size(); ++i) {
        const Py_UCS4 cp = next_code_point(units, i);
        widest = std::max(widest, cp);
        ++length;
    }
    PyObject* str = PyUnicode_New(length, widest);
    if (str == nullptr) return nullptr;
    const int kind = PyUnicode_KIND(str);
    void* data = PyUnicode_DATA(str);
    Py_ssize_t out = 0;
    for (std::size_t i = 0; i < units.size(); ++i) {
        const Py_UCS4 cp = next_code_point(units, i);
        PyUnicode_WRITE(kind, data, out++, cp);
    }
    return str;
}

PyObject* new_str(std::u16string_view units) {
    const std::size_t n = units.size();
    // OR of all units: below 0x80 iff all ASCII, below 0x100 iff all latin-1.
    char16_t any = 0;
    for (char16_t u : units) any |= u;
    if (any < 0x100) {
        PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(n), any < 0x80 ? 0x7F : 0xFF);
        if (str == nullptr) return nullptr;
        Py_UCS1* dst = PyUnicode_1BYTE_DATA(str);
        for (std::size_t i = 0; i < n; ++i) dst[i] = static_cast<Py_UCS1>(units[i]);
        return str;
    }
    if (any >= 0xD800 && std::any_of(units.begin(), units.end(), is_surrogate)) {
        return str_from_units_with_surrogates(units);
    }
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(n), 0xFFFF);
    if (str == nullptr) return nullptr;
    std::memcpy(PyUnicode_2BYTE_DATA(str), units.data(), n * sizeof(char16_t));
    return str;
}

}  // namespace

Ref str_from_units(std::u16string_view units) { return Ref::steal(new_str(units)); }

// ---- Caches and errors ----------------------------------------------------------

namespace detail {

PyObject* decimal_type() {
    // Written once under the interpreter lock. The import may let another
    // thread in; whichever stores first wins and the other's copy is dropped.
    static PyObject* cached = nullptr;
    if (cached != nullptr) return cached;
    Ref module = Ref::steal(PyImport_ImportModule("decimal"));
    if (!module) return nullptr;
    Ref type = Ref::steal(PyObject_GetAttrString(module.get(), "Decimal"));
    if (!type) return nullptr;
    if (cached == nullptr) cached = type.release();
    return cached;
}

PyObject* raise_data_error(std::string_view what, std::u16string_view value, std::string_view tail) {
    std::string message(what);
    message += quote_for_msg(odbc::from_utf16_lossy(value));
    message += tail;
    return raise(CoreError::data(std::move(message)));
}

}  // namespace detail

// ---- Numbers ----------------------------------------------------------------------

namespace {

constexpr bool is_digit(char16_t u) noexcept { return u >= u'0' && u <= u'9'; }

// An optional sign and one or more ASCII digits, within signed 64 bits.
bool parse_i64(std::u16string_view s, long long& out) noexcept {
    std::size_t i = 0;
    bool negative = false;
    if (!s.empty() && (s[0] == u'+' || s[0] == u'-')) {
        negative = s[0] == u'-';
        i = 1;
    }
    if (i == s.size()) return false;
    unsigned long long value = 0;
    if (s.size() - i <= 18) {  // cannot overflow: skip the range check
        for (; i < s.size(); ++i) {
            const unsigned digit = static_cast<unsigned>(s[i]) - u'0';
            if (digit > 9) return false;
            value = value * 10 + digit;
        }
    } else {
        const unsigned long long limit = negative ? 9223372036854775808ULL : 9223372036854775807ULL;
        for (; i < s.size(); ++i) {
            const unsigned digit = static_cast<unsigned>(s[i]) - u'0';
            if (digit > 9) return false;
            if (value > (limit - digit) / 10) return false;
            value = value * 10 + digit;
        }
    }
    out = negative ? static_cast<long long>(0ULL - value) : static_cast<long long>(value);
    return true;
}

constexpr bool equals_ascii_nocase(std::u16string_view s, std::string_view word) noexcept {
    if (s.size() != word.size()) return false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        char16_t u = s[i];
        if (u >= u'A' && u <= u'Z') u = static_cast<char16_t>(u + 32);
        if (u != static_cast<char16_t>(word[i])) return false;
    }
    return true;
}

// [+-]? (digits [. digits] | . digits) ([eE] [+-]? digits)?, or inf,
// infinity, nan in any case. Narrower than from_chars, which also takes
// "nan(...)" and hexadecimal forms.
bool float_syntax(std::u16string_view s) noexcept {
    std::size_t i = 0;
    if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) ++i;
    const std::u16string_view body = s.substr(i);
    if (equals_ascii_nocase(body, "inf") || equals_ascii_nocase(body, "infinity") ||
        equals_ascii_nocase(body, "nan")) {
        return true;
    }
    std::size_t digits = 0;
    while (i < s.size() && is_digit(s[i])) ++i, ++digits;
    if (i < s.size() && s[i] == u'.') {
        ++i;
        while (i < s.size() && is_digit(s[i])) ++i, ++digits;
    }
    if (digits == 0) return false;
    if (i < s.size() && (s[i] == u'e' || s[i] == u'E')) {
        ++i;
        if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) ++i;
        std::size_t exponent_digits = 0;
        while (i < s.size() && is_digit(s[i])) ++i, ++exponent_digits;
        if (exponent_digits == 0) return false;
    }
    return i == s.size();
}

bool parse_double(std::u16string_view s, double& out) {
    if (!float_syntax(s)) return false;
    if (!s.empty() && s[0] == u'+') s.remove_prefix(1);  // from_chars takes no "+"
    // All units are ASCII now; narrow them. Long digit strings are rare.
    char stack[64];
    std::string heap;
    char* text = stack;
    if (s.size() >= sizeof stack) {
        heap.resize(s.size() + 1);
        text = heap.data();
    }
    for (std::size_t i = 0; i < s.size(); ++i) text[i] = static_cast<char>(s[i]);
    text[s.size()] = '\0';
    const auto [end, ec] = std::from_chars(text, text + s.size(), out);
    if (ec == std::errc::result_out_of_range) {
        // Beyond the double range: infinity, or zero for tiny values, as a
        // float() of the same text gives.
        out = PyOS_string_to_double(text, nullptr, nullptr);
        return !(out == -1.0 && PyErr_Occurred());
    }
    return ec == std::errc() && end == text + s.size();
}

// ---- Cell converters, one per family and option ------------------------------------

PyObject* text_cell(std::u16string_view s) { return new_str(s); }
PyObject* text_cell_stripped(std::u16string_view s) { return new_str(trim_end(s)); }

PyObject* integer_cell(std::u16string_view s) {
    s = trim(s);
    long long value;
    if (parse_i64(s, value)) return PyLong_FromLongLong(value);
    return new_str(s);
}

PyObject* float_cell(std::u16string_view s) {
    s = trim(s);
    double value;
    if (parse_double(s, value)) return PyFloat_FromDouble(value);
    if (PyErr_Occurred()) return nullptr;
    return new_str(s);
}

PyObject* bit_cell(std::u16string_view s) { return PyBool_FromLong(trim(s) == u"1"); }

PyObject* decimal_as_float_cell(std::u16string_view raw) {
    double value;
    if (parse_double(trim(raw), value)) return PyFloat_FromDouble(value);
    if (PyErr_Occurred()) return nullptr;
    return detail::raise_data_error("no se pudo convertir ", raw, " a float");
}

PyObject* decimal_as_str_cell(std::u16string_view s) { return new_str(trim(s)); }

PyObject* decimal_cell(std::u16string_view s) {
    PyObject* type = detail::decimal_type();
    if (type == nullptr) return nullptr;
    Ref text = Ref::steal(new_str(trim(s)));
    if (!text) return nullptr;
    return PyObject_CallOneArg(type, text.get());
}

// ---- The converter table ---------------------------------------------------------------

enum class DecimalMode : std::uint8_t { Float, Str, Decimal };

struct Settings {
    DecimalMode decimal;
    bool strip;

    explicit Settings(const ConvertOptions& options)
        : decimal(options.decimal_mode == "float" ? DecimalMode::Float
                  : options.decimal_mode == "str" ? DecimalMode::Str
                                                  : DecimalMode::Decimal),
          strip(options.strip_char_padding) {}
};

struct FamilyConverter {
    SqlTypeFamily family;
    CellFn (*choose)(const Settings&);
};

CellFn padded_text(const Settings& s) { return s.strip ? text_cell_stripped : text_cell; }

// The only place a family meets its conversion.
constexpr std::array kConverters{
    FamilyConverter{SqlTypeFamily::Decimal,
                    [](const Settings& s) -> CellFn {
                        switch (s.decimal) {
                            case DecimalMode::Float: return decimal_as_float_cell;
                            case DecimalMode::Str: return decimal_as_str_cell;
                            case DecimalMode::Decimal: break;
                        }
                        return decimal_cell;
                    }},
    FamilyConverter{SqlTypeFamily::Integer, [](const Settings&) -> CellFn { return integer_cell; }},
    FamilyConverter{SqlTypeFamily::Float, [](const Settings&) -> CellFn { return float_cell; }},
    FamilyConverter{SqlTypeFamily::Bit, [](const Settings&) -> CellFn { return bit_cell; }},
    FamilyConverter{SqlTypeFamily::Date, [](const Settings&) -> CellFn { return detail::date_cell; }},
    FamilyConverter{SqlTypeFamily::Time, [](const Settings&) -> CellFn { return detail::time_cell; }},
    FamilyConverter{SqlTypeFamily::Timestamp, [](const Settings&) -> CellFn { return detail::timestamp_cell; }},
    FamilyConverter{SqlTypeFamily::Clob, padded_text},
    FamilyConverter{SqlTypeFamily::Binary, padded_text},
    FamilyConverter{SqlTypeFamily::Text, padded_text},
};

constexpr bool table_in_family_order() {
    for (std::size_t i = 0; i < kConverters.size(); ++i) {
        if (static_cast<std::size_t>(kConverters[i].family) != i) return false;
    }
    return kConverters.size() == static_cast<std::size_t>(SqlTypeFamily::Text) + 1;
}
static_assert(table_in_family_order(), "one converter per family, in enum order");

CellFn converter_for(std::int16_t sql_type, const Settings& settings) {
    return kConverters[static_cast<std::size_t>(classify_sql_type(sql_type))].choose(settings);
}

inline PyObject* convert_cell(CellFn fn, const ColumnValue& value) {
    if (const auto* text = std::get_if<std::u16string>(&value)) return fn(*text);
    if (const auto* bytes = std::get_if<Bytes>(&value)) {
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes->data()),
                                         static_cast<Py_ssize_t>(bytes->size()));
    }
    return Py_NewRef(Py_None);
}

inline PyObject* new_row_dict(std::size_t columns) {
#if PY_VERSION_HEX < 0x030D0000
    // Private but present through 3.12: sizes the table once for the row's
    // keys instead of growing it while they are inserted.
    return _PyDict_NewPresized(static_cast<Py_ssize_t>(columns));
#else
    (void)columns;
    return PyDict_New();
#endif
}

// What a batch needs per column, worked out once: the interned key and the
// converter.

}  // namespace

RowConverter::RowConverter(std::span<const ColumnMeta> columns, const ConvertOptions& options) {
    const Settings settings(options);
    keys_.reserve(columns.size());
    converters_.reserve(columns.size());
    for (const ColumnMeta& column : columns) {
        PyObject* key = PyUnicode_DecodeUTF8(column.name.data(), static_cast<Py_ssize_t>(column.name.size()),
                                             "replace");
        if (key == nullptr) {
            failed_ = true;
            return;
        }
        PyUnicode_InternInPlace(&key);
        keys_.push_back(Ref::steal(key));
        converters_.push_back(converter_for(column.data_type, settings));
    }
}

Ref RowConverter::dict(const Row& row) const {
    const std::size_t n = keys_.size();
    if (row.size() < n) {
        raise_internal_fault("fila con menos celdas que columnas");
        return {};
    }
    Ref dict = Ref::steal(new_row_dict(n));
    if (!dict) return {};
    for (std::size_t c = 0; c < n; ++c) {
        Ref value = Ref::steal(convert_cell(converters_[c], row[c]));
        if (!value || PyDict_SetItem(dict.get(), keys_[c].get(), value.get()) < 0) return {};
    }
    return dict;
}

Ref RowConverter::cell(std::size_t column, const ColumnValue& value) const {
    return Ref::steal(convert_cell(converters_[column], value));
}

bool RowConverter::append_dicts(PyObject* list, const Batch& rows) const {
    for (const Row& row : rows) {
        Ref d = dict(row);
        if (!d || PyList_Append(list, d.get()) < 0) return false;
    }
    return true;
}

bool RowConverter::append_first_cells(PyObject* list, const Batch& rows) const {
    if (keys_.empty()) return true;
    for (const Row& row : rows) {
        if (row.empty()) {
            raise_internal_fault("fila con menos celdas que columnas");
            return false;
        }
        Ref value = cell(0, row.front());
        if (!value || PyList_Append(list, value.get()) < 0) return false;
    }
    return true;
}

// ---- Entry points ----------------------------------------------------------------------

Ref batch_to_pylist(std::span<const ColumnMeta> columns, const Batch& rows, const ConvertOptions& options) {
    const RowConverter shape(columns, options);
    if (shape.failed()) return {};
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(rows.size())));
    if (!list) return {};
    for (std::size_t i = 0; i < rows.size(); ++i) {
        Ref dict = shape.dict(rows[i]);
        if (!dict) return {};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), dict.release());
    }
    return list;
}

Ref batch_to_pylist(std::span<const ColumnMeta> columns, const Batch& rows, bool strip_char_padding,
                    std::string_view decimal_mode) {
    return batch_to_pylist(columns, rows, ConvertOptions{strip_char_padding, decimal_mode});
}

Ref row_to_pydict(std::span<const ColumnMeta> columns, const Row& row, const ConvertOptions& options) {
    const RowConverter shape(columns, options);
    if (shape.failed()) return {};
    return shape.dict(row);
}

Ref first_row_to_pydict(std::span<const ColumnMeta> columns, const Batch& rows, const ConvertOptions& options) {
    if (rows.empty()) return Ref::borrow(Py_None);
    return row_to_pydict(columns, rows.front(), options);
}

Ref first_column_to_pylist(std::span<const ColumnMeta> columns, const Batch& rows,
                           const ConvertOptions& options) {
    const std::size_t count = columns.empty() ? 0 : rows.size();
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list || count == 0) return list;
    const CellFn fn = converter_for(columns.front().data_type, Settings(options));
    for (std::size_t i = 0; i < count; ++i) {
        if (rows[i].empty()) {
            raise_internal_fault("fila con menos celdas que columnas");
            return {};
        }
        PyObject* value = convert_cell(fn, rows[i].front());
        if (value == nullptr) return {};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), value);
    }
    return list;
}

Ref first_value_to_py(std::span<const ColumnMeta> columns, const Batch& rows, const ConvertOptions& options) {
    if (columns.empty() || rows.empty() || rows.front().empty()) return Ref::borrow(Py_None);
    return column_value_to_py(columns.front().data_type, rows.front().front(), options);
}

Ref column_value_to_py(std::int16_t sql_type, const ColumnValue& value, const ConvertOptions& options) {
    if (std::holds_alternative<std::monostate>(value)) return Ref::borrow(Py_None);
    return Ref::steal(convert_cell(converter_for(sql_type, Settings(options)), value));
}

Ref column_value_to_py(std::int16_t sql_type, const ColumnValue& value, bool strip_char_padding,
                       std::string_view decimal_mode) {
    return column_value_to_py(sql_type, value, ConvertOptions{strip_char_padding, decimal_mode});
}

}  // namespace vantorel::py
