// Values that cross the ODBC layer: column descriptions, fetched cells and
// bound parameters. Text stays UTF-16 (what ODBC speaks) until a Python str
// or a message is made from it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace vantorel {

enum class SqlTypeFamily : std::uint8_t { Decimal, Integer, Float, Bit, Date, Time, Timestamp, Clob, Binary, Text };

SqlTypeFamily classify_sql_type(std::int16_t code) noexcept;
std::string_view family_name(SqlTypeFamily family) noexcept;

struct ColumnMeta {
    std::string name;
    std::uint64_t column_size = 0;
    std::int16_t data_type = 0;
    std::int16_t decimal_digits = 0;
    bool nullable = false;
};

using Bytes = std::vector<std::uint8_t>;

// Null, Text (UTF-16 units as the driver rendered them), Bytes.
using ColumnValue = std::variant<std::monostate, std::u16string, Bytes>;
using Row = std::vector<ColumnValue>;
using Batch = std::vector<Row>;

// Null, Text, Int, Float, Bytes.
using ParamValue = std::variant<std::monostate, std::u16string, std::int64_t, double, Bytes>;
using Params = std::vector<ParamValue>;

}  // namespace vantorel
