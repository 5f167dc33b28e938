// Access to the sandbox database for tests: its connection string and
// short-cuts that run SQL through the ODBC layer itself.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "core/cursor.h"
#include "core/error.h"
#include "core/odbc/handles.h"
#include "core/odbc/utf16.h"
#include "core/secret.h"
#include "core/types.h"

namespace vantorel::test {

// A variable of the sandbox's environment; empty when unset.
std::string sandbox_env(const char* name);

// "DRIVER=IBM i Access ODBC Driver;SYSTEM=<PGHOST>;UID=<PGUSER>;PWD=<PGPASSWORD>;"
// The driver ignores SYSTEM: PGHOST, PGPORT and PGDATABASE do the work.
SecretString sandbox_connection_string();
// The same with another password, to see a refusal.
SecretString sandbox_connection_string_with_password(std::string_view password);

Result<odbc::RawConnection> sandbox_connect();

// Statement short-cuts over execute_on/query_on with UTF-8 SQL.
Result<std::int64_t> run_sql(SQLHDBC connection, std::string_view sql, Params params = {});
Result<QueryResult> query_sql(SQLHDBC connection, std::string_view sql, Params params = {});

inline std::u16string u16(std::string_view utf8) { return odbc::to_utf16(utf8); }

// A gtest fixture holding one open sandbox connection per test; temporary
// tables made on it vanish with it.
class SandboxTest : public ::testing::Test {
protected:
    void SetUp() override;
    SQLHDBC conn() const noexcept { return connection_.handle(); }
    // Runs SQL that must succeed (set-up), failing the test otherwise.
    void must_run(std::string_view sql, Params params = {});
    QueryResult must_query(std::string_view sql, Params params = {});

    odbc::RawConnection connection_;
};

// gtest output for results that hold a CoreError.
std::string describe(const CoreError& error);

}  // namespace vantorel::test
