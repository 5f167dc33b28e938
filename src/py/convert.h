// Values between Python and the ODBC layer: fetched cells to Python objects,
// Python arguments to ParamValues. Every function here needs the interpreter
// lock; failures come back as a null Ref / false with a Python error set.
#pragma once

#include "py/pyref.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/types.h"

namespace vantorel::py {

struct ConvertOptions {
    bool strip_char_padding = true;
    // "float", "str", anything else means decimal.Decimal (compared exactly).
    std::string_view decimal_mode = "decimal";
};

// ---- Fetched cells to Python ------------------------------------------------

// The interned column names and the converter of each column, worked out
// once per result and used for every row (and every chunk) of it.
class RowConverter {
public:
    RowConverter(std::span<const ColumnMeta> columns, const ConvertOptions& options);
    // The construction failed (a Python error is set).
    bool failed() const noexcept { return failed_; }
    // The row's dict keyed by column name.
    Ref dict(const Row& row) const;
    // One cell of the given column.
    Ref cell(std::size_t column, const ColumnValue& value) const;
    // list.append(dict) for every row / list.append(first cell) for every row.
    bool append_dicts(PyObject* list, const Batch& rows) const;
    bool append_first_cells(PyObject* list, const Batch& rows) const;

private:
    using CellConverter = PyObject* (*)(std::u16string_view text);
    std::vector<Ref> keys_;
    std::vector<CellConverter> converters_;
    bool failed_ = false;
};

// A list of row dicts keyed by column name. Every row must have at least as
// many cells as there are columns. On failure the partial list is dropped.
Ref batch_to_pylist(std::span<const ColumnMeta> columns, const Batch& rows, const ConvertOptions& options);
Ref batch_to_pylist(std::span<const ColumnMeta> columns, const Batch& rows, bool strip_char_padding,
                    std::string_view decimal_mode);

// The dict of one row (the shape batch_to_pylist gives each row).
Ref row_to_pydict(std::span<const ColumnMeta> columns, const Row& row, const ConvertOptions& options);
// The first row's dict, or None when there are no rows; the rest stay unconverted.
Ref first_row_to_pydict(std::span<const ColumnMeta> columns, const Batch& rows, const ConvertOptions& options);
// The first column of every row, as a list; [] when there are no rows or columns.
Ref first_column_to_pylist(std::span<const ColumnMeta> columns, const Batch& rows,
                           const ConvertOptions& options);
// The first column of the first row, or None when there is none.
Ref first_value_to_py(std::span<const ColumnMeta> columns, const Batch& rows, const ConvertOptions& options);

// One cell, typed by its column's ODBC SQL type code.
Ref column_value_to_py(std::int16_t sql_type, const ColumnValue& value, const ConvertOptions& options);
Ref column_value_to_py(std::int16_t sql_type, const ColumnValue& value, bool strip_char_padding,
                       std::string_view decimal_mode);

// A str straight from UTF-16 units; unpaired surrogates become U+FFFD.
Ref str_from_units(std::u16string_view units);
// The str's code points as UTF-16 units (SQL text, text parameters).
bool units_from_str(PyObject* str, std::u16string& out);

// ---- Date and time text as drivers render it ---------------------------------

struct Ymd {
    std::int32_t year;
    std::uint8_t month;
    std::uint8_t day;
};

struct Hms {
    std::uint8_t hour;
    std::uint8_t minute;
    std::uint8_t second;
    std::uint32_t microsecond;
};

struct TimestampParts {
    Ymd date;
    Hms time;  // midnight when the time part is missing or unreadable
};

// "Y-M-D"; nullopt when the text is not exactly that.
std::optional<Ymd> split_ymd(std::u16string_view text);
// "H:M:S" with an optional ".fraction" (microseconds, extra digits dropped).
std::optional<Hms> split_hms(std::u16string_view text);
// "2024-01-31 12:34:56.123456" or "2024-01-31-12.34.56.123456" (already
// trimmed); nullopt only when the date part is unreadable.
std::optional<TimestampParts> split_timestamp(std::u16string_view text);

// ---- Python arguments to ParamValues ------------------------------------------

// None -> no parameters; any other iterable but a dict -> one value per item.
// On failure `out` is left untouched.
bool params_from_python(PyObject* params, Params& out);
bool param_value_from_python(PyObject* value, ParamValue& out);

// "2024-03-07", "08:05:09[.000250]", "2024-03-07 08:05:09[.500000]"; the
// time zone of an aware value is ignored.
bool format_date(PyObject* value, std::u16string& out);
bool format_time(PyObject* value, std::u16string& out);
bool format_datetime(PyObject* value, std::u16string& out);

}  // namespace vantorel::py
