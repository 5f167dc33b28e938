// Describing results and reading rows cell by cell with SQLGetData.
#pragma once

#include <sql.h>
#include <sqlext.h>

#include <array>
#include <memory>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/bind.h"
#include "core/error.h"
#include "core/odbc/handles.h"
#include "core/types.h"

namespace vantorel {

// The one reusable buffer for piecewise SQLGetData calls.
struct CellBuffer {
    static constexpr std::size_t kBytes = 8192;
    alignas(8) std::array<unsigned char, kBytes> bytes;
};

// Reads one column of the current row as wide text; nullopt for SQL NULL.
Result<std::optional<std::u16string>> get_data_text(SQLHSTMT statement, SQLUSMALLINT column, CellBuffer& buffer);
// The same into `text`, reusing its storage; false for SQL NULL.
Result<bool> get_data_text_into(SQLHSTMT statement, SQLUSMALLINT column, CellBuffer& buffer, std::u16string& text);

Result<std::vector<ColumnMeta>> describe_columns(SQLHSTMT statement);

// How each column is read, chosen once per result from its SQL type.
std::vector<SqlTypeFamily> column_families(std::span<const ColumnMeta> columns);

// Reads the current row (after a successful SQLFetch).
Result<Row> fetch_row(SQLHSTMT statement, std::span<const SqlTypeFamily> families, CellBuffer& buffer);
// The same into `row`, reusing the storage of the cells it already holds.
Result<void> fetch_row_into(SQLHSTMT statement, std::span<const SqlTypeFamily> families, CellBuffer& buffer,
                            Row& row);

// An executed SELECT fetched in batches. Destruction frees the statement,
// then the parameter buffers. It does not own the connection.
class RowCursor {
public:
    RowCursor(std::vector<ColumnMeta> columns, BoundParams params, odbc::RawStatement statement);
    RowCursor(RowCursor&&) noexcept = default;
    // Frees the statement it held before the buffers bound to it.
    RowCursor& operator=(RowCursor&& other) noexcept;

    const std::vector<ColumnMeta>& columns() const noexcept { return columns_; }
    SQLHSTMT statement() const noexcept { return statement_.handle(); }
    bool exhausted() const noexcept { return exhausted_; }

    // At most n rows; empty once the end has been reached.
    Result<Batch> fetch_batch(std::uint64_t n);
    // The same into `rows`, reusing the rows it already holds (a batch given
    // back by its consumer); on error `rows` is left empty.
    Result<void> fetch_batch_into(std::uint64_t n, Batch& rows);

private:
    std::vector<ColumnMeta> columns_;
    std::vector<SqlTypeFamily> families_;
    std::unique_ptr<CellBuffer> buffer_;
    BoundParams params_;               // declared before statement_: freed after it
    odbc::RawStatement statement_;
    bool exhausted_ = false;
};

struct QueryResult {
    std::vector<ColumnMeta> columns;
    Batch rows;
};

// Statement operations on a connection handle; the pool's Lease wraps them.
// execute: the affected-row count (0 for SQL_NO_DATA, -1 when unknown).
Result<std::int64_t> execute_on(SQLHDBC connection, std::u16string_view sql, Params params);
Result<QueryResult> query_on(SQLHDBC connection, std::u16string_view sql, Params params);
Result<RowCursor> query_cursor_on(SQLHDBC connection, std::u16string_view sql, Params params);

}  // namespace vantorel
