// Diagnostics and cell reads against answers only a scripted driver gives:
// several or no diagnostic records, lone surrogates, SQL_NO_TOTAL pieces,
// large objects whose wide read says NULL, native error codes.
#include <gtest/gtest.h>

#include "../scripted_driver/testing.h"
#include "core/cursor.h"
#include "core/odbc/diag.h"
#include "core/odbc/handles.h"
#include "core/odbc/utf16.h"

namespace vantorel {
namespace {

using scripted_testing::json;
using scripted_testing::Scenario;

// One open connection to a scenario written by the test.
class ScriptedResults : public ::testing::Test {
protected:
    void open() {
        scenario_.write();
        auto connection = odbc::RawConnection::open(SecretString(scenario_.connection_string()), 0);
        ASSERT_TRUE(connection.has_value()) << connection.error().display();
        connection_ = std::move(*connection);
    }
    // Executes sql on a fresh statement and positions it on the first row.
    odbc::RawStatement executed(std::u16string_view sql, bool fetch) {
        auto statement = odbc::RawStatement::allocate(connection_.handle());
        EXPECT_TRUE(statement.has_value());
        if (!statement) return {};
        const SQLRETURN rc = SQLExecDirectW(statement->handle(), reinterpret_cast<SQLWCHAR*>(const_cast<char16_t*>(sql.data())),
                                            static_cast<SQLINTEGER>(sql.size()));
        if (fetch) {
            EXPECT_TRUE(odbc::succeeded(rc)) << odbc::primary_diagnostic(SQL_HANDLE_STMT, statement->handle()).message;
            EXPECT_EQ(SQLFetch(statement->handle()), SQL_SUCCESS);
        }
        return std::move(*statement);
    }
    // SQLGetData calls of the log that delivered data, for one C type.
    std::vector<json> pieces(SQLSMALLINT ctype) const {
        std::vector<json> out;
        for (auto& l : scenario_.calls("SQLGetData"))
            if (l["ctype"] == ctype && (l["rc"] == SQL_SUCCESS || l["rc"] == SQL_SUCCESS_WITH_INFO)) out.push_back(l);
        return out;
    }

    Scenario scenario_;
    odbc::RawConnection connection_;
};

struct DiagnosticCase {
    const char* name;
    const char* error;  // the scenario's "error" value
    const char* sqlstate;
    std::int32_t native;
    std::string message;
};

TEST_F(ScriptedResults, PrimaryDiagnosticIsTheFirstRecordOrTheFixedOneAndDecodesLoneSurrogates) {
    const DiagnosticCase cases[] = {
        {"two records", R"([{"sqlstate": "42S02", "native": -204, "message": "primero"},
                            {"sqlstate": "01000", "native": 7, "message": "segundo"}])",
         "42S02", -204, "primero"},
        {"no record", "[]", "HY000", 0, "el driver ODBC no dejo diagnostico para este error"},
        // A, lone high surrogate, B, a valid pair (U+1F600), C, lone high surrogate at the end.
        {"lone high surrogate", R"({"sqlstate": "HY000", "native": -1, "message": {"units": [65, 55296, 66, 55357, 56832, 67, 55296]}})",
         "HY000", -1, "A\xEF\xBF\xBD" "B\xF0\x9F\x98\x80" "C\xEF\xBF\xBD"},
    };
    for (const auto& c : cases) scenario_.rule({{"exact", c.name}, {"error", json::parse(c.error)}});
    open();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::u16string sql = odbc::to_utf16(c.name);
        auto statement = executed(sql, false);
        const Diagnostic d = odbc::primary_diagnostic(SQL_HANDLE_STMT, statement.handle());
        EXPECT_EQ(d.sqlstate, c.sqlstate);
        EXPECT_EQ(d.native_error, c.native);
        EXPECT_EQ(d.message, c.message);
    }
}

TEST_F(ScriptedResults, FailingStatementKeepsTheNativeCodeInTheError) {
    scenario_.rule(json::parse(R"({"prefix": "UPDATE T", "error": {"sqlstate": "57033", "native": -913, "message": "fila en uso"}})"));
    open();
    const Result<std::int64_t> executed = execute_on(connection_.handle(), u"UPDATE T SET A = ?", {ParamValue(std::int64_t{1})});
    const Result<QueryResult> queried = query_on(connection_.handle(), u"UPDATE T SET A = 2", {});
    for (const CoreError* e : {&executed.error(), &queried.error()}) {
        EXPECT_EQ(e->kind(), ErrorKind::Query);
        EXPECT_EQ(e->sqlstate(), "57033");
        EXPECT_EQ(e->native_error(), -913);
        EXPECT_EQ(e->message(), "fila en uso");
    }
}

struct PieceCase {
    const char* name;
    std::u16string text;
    bool no_total;
    std::size_t pieces;
};

TEST_F(ScriptedResults, TextInPiecesOfAtMost4095UnitsIsReadWhole) {
    const std::u16string smile = u"\U0001F600";
    const PieceCase cases[] = {
        {"10000 units, no total", std::u16string(10000, u'x'), true, 3},
        {"10000 units, lengths", std::u16string(10000, u'y'), false, 3},
        {"pair split across pieces, no total", std::u16string(4094, u'a') + smile + u"fin", true, 2},
        {"pair split across pieces, lengths", std::u16string(4094, u'b') + smile + u"fin", false, 2},
        {"4095 units", std::u16string(4095, u'c'), true, 1},
        {"4096 units", std::u16string(4096, u'd'), true, 2},
        {"empty", u"", true, 1},
    };
    for (const auto& c : cases) {
        json rule = json::parse(R"({"columns": [{"name": "T", "type": -9, "size": 32000, "piece_units": 4095}]})");
        rule["exact"] = c.name;
        rule["columns"][0]["no_total"] = c.no_total;
        json cell = json::object();
        cell["units"] = std::vector<unsigned>(c.text.begin(), c.text.end());
        rule["rows"] = json::array({json::array({cell})});
        scenario_.rule(rule);
    }
    open();
    CellBuffer buffer;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::size_t before = pieces(SQL_C_WCHAR).size();
        auto statement = executed(odbc::to_utf16(c.name), true);
        auto text = get_data_text(statement.handle(), 1, buffer);
        ASSERT_TRUE(text.has_value()) << text.error().display();
        ASSERT_TRUE(text->has_value());
        EXPECT_EQ(text->value().size(), c.text.size());
        EXPECT_TRUE(text->value() == c.text);
        // The driver really answered in pieces, with SQL_NO_TOTAL when asked to.
        const auto read = pieces(SQL_C_WCHAR);
        ASSERT_EQ(read.size() - before, c.pieces);
        if (c.pieces > 1) {
            EXPECT_EQ(read[before]["ind"], c.no_total ? SQL_NO_TOTAL : static_cast<SQLLEN>(c.text.size() * 2));
        }
    }
}

struct LargeObjectCase {
    const char* name;
    SQLSMALLINT type;
    const char* cell;
    ColumnValue expected;
};

TEST_F(ScriptedResults, LargeObjectWhoseWideReadSaysNullIsReadAgainAsNarrowText) {
    const LargeObjectCase cases[] = {
        {"clob -99 narrow text", -99, R"({"wchar": null, "char": "a\u00f1o largo"})", ColumnValue(std::u16string(u"a\u00f1o largo"))},
        {"clob -1 narrow text", SQL_LONGVARCHAR, R"({"wchar": null, "char": "texto"})", ColumnValue(std::u16string(u"texto"))},
        {"clob -99 narrow null", -99, R"({"wchar": null, "char": null})", ColumnValue(std::monostate{})},
        {"clob -1 narrow null", SQL_LONGVARCHAR, R"({"wchar": null, "char": null})", ColumnValue(std::monostate{})},
        // Not a large object: a wide NULL is NULL, no second read.
        {"varchar", SQL_VARCHAR, R"({"wchar": null, "char": "ignorado"})", ColumnValue(std::monostate{})},
    };
    for (const auto& c : cases) {
        json rule{{"exact", c.name}};
        rule["columns"] = json::array({json{{"name", "C"}, {"type", c.type}, {"size", 1000000}}});
        rule["rows"] = json::array({json::array({json::parse(c.cell)})});
        scenario_.rule(rule);
    }
    open();
    CellBuffer buffer;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::size_t narrow_before = pieces(SQL_C_CHAR).size();
        auto statement = executed(odbc::to_utf16(c.name), true);
        auto columns = describe_columns(statement.handle());
        ASSERT_TRUE(columns.has_value()) << columns.error().display();
        const auto families = column_families(*columns);
        auto row = fetch_row(statement.handle(), families, buffer);
        ASSERT_TRUE(row.has_value()) << row.error().display();
        ASSERT_EQ(row->size(), 1u);
        EXPECT_TRUE((*row)[0] == c.expected);
        const bool large_object = c.type != SQL_VARCHAR;
        EXPECT_EQ(pieces(SQL_C_CHAR).size() - narrow_before, large_object ? 1u : 0u);
    }
}

}  // namespace
}  // namespace vantorel
