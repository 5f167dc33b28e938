#include "core/bind.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string_view>

#include "core/odbc/diag.h"
#include "core/odbc/utf16.h"

namespace vantorel {
namespace {

// What SQLBindParameter receives for one marker, read off its buffer.
struct Binding {
    SQLSMALLINT value_type;
    SQLSMALLINT parameter_type;
    SQLULEN column_size;
    SQLPOINTER data;
    SQLLEN buffer_length;
    SQLLEN indicator;
};

// An empty binary value still needs a non-null address: some drivers read
// a null pointer as NULL whatever the indicator says.
const std::uint8_t kEmptyBytes = 0;

template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};

Binding binding_for(ParamValue& value) {
    return std::visit(
        Overloaded{
            [](std::monostate) { return Binding{SQL_C_WCHAR, SQL_VARCHAR, 1, nullptr, 0, SQL_NULL_DATA}; },
            [](std::u16string& text) {
                const auto bytes = static_cast<SQLLEN>(text.size() * sizeof(char16_t));
                return Binding{SQL_C_WCHAR, SQL_VARCHAR, std::max<SQLULEN>(text.size(), 1), text.data(), bytes,
                               bytes};
            },
            [](std::int64_t& number) {
                return Binding{SQL_C_SBIGINT, SQL_BIGINT, 20, &number, sizeof number, sizeof number};
            },
            [](double& number) {
                return Binding{SQL_C_DOUBLE, SQL_DOUBLE, 15, &number, sizeof number, sizeof number};
            },
            [](Bytes& bytes) {
                const auto size = static_cast<SQLLEN>(bytes.size());
                SQLPOINTER data = bytes.empty() ? const_cast<std::uint8_t*>(&kEmptyBytes) : bytes.data();
                return Binding{SQL_C_BINARY, SQL_VARBINARY, std::max<SQLULEN>(bytes.size(), 1), data, size, size};
            },
        },
        value);
}

// Shortest round-trip digits of a finite, non-negative double, written
// without an exponent.
void append_positional(std::string& out, double value) {
    char buf[32];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    const std::string_view sci(buf, ec == std::errc{} ? static_cast<std::size_t>(end - buf) : 0);
    const std::size_t e = sci.find('e');
    if (e == std::string_view::npos) {
        out += "0";
        return;
    }
    std::string digits;
    for (char c : sci.substr(0, e)) {
        if (c != '.') digits.push_back(c);
    }
    int exponent = 0;
    std::string_view exp_text = sci.substr(e + 1);
    if (!exp_text.empty() && exp_text.front() == '+') exp_text.remove_prefix(1);
    std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exponent);
    // Digits before the decimal point.
    const long point = static_cast<long>(exponent) + 1;
    const auto count = static_cast<long>(digits.size());
    if (point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out += digits;
    } else if (point >= count) {
        out += digits;
        out.append(static_cast<std::size_t>(point - count), '0');
    } else {
        out.append(digits, 0, static_cast<std::size_t>(point));
        out.push_back('.');
        out.append(digits, static_cast<std::size_t>(point));
    }
}

std::string float_text(double value) {
    if (std::isnan(value)) return "NaN";
    std::string out;
    if (std::signbit(value)) out.push_back('-');
    if (std::isinf(value)) return out + "inf";
    append_positional(out, std::fabs(value));
    return out;
}

}  // namespace

Result<BoundParams> bind_params(SQLHSTMT statement, Params values) {
    if (values.size() > std::numeric_limits<SQLUSMALLINT>::max()) {
        // Marker numbers are 16-bit: more values would wrap onto the first markers.
        return std::unexpected(CoreError::parameter("demasiados parametros para una sentencia: " +
                                                    std::to_string(values.size()) + " (maximo 65535)"));
    }
    BoundParams bound;
    // Reserved once: the driver keeps the addresses of these elements.
    bound.buffers_.reserve(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        ParamBuffer& buffer = bound.buffers_.emplace_back(ParamBuffer{std::move(values[i]), 0});
        const Binding b = binding_for(buffer.value);
        buffer.indicator = b.indicator;
        const SQLRETURN rc =
            SQLBindParameter(statement, static_cast<SQLUSMALLINT>(i + 1), SQL_PARAM_INPUT, b.value_type,
                             b.parameter_type, b.column_size, 0, b.data, b.buffer_length, &buffer.indicator);
        if (!odbc::succeeded(rc)) return std::unexpected(odbc::error_from(SQL_HANDLE_STMT, statement));
    }
    return bound;
}

std::optional<std::string> param_value_to_text(const ParamValue* value) {
    if (value == nullptr) return std::nullopt;
    return std::visit(
        Overloaded{
            [](std::monostate) -> std::optional<std::string> { return std::nullopt; },
            [](const std::u16string& text) -> std::optional<std::string> { return odbc::from_utf16_lossy(text); },
            [](std::int64_t number) -> std::optional<std::string> { return std::to_string(number); },
            [](double number) -> std::optional<std::string> { return float_text(number); },
            [](const Bytes& bytes) -> std::optional<std::string> {
                return odbc::utf8_lossy({reinterpret_cast<const char*>(bytes.data()), bytes.size()});
            },
        },
        *value);
}

}  // namespace vantorel
