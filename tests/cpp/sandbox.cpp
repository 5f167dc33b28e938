#include "sandbox.h"

#include <cstdlib>

namespace vantorel::test {

std::string sandbox_env(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::string() : std::string(value);
}

SecretString sandbox_connection_string_with_password(std::string_view password) {
    SecretString dsn;
    dsn.append("DRIVER=IBM i Access ODBC Driver;SYSTEM=");
    dsn.append(sandbox_env("PGHOST"));
    dsn.append(";UID=");
    dsn.append(sandbox_env("PGUSER"));
    dsn.append(";PWD=");
    dsn.append(password);
    dsn.append(";");
    return dsn;
}

SecretString sandbox_connection_string() { return sandbox_connection_string_with_password(sandbox_env("PGPASSWORD")); }

Result<odbc::RawConnection> sandbox_connect() { return odbc::RawConnection::open(sandbox_connection_string(), 0); }

Result<std::int64_t> run_sql(SQLHDBC connection, std::string_view sql, Params params) {
    return execute_on(connection, u16(sql), std::move(params));
}

Result<QueryResult> query_sql(SQLHDBC connection, std::string_view sql, Params params) {
    return query_on(connection, u16(sql), std::move(params));
}

std::string describe(const CoreError& error) { return error.display(); }

void SandboxTest::SetUp() {
    auto connection = sandbox_connect();
    ASSERT_TRUE(connection.has_value()) << describe(connection.error());
    connection_ = std::move(*connection);
}

void SandboxTest::must_run(std::string_view sql, Params params) {
    auto result = run_sql(conn(), sql, std::move(params));
    ASSERT_TRUE(result.has_value()) << sql << ": " << describe(result.error());
}

QueryResult SandboxTest::must_query(std::string_view sql, Params params) {
    auto result = query_sql(conn(), sql, std::move(params));
    EXPECT_TRUE(result.has_value()) << sql << ": " << describe(result.error());
    return result.has_value() ? std::move(*result) : QueryResult{};
}

}  // namespace vantorel::test
