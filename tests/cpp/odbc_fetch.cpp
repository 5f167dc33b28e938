// Result description, piecewise cell reads, cursors and parameter binding
// against the sandbox.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/odbc/diag.h"
#include "sandbox.h"

namespace vantorel::test {
namespace {

class OdbcFetch : public SandboxTest {
protected:
    // Inserts one value through a bound parameter and reads it back.
    ColumnValue round_trip(const char* column_type, ParamValue value) {
        must_run(std::string("DROP TABLE IF EXISTS round_trip"));
        must_run(std::string("CREATE TEMP TABLE round_trip (v ") + column_type + ")");
        Params params;
        params.push_back(std::move(value));
        must_run("INSERT INTO round_trip VALUES (?)", std::move(params));
        QueryResult result = must_query("SELECT v FROM round_trip");
        if (result.rows.size() != 1 || result.rows[0].size() != 1) {
            ADD_FAILURE() << "expected one cell";
            return std::monostate{};
        }
        return std::move(result.rows[0][0]);
    }
};

std::u16string ascii_text(std::size_t units) {
    std::u16string text;
    for (std::size_t i = 0; i < units; ++i) text.push_back(static_cast<char16_t>(u'a' + i % 26));
    return text;
}

Bytes patterned_bytes(std::size_t size) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>((i * 7 + i / 256) % 256);
    return bytes;
}

TEST_F(OdbcFetch, CursorDeliversBatchesThenStaysExhausted) {
    auto cursor = query_cursor_on(conn(), u"SELECT g FROM generate_series(1, 7) AS g", {});
    ASSERT_TRUE(cursor.has_value()) << describe(cursor.error());
    ASSERT_EQ(cursor->columns().size(), 1u);
    EXPECT_EQ(cursor->columns()[0].name, "g");

    auto none = cursor->fetch_batch(0);
    ASSERT_TRUE(none.has_value());
    EXPECT_TRUE(none->empty());
    EXPECT_FALSE(cursor->exhausted());

    std::u16string seen;
    for (std::size_t expected : {3u, 3u, 1u, 0u, 0u}) {
        auto batch = cursor->fetch_batch(3);
        ASSERT_TRUE(batch.has_value()) << describe(batch.error());
        ASSERT_EQ(batch->size(), expected);
        for (const Row& row : *batch) seen += std::get<std::u16string>(row[0]);
    }
    EXPECT_TRUE(cursor->exhausted());
    // fetch_batch(0) fetched nothing: the first row was not lost.
    EXPECT_EQ(seen, u"1234567");
}

TEST_F(OdbcFetch, CursorEndingOnABatchBoundaryNeedsOneMoreCall) {
    auto cursor = query_cursor_on(conn(), u"SELECT g FROM generate_series(1, 6) AS g", {});
    ASSERT_TRUE(cursor.has_value());
    for (std::size_t expected : {3u, 3u}) {
        auto batch = cursor->fetch_batch(3);
        ASSERT_TRUE(batch.has_value());
        EXPECT_EQ(batch->size(), expected);
    }
    EXPECT_FALSE(cursor->exhausted());
    auto last = cursor->fetch_batch(3);
    ASSERT_TRUE(last.has_value());
    EXPECT_TRUE(last->empty());
    EXPECT_TRUE(cursor->exhausted());
}

TEST_F(OdbcFetch, ColumnTypesMapToTheirFamilies) {
    must_run(
        "CREATE TEMP TABLE typed (c_int INTEGER NOT NULL, c_bigint BIGINT, c_smallint SMALLINT, "
        "c_numeric NUMERIC(10,2), c_real REAL, c_double DOUBLE PRECISION, c_bool BOOLEAN, c_date DATE, "
        "c_time TIME, c_timestamp TIMESTAMP, c_char CHAR(10), c_varchar VARCHAR(20), c_text TEXT, c_bytea BYTEA)");
    must_run(
        "INSERT INTO typed VALUES (-5, 9000000000, 7, -12.3, 1.5, 0.25, true, '2024-01-31', '13:45:06', "
        "'2024-01-31 13:45:06.123456', 'AB', 'xy', 'long', '\\x0001ff')");
    QueryResult result = must_query("SELECT * FROM typed");
    using F = SqlTypeFamily;
    const struct {
        const char* name;
        std::int16_t code;
        F family;
        ColumnValue value;
    } expected[] = {
        {"c_int", SQL_INTEGER, F::Integer, u"-5"},
        {"c_bigint", SQL_BIGINT, F::Integer, u"9000000000"},
        {"c_smallint", SQL_SMALLINT, F::Integer, u"7"},
        {"c_numeric", SQL_NUMERIC, F::Decimal, u"-12.30"},
        {"c_real", SQL_REAL, F::Float, u"1.5"},
        {"c_double", SQL_FLOAT, F::Float, u"0.25"},
        {"c_bool", SQL_BIT, F::Bit, u"1"},
        {"c_date", SQL_TYPE_DATE, F::Date, u"2024-01-31"},
        {"c_time", SQL_TYPE_TIME, F::Time, u"13:45:06"},
        {"c_timestamp", SQL_TYPE_TIMESTAMP, F::Timestamp, u"2024-01-31 13:45:06.123456"},
        {"c_char", SQL_WCHAR, F::Text, u"AB        "},
        {"c_varchar", SQL_WVARCHAR, F::Text, u"xy"},
        {"c_text", SQL_WLONGVARCHAR, F::Text, u"long"},
        {"c_bytea", SQL_LONGVARBINARY, F::Binary, Bytes{0x00, 0x01, 0xFF}},
    };
    ASSERT_EQ(result.columns.size(), std::size(expected));
    ASSERT_EQ(result.rows.size(), 1u);
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        const ColumnMeta& column = result.columns[i];
        EXPECT_EQ(column.name, expected[i].name);
        EXPECT_EQ(column.data_type, expected[i].code) << column.name;
        EXPECT_EQ(classify_sql_type(column.data_type), expected[i].family) << column.name;
        EXPECT_EQ(result.rows[0][i], expected[i].value) << column.name;
    }
    EXPECT_FALSE(result.columns[0].nullable);
    EXPECT_TRUE(result.columns[1].nullable);
    EXPECT_EQ(result.columns[3].column_size, 10u);
    EXPECT_EQ(result.columns[3].decimal_digits, 2);
}

TEST_F(OdbcFetch, TextValuesAtPieceEdgesComeBackWhole) {
    // A piece holds 4095 units; lengths around one and two pieces.
    for (std::size_t units : {0u, 1u, 4094u, 4095u, 4096u, 4097u, 8190u, 8191u, 10000u}) {
        const std::u16string text = ascii_text(units);
        EXPECT_EQ(round_trip("TEXT", text), ColumnValue(text)) << units << " units";
    }
}

TEST_F(OdbcFetch, SurrogatePairsSurviveBindingAndPieceBoundaries) {
    const std::u16string grin = u"\U0001F600";
    // Pairs before, across and after the end of the first 4095-unit piece.
    for (std::size_t prefix : {0u, 4093u, 4094u, 4095u}) {
        const std::u16string text = ascii_text(prefix) + grin + u"tail" + grin;
        EXPECT_EQ(round_trip("TEXT", text), ColumnValue(text)) << "pair after " << prefix << " units";
    }
    EXPECT_EQ(round_trip("VARCHAR(10)", grin), ColumnValue(grin));
}

TEST_F(OdbcFetch, BinaryValuesAtBufferEdgesComeBackWhole) {
    for (std::size_t size : {1u, 8191u, 8192u, 8193u, 16384u, 20000u}) {
        const Bytes bytes = patterned_bytes(size);
        EXPECT_EQ(round_trip("BYTEA", bytes), ColumnValue(bytes)) << size << " bytes";
    }
}

TEST_F(OdbcFetch, NullAndEmptyAreToldApart) {
    must_run("CREATE TEMP TABLE blanks (id INTEGER, t TEXT, v VARCHAR(5), b BYTEA)");
    Params params{std::int64_t{1}, std::u16string(), std::u16string(), Bytes{}};
    must_run("INSERT INTO blanks VALUES (?, ?, ?, ?)", std::move(params));
    params = {std::int64_t{2}, std::monostate{}, std::monostate{}, std::monostate{}};
    must_run("INSERT INTO blanks VALUES (?, ?, ?, ?)", std::move(params));
    QueryResult result = must_query("SELECT t, v, b, length(b) FROM blanks ORDER BY id");
    ASSERT_EQ(result.rows.size(), 2u);
    const Row empty{std::u16string(), std::u16string(), Bytes{}, std::u16string(u"0")};
    const Row nulls{std::monostate{}, std::monostate{}, std::monostate{}, std::monostate{}};
    EXPECT_EQ(result.rows[0], empty);
    EXPECT_EQ(result.rows[1], nulls);
}

TEST_F(OdbcFetch, LargeObjectReadFallsBackToNarrowOnlyForAbsentValues) {
    must_run("CREATE TEMP TABLE clobs (id INTEGER, c TEXT)");
    const std::u16string big = ascii_text(9000) + u"\u00E9";
    Params params{std::int64_t{1}, big};
    must_run("INSERT INTO clobs VALUES (?, ?)", std::move(params));
    must_run("INSERT INTO clobs VALUES (2, NULL), (3, '')");
    auto cursor = query_cursor_on(conn(), u"SELECT c FROM clobs ORDER BY id", {});
    ASSERT_TRUE(cursor.has_value());
    // Read the column as a large object whatever the driver calls it.
    const SqlTypeFamily families[] = {SqlTypeFamily::Clob};
    CellBuffer buffer;
    const ColumnValue expected[] = {big, std::monostate{}, std::u16string()};
    for (const ColumnValue& want : expected) {
        ASSERT_TRUE(odbc::succeeded(SQLFetch(cursor->statement())));
        auto row = fetch_row(cursor->statement(), families, buffer);
        ASSERT_TRUE(row.has_value()) << describe(row.error());
        EXPECT_EQ((*row)[0], want);
    }
}

TEST_F(OdbcFetch, BoundValuesOfEveryKindArriveAsSent) {
    must_run("CREATE TEMP TABLE bound (i BIGINT, f DOUBLE PRECISION, t TEXT, b BYTEA, n TEXT)");
    Params params{std::int64_t{-9007199254740993}, 2.5, std::u16string(u"\u00F1and\u00FA \U0001F600"),
                  Bytes{0, 1, 2, 255}, std::monostate{}};
    must_run("INSERT INTO bound VALUES (?, ?, ?, ?, ?)", std::move(params));
    QueryResult result = must_query("SELECT i, f, t, b, n, n IS NULL FROM bound");
    ASSERT_EQ(result.rows.size(), 1u);
    const Row expected{std::u16string(u"-9007199254740993"), std::u16string(u"2.5"),
                       std::u16string(u"\u00F1and\u00FA \U0001F600"), Bytes{0, 1, 2, 255}, std::monostate{},
                       std::u16string(u"1")};
    EXPECT_EQ(result.rows[0], expected);
}

// What bind_params told the driver about one marker, read back from the
// statement's parameter descriptors. (The sandbox driver keeps no column
// size there, so that argument cannot be read back.)
struct BoundMarker {
    SQLSMALLINT c_type = 0;
    SQLSMALLINT sql_type = 0;
    SQLLEN indicator = 0;
    const unsigned char* data = nullptr;
};

BoundMarker read_marker(SQLHSTMT statement, SQLSMALLINT number) {
    SQLHDESC apd = SQL_NULL_HDESC;
    SQLHDESC ipd = SQL_NULL_HDESC;
    SQLGetStmtAttr(statement, SQL_ATTR_APP_PARAM_DESC, &apd, 0, nullptr);
    SQLGetStmtAttr(statement, SQL_ATTR_IMP_PARAM_DESC, &ipd, 0, nullptr);
    BoundMarker m;
    SQLLEN* indicator = nullptr;
    SQLPOINTER data = nullptr;
    EXPECT_TRUE(odbc::succeeded(SQLGetDescField(apd, number, SQL_DESC_CONCISE_TYPE, &m.c_type, 0, nullptr)));
    EXPECT_TRUE(odbc::succeeded(SQLGetDescField(apd, number, SQL_DESC_DATA_PTR, &data, 0, nullptr)));
    EXPECT_TRUE(odbc::succeeded(SQLGetDescField(apd, number, SQL_DESC_OCTET_LENGTH_PTR, &indicator, 0, nullptr)));
    EXPECT_TRUE(odbc::succeeded(SQLGetDescField(ipd, number, SQL_DESC_CONCISE_TYPE, &m.sql_type, 0, nullptr)));
    if (indicator != nullptr) m.indicator = *indicator;
    m.data = static_cast<const unsigned char*>(data);
    return m;
}

TEST_F(OdbcFetch, BindingHandsTheDriverExactLengthsAndTypes) {
    auto statement = odbc::RawStatement::allocate(conn());
    ASSERT_TRUE(statement.has_value());
    const std::u16string with_nul(u"ab\0cd", 5);
    const std::u16string grin(u"\U0001F600");
    Params values{std::monostate{}, with_nul, std::u16string(), grin, std::int64_t{-42}, 2.5, Bytes{1, 0, 2}, Bytes{}};
    auto bound = bind_params(statement->handle(), values);
    ASSERT_TRUE(bound.has_value()) << describe(bound.error());
    ASSERT_EQ(bound->size(), values.size());

    const struct {
        SQLSMALLINT c_type;
        SQLSMALLINT sql_type;
        SQLLEN indicator;
    } expected[] = {
        {SQL_C_WCHAR, SQL_VARCHAR, SQL_NULL_DATA},
        {SQL_C_WCHAR, SQL_VARCHAR, 10},  // the NUL is inside the length
        {SQL_C_WCHAR, SQL_VARCHAR, 0},   // empty text is not NULL
        {SQL_C_WCHAR, SQL_VARCHAR, 4},   // two units for one character
        {SQL_C_SBIGINT, SQL_BIGINT, 8},
        {SQL_C_DOUBLE, SQL_DOUBLE, 8},
        {SQL_C_BINARY, SQL_VARBINARY, 3},
        {SQL_C_BINARY, SQL_VARBINARY, 0},
    };
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        const BoundMarker m = read_marker(statement->handle(), static_cast<SQLSMALLINT>(i + 1));
        EXPECT_EQ(m.c_type, expected[i].c_type) << "marker " << i + 1;
        EXPECT_EQ(m.sql_type, expected[i].sql_type) << "marker " << i + 1;
        EXPECT_EQ(m.indicator, expected[i].indicator) << "marker " << i + 1;
        if (i != 0) {
            EXPECT_NE(m.data, nullptr) << "marker " << i + 1;
        }
    }
    const BoundMarker text = read_marker(statement->handle(), 2);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(text.data), 5), with_nul);
    std::int64_t number = 0;
    std::memcpy(&number, read_marker(statement->handle(), 5).data, sizeof number);
    EXPECT_EQ(number, -42);
}

TEST_F(OdbcFetch, BoundBuffersOutliveTheMoveOfTheirOwner) {
    // Short texts live inside their buffers; the statement must still read
    // them after the owner moves, as it does when a cursor takes them over.
    auto cursor = query_cursor_on(conn(), u"SELECT ?::text || ?::text, ?::bigint", {u"ab", u"\U0001F600", std::int64_t{7}});
    ASSERT_TRUE(cursor.has_value()) << describe(cursor.error());
    RowCursor moved = std::move(*cursor);
    auto batch = moved.fetch_batch(10);
    ASSERT_TRUE(batch.has_value()) << describe(batch.error());
    ASSERT_EQ(batch->size(), 1u);
    EXPECT_EQ((*batch)[0], (Row{std::u16string(u"ab\U0001F600"), std::u16string(u"7")}));
}

}  // namespace
}  // namespace vantorel::test
