// Connecting through the scripted driver: what the connection sets, what a
// refused login leaves behind, and handle hygiene around statements.
#include <gtest/gtest.h>

#include <algorithm>

#include "../scripted_driver/testing.h"
#include "core/cursor.h"
#include "core/odbc/handles.h"

namespace vantorel {
namespace {

using scripted_testing::application_handles;
using scripted_testing::json;
using scripted_testing::Scenario;

Result<odbc::RawConnection> connect(const std::string& connection_string, std::uint32_t login_timeout = 0) {
    return odbc::RawConnection::open(SecretString(connection_string), login_timeout);
}

std::size_t position_of(const std::vector<json>& log, std::string_view call) {
    auto it = std::find_if(log.begin(), log.end(), [&](const json& l) { return l["call"] == call; });
    return static_cast<std::size_t>(it - log.begin());
}

TEST(ScriptedConnection, LoginTimeoutIsSetBeforeConnectingOnlyWhenNotZero) {
    for (std::uint32_t seconds : {0u, 5u}) {
        SCOPED_TRACE(seconds);
        Scenario scenario;
        scenario.write();
        {
            auto connection = connect(scenario.connection_string(), seconds);
            ASSERT_TRUE(connection.has_value()) << connection.error().display();
        }
        const auto log = scenario.log();
        std::vector<std::size_t> timeouts;
        for (std::size_t i = 0; i < log.size(); ++i)
            if (log[i]["call"].get<std::string>().starts_with("SQLSetConnectAttr") && log[i]["attr"] == SQL_ATTR_LOGIN_TIMEOUT)
                timeouts.push_back(i);
        if (seconds == 0) {
            EXPECT_TRUE(timeouts.empty());
        } else {
            ASSERT_EQ(timeouts.size(), 1u);
            EXPECT_EQ(log[timeouts[0]]["value"], 5);
            EXPECT_LT(timeouts[0], position_of(log, "SQLDriverConnectW"));
        }
        EXPECT_EQ(scenario.calls("SQLDisconnect").size(), 1u);
        EXPECT_TRUE(scenario.unfreed("DBC").empty());
    }
}

TEST(ScriptedConnection, RefusedLoginFreesTheConnectionHandleAndReportsTheRefusal) {
    Scenario scenario;
    scenario.data()["login"]["error"] = json::parse(R"({"sqlstate": "28000", "native": -30082, "message": "usuario o clave no validos"})");
    scenario.write();
    const auto before = application_handles();

    auto connection = connect(scenario.connection_string_with("u", "not-the-password"), 5);

    ASSERT_FALSE(connection.has_value());
    EXPECT_EQ(connection.error().kind(), ErrorKind::Query);
    EXPECT_EQ(connection.error().sqlstate(), "28000");
    EXPECT_EQ(connection.error().native_error(), -30082);
    EXPECT_EQ(connection.error().message(), "usuario o clave no validos");
    EXPECT_EQ(application_handles().dbc, before.dbc);
    // The driver really saw the login, with the password masked in its log.
    const auto connects = scenario.calls("SQLDriverConnectW");
    ASSERT_EQ(connects.size(), 1u);
    EXPECT_EQ(connects[0]["rc"], SQL_ERROR);
    EXPECT_NE(connects[0]["connection_string"].get<std::string>().find("PWD=***"), std::string::npos);
    EXPECT_EQ(scenario.count("SQLAllocHandle", "DBC"), 1u);
    EXPECT_TRUE(scenario.unfreed("DBC").empty());
}

TEST(ScriptedConnection, NoHandleIsLeftBehindAfterQueriesThatSucceedOrFail) {
    Scenario scenario;
    scenario.rule(json::parse(R"({"exact": "SELECT A FROM T", "columns": [{"name": "A", "type": 4, "size": 10}], "rows": [["1"], ["2"]]})"));
    scenario.rule(json::parse(R"({"exact": "SELECT BAD", "error": {"sqlstate": "42S02", "native": -204, "message": "T no existe"}})"));
    scenario.rule(json::parse(R"({"exact": "DELETE FROM T", "error": {"sqlstate": "23504", "native": -532, "message": "restriccion"}})"));
    scenario.rule(json::parse(R"({"prefix": "SELECT A FROM T WHERE", "columns": ["A"], "rows": [["1"]],
                                  "fetch_errors": [{"at": 1, "error": {"sqlstate": "22003", "native": -802}}]})"));
    scenario.write();
    const auto before = application_handles();
    {
        auto connection = connect(scenario.connection_string());
        ASSERT_TRUE(connection.has_value()) << connection.error().display();
        const SQLHDBC conn = connection->handle();

        auto rows = query_on(conn, u"SELECT A FROM T", {});
        ASSERT_TRUE(rows.has_value()) << rows.error().display();
        EXPECT_EQ(rows->rows.size(), 2u);
        EXPECT_FALSE(query_on(conn, u"SELECT BAD", {}).has_value());
        EXPECT_FALSE(execute_on(conn, u"DELETE FROM T", {ParamValue(std::int64_t{7})}).has_value());
        EXPECT_FALSE(query_on(conn, u"SELECT A FROM T WHERE A = ?", {ParamValue(u"x")}).has_value());
        {
            auto cursor = query_cursor_on(conn, u"SELECT A FROM T", {});
            ASSERT_TRUE(cursor.has_value()) << cursor.error().display();
            ASSERT_TRUE(cursor->fetch_batch(1).has_value());
            // The counts are live: an open cursor holds one statement.
            EXPECT_EQ(application_handles().stmt, before.stmt + 1);
            EXPECT_EQ(application_handles().dbc, before.dbc + 1);
        }

        // Checked while the connection is open: disconnecting would release
        // the driver's statements whatever the application did.
        EXPECT_EQ(scenario.count("SQLAllocHandle", "STMT"), 5u);
        EXPECT_TRUE(scenario.unfreed("STMT").empty());
        EXPECT_EQ(application_handles().stmt, before.stmt);
    }
    EXPECT_EQ(application_handles().dbc, before.dbc);
    EXPECT_TRUE(scenario.unfreed("DBC").empty());
}

}  // namespace
}  // namespace vantorel
