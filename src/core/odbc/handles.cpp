#include "core/odbc/handles.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>

#include "core/odbc/diag.h"
#include "core/odbc/env.h"
#include "core/odbc/utf16.h"

namespace vantorel::odbc {
namespace {

SQLWCHAR* wide(const char16_t* units) noexcept {
    return reinterpret_cast<SQLWCHAR*>(const_cast<char16_t*>(units));
}

}  // namespace

RawConnection& RawConnection::operator=(RawConnection&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = other.handle_;
        other.handle_ = SQL_NULL_HDBC;
    }
    return *this;
}

Result<RawConnection> RawConnection::open(const SecretString& connection_string, std::uint32_t login_timeout) {
    auto env = environment();
    if (!env) return std::unexpected(std::move(env.error()));

    SQLHDBC dbc = SQL_NULL_HDBC;
    if (!succeeded(SQLAllocHandle(SQL_HANDLE_DBC, *env, &dbc))) {
        return std::unexpected(CoreError::connect("no se pudo alocar el handle de conexion (SQLAllocHandle)"));
    }
    if (login_timeout != 0) {
        // Advisory: a driver that rejects it keeps its own default.
        SQLSetConnectAttr(dbc, SQL_ATTR_LOGIN_TIMEOUT,
                          reinterpret_cast<SQLPOINTER>(static_cast<std::uintptr_t>(login_timeout)), 0);
    }

    std::u16string text = to_utf16(connection_string.expose());
    const auto length = static_cast<SQLSMALLINT>(
        std::min<std::size_t>(text.size(), static_cast<std::size_t>(std::numeric_limits<SQLSMALLINT>::max())));
    // No output buffer: the driver would copy the completed connection
    // string, password included, into it.
    const SQLRETURN rc =
        SQLDriverConnectW(dbc, nullptr, wide(text.data()), length, nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT);
    wipe(text.data(), text.capacity() * sizeof(char16_t));

    if (!succeeded(rc)) {
        Diagnostic diagnostic = primary_diagnostic(SQL_HANDLE_DBC, dbc);
        SQLFreeHandle(SQL_HANDLE_DBC, dbc);
        return std::unexpected(CoreError::from_diagnostic(std::move(diagnostic)));
    }
    return RawConnection(dbc);
}

void RawConnection::close() noexcept {
    disconnect_and_free(handle_);
    handle_ = SQL_NULL_HDBC;
}

bool RawConnection::is_dead() const noexcept {
    if (handle_ == SQL_NULL_HDBC) return false;
    SQLINTEGER value = SQL_CD_FALSE;
    SQLINTEGER length = 0;
    const SQLRETURN rc = SQLGetConnectAttr(handle_, SQL_ATTR_CONNECTION_DEAD, &value, sizeof value, &length);
    return rc == SQL_SUCCESS && value == SQL_CD_TRUE;
}

void disconnect_and_free(SQLHDBC handle) noexcept {
    if (handle == SQL_NULL_HDBC) return;
    SQLDisconnect(handle);
    SQLFreeHandle(SQL_HANDLE_DBC, handle);
}

RawStatement& RawStatement::operator=(RawStatement&& other) noexcept {
    if (this != &other) {
        reset();
        handle_ = other.handle_;
        other.handle_ = SQL_NULL_HSTMT;
    }
    return *this;
}

Result<RawStatement> RawStatement::allocate(SQLHDBC connection) {
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    if (!succeeded(SQLAllocHandle(SQL_HANDLE_STMT, connection, &stmt))) {
        return std::unexpected(error_from(SQL_HANDLE_DBC, connection));
    }
    return RawStatement(stmt);
}

void RawStatement::reset() noexcept {
    if (handle_ == SQL_NULL_HSTMT) return;
    SQLFreeHandle(SQL_HANDLE_STMT, handle_);
    handle_ = SQL_NULL_HSTMT;
}

Result<bool> exec_direct(SQLHSTMT statement, std::u16string_view sql) {
    const auto length = static_cast<SQLINTEGER>(
        std::min<std::size_t>(sql.size(), static_cast<std::size_t>(std::numeric_limits<SQLINTEGER>::max())));
    const SQLRETURN rc = SQLExecDirectW(statement, wide(sql.data()), length);
    if (rc == SQL_NO_DATA) return true;
    if (succeeded(rc)) return false;
    return std::unexpected(error_from(SQL_HANDLE_STMT, statement));
}

}  // namespace vantorel::odbc
