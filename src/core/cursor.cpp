#include "core/cursor.h"

#include <algorithm>
#include <limits>

#include "core/odbc/diag.h"
#include "core/odbc/utf16.h"

namespace vantorel {
namespace {

using odbc::succeeded;

constexpr SQLLEN kCellBytes = static_cast<SQLLEN>(CellBuffer::kBytes);

CoreError statement_error(SQLHSTMT statement) { return odbc::error_from(SQL_HANDLE_STMT, statement); }

// Indicators are read as unsigned, so SQL_NO_TOTAL (a negative value) counts
// as "the buffer was filled and more remains".
std::size_t filled(SQLLEN indicator, std::size_t cap) noexcept {
    return static_cast<std::size_t>(std::min<std::uint64_t>(static_cast<std::uint64_t>(indicator), cap));
}
bool more_after(SQLLEN indicator, std::uint64_t threshold) noexcept {
    return static_cast<std::uint64_t>(indicator) > threshold;
}

SQLRETURN get_data(SQLHSTMT statement, SQLUSMALLINT column, SQLSMALLINT c_type, CellBuffer& buffer,
                   SQLLEN& indicator) {
    // The buffer is not cleared between calls: only the bytes the indicator
    // reports are ever read from it.
    return SQLGetData(statement, column, c_type, buffer.bytes.data(), kCellBytes, &indicator);
}

// The buffer is filled by the driver, so its bytes are taken as the units the
// C type asked for; each piece goes straight into the growing value.
void append_from(Bytes& out, const CellBuffer& buffer, std::size_t count) {
    out.insert(out.end(), buffer.bytes.data(), buffer.bytes.data() + count);
}
void append_from(std::string& out, const CellBuffer& buffer, std::size_t count) {
    out.append(reinterpret_cast<const char*>(buffer.bytes.data()), count);
}
void append_from(std::u16string& out, const CellBuffer& buffer, std::size_t count) {
    out.append(reinterpret_cast<const char16_t*>(buffer.bytes.data()), count);
}

// A Binary cell: raw bytes in pieces of up to a whole buffer.
Result<ColumnValue> read_binary(SQLHSTMT statement, SQLUSMALLINT column, CellBuffer& buffer) {
    SQLLEN indicator = 0;
    SQLRETURN rc = get_data(statement, column, SQL_C_BINARY, buffer, indicator);
    if (rc == SQL_NO_DATA) return Bytes{};
    if (!succeeded(rc)) return std::unexpected(statement_error(statement));
    if (indicator == SQL_NULL_DATA) return std::monostate{};
    const unsigned char* piece = buffer.bytes.data();
    Bytes bytes(piece, piece + filled(indicator, CellBuffer::kBytes));
    while (more_after(indicator, CellBuffer::kBytes - 1)) {
        rc = get_data(statement, column, SQL_C_BINARY, buffer, indicator);
        if (rc == SQL_NO_DATA) break;
        if (!succeeded(rc)) return std::unexpected(statement_error(statement));
        if (indicator == SQL_NULL_DATA || indicator == 0) break;
        append_from(bytes, buffer, filled(indicator, CellBuffer::kBytes));
    }
    return bytes;
}

// The fallback for a large-object column the wide read found empty: narrow
// characters, taken as UTF-8. The driver keeps the last byte for a NUL.
Result<ColumnValue> read_narrow_text(SQLHSTMT statement, SQLUSMALLINT column, CellBuffer& buffer) {
    constexpr std::size_t kPiece = CellBuffer::kBytes - 1;
    SQLLEN indicator = 0;
    SQLRETURN rc = get_data(statement, column, SQL_C_CHAR, buffer, indicator);
    if (rc == SQL_NO_DATA) return std::monostate{};
    if (!succeeded(rc)) return std::unexpected(statement_error(statement));
    if (indicator == SQL_NULL_DATA) return std::monostate{};
    std::string bytes(reinterpret_cast<const char*>(buffer.bytes.data()), filled(indicator, kPiece));
    while (more_after(indicator, CellBuffer::kBytes - 1)) {
        rc = get_data(statement, column, SQL_C_CHAR, buffer, indicator);
        if (rc == SQL_NO_DATA) break;
        if (!succeeded(rc)) return std::unexpected(statement_error(statement));
        if (indicator == SQL_NULL_DATA || indicator == 0) break;
        append_from(bytes, buffer, filled(indicator, kPiece));
    }
    return odbc::to_utf16(bytes);
}

// Reads a text cell into `cell`, reusing the string it already holds.
Result<void> read_text_into(SQLHSTMT statement, SQLUSMALLINT column, CellBuffer& buffer, bool large_object,
                            ColumnValue& cell) {
    std::u16string* text = std::get_if<std::u16string>(&cell);
    if (text == nullptr) text = &cell.emplace<std::u16string>();
    auto present = get_data_text_into(statement, column, buffer, *text);
    if (!present) return std::unexpected(std::move(present.error()));
    if (*present) return {};
    if (large_object) {
        auto narrow = read_narrow_text(statement, column, buffer);
        if (!narrow) return std::unexpected(std::move(narrow.error()));
        cell = std::move(*narrow);
        return {};
    }
    cell.emplace<std::monostate>();
    return {};
}

}  // namespace

Result<bool> get_data_text_into(SQLHSTMT statement, SQLUSMALLINT column, CellBuffer& buffer, std::u16string& text) {
    // A piece holds at most 4095 units: the driver keeps the last unit of
    // the buffer for its terminator.
    constexpr std::size_t kPieceBytes = CellBuffer::kBytes - 2;
    const auto units = [](SQLLEN indicator) { return filled(indicator, kPieceBytes) / sizeof(char16_t); };

    SQLLEN indicator = 0;
    SQLRETURN rc = get_data(statement, column, SQL_C_WCHAR, buffer, indicator);
    if (rc == SQL_NO_DATA) return false;
    if (!succeeded(rc)) return std::unexpected(statement_error(statement));
    if (indicator == SQL_NULL_DATA) return false;
    text.assign(reinterpret_cast<const char16_t*>(buffer.bytes.data()), units(indicator));
    while (more_after(indicator, kPieceBytes - 1)) {
        rc = get_data(statement, column, SQL_C_WCHAR, buffer, indicator);
        if (rc == SQL_NO_DATA) break;
        if (!succeeded(rc)) return std::unexpected(statement_error(statement));
        if (indicator == SQL_NULL_DATA) return false;
        append_from(text, buffer, units(indicator));
    }
    return true;
}

Result<std::optional<std::u16string>> get_data_text(SQLHSTMT statement, SQLUSMALLINT column, CellBuffer& buffer) {
    std::u16string text;
    auto present = get_data_text_into(statement, column, buffer, text);
    if (!present) return std::unexpected(std::move(present.error()));
    if (!*present) return std::nullopt;
    return text;
}

Result<std::vector<ColumnMeta>> describe_columns(SQLHSTMT statement) {
    SQLSMALLINT count = 0;
    if (!succeeded(SQLNumResultCols(statement, &count))) return std::unexpected(statement_error(statement));
    std::vector<ColumnMeta> columns;
    if (count <= 0) return columns;
    columns.reserve(static_cast<std::size_t>(count));
    constexpr SQLSMALLINT kNameUnits = 256;
    std::array<SQLWCHAR, kNameUnits> name;
    for (SQLSMALLINT column = 1; column <= count; ++column) {
        name.fill(0);
        SQLSMALLINT name_length = 0;
        SQLSMALLINT data_type = 0;
        SQLULEN column_size = 0;
        SQLSMALLINT decimal_digits = 0;
        SQLSMALLINT nullable = SQL_NULLABLE_UNKNOWN;
        const SQLRETURN rc = SQLDescribeColW(statement, static_cast<SQLUSMALLINT>(column), name.data(), kNameUnits,
                                             &name_length, &data_type, &column_size, &decimal_digits, &nullable);
        if (!succeeded(rc)) return std::unexpected(statement_error(statement));
        // A name that did not fit is cut to the buffer less its terminator.
        const auto units = static_cast<std::size_t>(std::clamp<SQLSMALLINT>(name_length, 0, kNameUnits - 1));
        columns.push_back(ColumnMeta{
            odbc::from_utf16_lossy({reinterpret_cast<const char16_t*>(name.data()), units}),
            static_cast<std::uint64_t>(column_size),
            data_type,
            decimal_digits,
            nullable == SQL_NULLABLE,
        });
    }
    return columns;
}

std::vector<SqlTypeFamily> column_families(std::span<const ColumnMeta> columns) {
    std::vector<SqlTypeFamily> families;
    families.reserve(columns.size());
    for (const ColumnMeta& column : columns) families.push_back(classify_sql_type(column.data_type));
    return families;
}

Result<void> fetch_row_into(SQLHSTMT statement, std::span<const SqlTypeFamily> families, CellBuffer& buffer,
                            Row& row) {
    row.resize(families.size());
    for (std::size_t i = 0; i < families.size(); ++i) {
        const auto column = static_cast<SQLUSMALLINT>(i + 1);
        if (families[i] == SqlTypeFamily::Binary) {
            auto cell = read_binary(statement, column, buffer);
            if (!cell) return std::unexpected(std::move(cell.error()));
            row[i] = std::move(*cell);
            continue;
        }
        auto read = read_text_into(statement, column, buffer, families[i] == SqlTypeFamily::Clob, row[i]);
        if (!read) return std::unexpected(std::move(read.error()));
    }
    return {};
}

Result<Row> fetch_row(SQLHSTMT statement, std::span<const SqlTypeFamily> families, CellBuffer& buffer) {
    Row row;
    auto read = fetch_row_into(statement, families, buffer, row);
    if (!read) return std::unexpected(std::move(read.error()));
    return row;
}

RowCursor::RowCursor(std::vector<ColumnMeta> columns, BoundParams params, odbc::RawStatement statement)
    : columns_(std::move(columns)),
      families_(column_families(columns_)),
      buffer_(std::make_unique_for_overwrite<CellBuffer>()),
      params_(std::move(params)),
      statement_(std::move(statement)) {}

RowCursor& RowCursor::operator=(RowCursor&& other) noexcept {
    if (this != &other) {
        statement_.reset();
        columns_ = std::move(other.columns_);
        families_ = std::move(other.families_);
        buffer_ = std::move(other.buffer_);
        params_ = std::move(other.params_);
        statement_ = std::move(other.statement_);
        exhausted_ = other.exhausted_;
    }
    return *this;
}

Result<Batch> RowCursor::fetch_batch(std::uint64_t n) {
    Batch rows;
    auto fetched = fetch_batch_into(n, rows);
    if (!fetched) return std::unexpected(std::move(fetched.error()));
    return rows;
}

Result<void> RowCursor::fetch_batch_into(std::uint64_t n, Batch& rows) {
    // Rows beyond the new count are kept as spares: their strings' storage
    // is reused by the next batch, so steady fetching allocates little.
    std::size_t count = 0;
    const auto finish = [&] { rows.resize(count); };
    if (exhausted_ || n == 0) {
        finish();
        return {};
    }
    const SQLHSTMT stmt = statement_.handle();
    for (std::uint64_t i = 0; i < n; ++i) {
        const SQLRETURN rc = SQLFetch(stmt);
        if (rc == SQL_NO_DATA) {
            exhausted_ = true;
            break;
        }
        if (!succeeded(rc)) {
            count = 0;
            finish();
            return std::unexpected(statement_error(stmt));
        }
        if (count == rows.size()) rows.emplace_back();
        auto row = fetch_row_into(stmt, families_, *buffer_, rows[count]);
        if (!row) {
            count = 0;
            finish();
            return std::unexpected(std::move(row.error()));
        }
        ++count;
    }
    finish();
    return {};
}

namespace {

// An executed statement with the buffers bound to it. Member order frees the
// statement before the buffers on every path.
struct Executed {
    BoundParams params;
    odbc::RawStatement statement;
    bool no_data = false;
};

Result<Executed> run_statement(SQLHDBC connection, std::u16string_view sql, Params params) {
    Executed run;
    auto statement = odbc::RawStatement::allocate(connection);
    if (!statement) return std::unexpected(std::move(statement.error()));
    run.statement = std::move(*statement);
    auto bound = bind_params(run.statement.handle(), std::move(params));
    if (!bound) return std::unexpected(std::move(bound.error()));
    run.params = std::move(*bound);
    auto no_data = odbc::exec_direct(run.statement.handle(), sql);
    if (!no_data) return std::unexpected(std::move(no_data.error()));
    run.no_data = *no_data;
    return run;
}

}  // namespace

Result<std::int64_t> execute_on(SQLHDBC connection, std::u16string_view sql, Params params) {
    auto run = run_statement(connection, sql, std::move(params));
    if (!run) return std::unexpected(std::move(run.error()));
    if (run->no_data) return 0;
    SQLLEN count = 0;
    if (!succeeded(SQLRowCount(run->statement.handle(), &count))) {
        return std::unexpected(statement_error(run->statement.handle()));
    }
    return static_cast<std::int64_t>(count);
}

Result<QueryResult> query_on(SQLHDBC connection, std::u16string_view sql, Params params) {
    auto run = run_statement(connection, sql, std::move(params));
    if (!run) return std::unexpected(std::move(run.error()));
    const SQLHSTMT stmt = run->statement.handle();
    auto columns = describe_columns(stmt);
    if (!columns) return std::unexpected(std::move(columns.error()));
    const std::vector<SqlTypeFamily> families = column_families(*columns);
    const auto buffer = std::make_unique_for_overwrite<CellBuffer>();
    QueryResult result{std::move(*columns), {}};
    for (;;) {
        const SQLRETURN rc = SQLFetch(stmt);
        if (rc == SQL_NO_DATA) break;
        if (!succeeded(rc)) return std::unexpected(statement_error(stmt));
        auto row = fetch_row(stmt, families, *buffer);
        if (!row) return std::unexpected(std::move(row.error()));
        result.rows.push_back(std::move(*row));
    }
    return result;
}

Result<RowCursor> query_cursor_on(SQLHDBC connection, std::u16string_view sql, Params params) {
    auto run = run_statement(connection, sql, std::move(params));
    if (!run) return std::unexpected(std::move(run.error()));
    auto columns = describe_columns(run->statement.handle());
    if (!columns) return std::unexpected(std::move(columns.error()));
    return RowCursor(std::move(*columns), std::move(run->params), std::move(run->statement));
}

}  // namespace vantorel
