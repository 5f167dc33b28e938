// Connections, diagnostics and direct execution against the sandbox.
#include <gtest/gtest.h>

#include <algorithm>

#include "core/odbc/diag.h"
#include "core/odbc/env.h"
#include "sandbox.h"

namespace vantorel::test {
namespace {

TEST(OdbcConnection, OpensThroughTheIbmIDriverNameAndIsAlive) {
    auto drivers = odbc::installed_drivers();
    ASSERT_TRUE(drivers.has_value()) << describe(drivers.error());
    EXPECT_NE(std::find(drivers->begin(), drivers->end(), "IBM i Access ODBC Driver"), drivers->end());

    auto connection = sandbox_connect();
    ASSERT_TRUE(connection.has_value()) << describe(connection.error());
    EXPECT_TRUE(static_cast<bool>(*connection));
    EXPECT_FALSE(connection->is_dead());
    auto rows = query_sql(connection->handle(), "SELECT current_user");
    ASSERT_TRUE(rows.has_value()) << describe(rows.error());
    ASSERT_EQ(rows->rows.size(), 1u);
    EXPECT_EQ(rows->rows[0][0], ColumnValue(u16(sandbox_env("PGUSER"))));
}

TEST(OdbcConnection, LoginTimeoutIsSetOnlyWhenNotZero) {
    for (std::uint32_t seconds : {0u, 5u}) {
        auto connection = odbc::RawConnection::open(sandbox_connection_string(), seconds);
        ASSERT_TRUE(connection.has_value()) << describe(connection.error());
        SQLUINTEGER value = 12345;
        const SQLRETURN rc = SQLGetConnectAttr(connection->handle(), SQL_ATTR_LOGIN_TIMEOUT, &value, 0, nullptr);
        ASSERT_TRUE(odbc::succeeded(rc));
        if (seconds != 0) {
            EXPECT_EQ(value, seconds);
        } else {
            EXPECT_NE(value, 5u);
        }
    }
}

TEST(OdbcConnection, WrongPasswordIsTheServersRefusal) {
    auto connection = odbc::RawConnection::open(sandbox_connection_string_with_password("not-the-password"), 0);
    ASSERT_FALSE(connection.has_value());
    const CoreError& e = connection.error();
    EXPECT_EQ(e.kind(), ErrorKind::Query);
    EXPECT_EQ(e.sqlstate(), "08001");
    EXPECT_NE(e.message().find("password authentication failed"), std::string::npos) << e.message();
    EXPECT_EQ(e.display().find("not-the-password"), std::string::npos);
}

TEST(OdbcConnection, UnknownDriverNameFailsWithTheDriverManagersDiagnostic) {
    SecretString dsn("DRIVER=No Such Driver Anywhere;UID=u;PWD=p;");
    auto connection = odbc::RawConnection::open(dsn, 0);
    ASSERT_FALSE(connection.has_value());
    EXPECT_EQ(connection.error().kind(), ErrorKind::Query);
    EXPECT_EQ(connection.error().sqlstate().size(), 5u);
    EXPECT_NE(connection.error().message().find("No Such Driver Anywhere"), std::string::npos);
}

class OdbcStatements : public SandboxTest {};

TEST_F(OdbcStatements, DeleteOfNothingIsNoDataAndInsertCountsRows) {
    must_run("CREATE TEMP TABLE counted (id INTEGER, name VARCHAR(20))");

    auto statement = odbc::RawStatement::allocate(conn());
    ASSERT_TRUE(statement.has_value()) << describe(statement.error());
    auto no_data = odbc::exec_direct(statement->handle(), u"DELETE FROM counted WHERE id = 99");
    ASSERT_TRUE(no_data.has_value()) << describe(no_data.error());
    EXPECT_TRUE(*no_data);

    const struct {
        const char* sql;
        std::int64_t rows;
    } cases[] = {
        {"DELETE FROM counted WHERE id = 99", 0},
        {"INSERT INTO counted VALUES (1, 'a'), (2, 'b'), (3, 'c')", 3},
        {"UPDATE counted SET name = 'z' WHERE id >= 2", 2},
        {"UPDATE counted SET name = 'z' WHERE id = 42", 0},
        {"DELETE FROM counted", 3},
    };
    for (const auto& c : cases) {
        auto rows = run_sql(conn(), c.sql);
        ASSERT_TRUE(rows.has_value()) << c.sql << ": " << describe(rows.error());
        EXPECT_EQ(*rows, c.rows) << c.sql;
    }
}

TEST_F(OdbcStatements, FailingStatementsCarryTheServersSqlstateAndMessage) {
    const struct {
        const char* sql;
        const char* sqlstate;
        const char* fragment;
    } cases[] = {
        {"SELECT * FROM no_such_table", "42P01", "no_such_table"},
        {"SELECT 1 / 0", "22012", "division by zero"},
        {"SELEC 1", "42601", "syntax error"},
    };
    for (const auto& c : cases) {
        auto result = query_sql(conn(), c.sql);
        ASSERT_FALSE(result.has_value()) << c.sql;
        const CoreError& e = result.error();
        EXPECT_EQ(e.kind(), ErrorKind::Query);
        EXPECT_EQ(e.sqlstate(), c.sqlstate) << c.sql << ": " << e.message();
        EXPECT_NE(e.message().find(c.fragment), std::string::npos) << e.message();
        EXPECT_EQ(e.display(), "error de consulta [" + std::string(c.sqlstate) + "]: " + e.message());
        // The connection stays usable after a failed statement.
        EXPECT_TRUE(run_sql(conn(), "SELECT 1").has_value());
    }
}

TEST_F(OdbcStatements, HandleWithoutRecordsGivesTheFixedDiagnostic) {
    auto statement = odbc::RawStatement::allocate(conn());
    ASSERT_TRUE(statement.has_value());
    const Diagnostic d = odbc::primary_diagnostic(SQL_HANDLE_STMT, statement->handle());
    EXPECT_EQ(d.sqlstate, "HY000");
    EXPECT_EQ(d.message, "el driver ODBC no dejo diagnostico para este error");
    EXPECT_EQ(d.native_error, 0);
}

TEST_F(OdbcStatements, StatementWithoutResultDescribesNoColumns) {
    must_run("CREATE TEMP TABLE empty_target (id INTEGER)");
    auto statement = odbc::RawStatement::allocate(conn());
    ASSERT_TRUE(statement.has_value());
    ASSERT_TRUE(odbc::exec_direct(statement->handle(), u"DELETE FROM empty_target").has_value());
    auto columns = describe_columns(statement->handle());
    ASSERT_TRUE(columns.has_value()) << describe(columns.error());
    EXPECT_TRUE(columns->empty());
}

}  // namespace
}  // namespace vantorel::test
