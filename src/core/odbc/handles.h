// Thin owners of ODBC connection and statement handles. Both are movable
// and safe to destroy on any thread.
#pragma once

#include <sql.h>
#include <sqlext.h>

#include <cstdint>
#include <string_view>

#include "core/error.h"
#include "core/secret.h"

namespace vantorel::odbc {

class RawConnection {
public:
    RawConnection() = default;
    explicit RawConnection(SQLHDBC handle) noexcept : handle_(handle) {}
    RawConnection(RawConnection&& other) noexcept : handle_(other.handle_) { other.handle_ = SQL_NULL_HDBC; }
    RawConnection& operator=(RawConnection&& other) noexcept;
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;
    ~RawConnection() { close(); }

    // Connects with SQLDriverConnectW. The login timeout is set only when not 0.
    static Result<RawConnection> open(const SecretString& connection_string, std::uint32_t login_timeout);

    SQLHDBC handle() const noexcept { return handle_; }
    explicit operator bool() const noexcept { return handle_ != SQL_NULL_HDBC; }
    // The caller owns the handle from now on.
    SQLHDBC release() noexcept {
        SQLHDBC h = handle_;
        handle_ = SQL_NULL_HDBC;
        return h;
    }
    // SQLDisconnect then SQLFreeHandle, results ignored.
    void close() noexcept;

    // Only SQL_SUCCESS with SQL_CD_TRUE means dead; anything else counts as alive.
    bool is_dead() const noexcept;

private:
    SQLHDBC handle_ = SQL_NULL_HDBC;
};

// Disconnects and frees a connection handle that is no longer owned by a RawConnection.
void disconnect_and_free(SQLHDBC handle) noexcept;

class RawStatement {
public:
    RawStatement() = default;
    RawStatement(RawStatement&& other) noexcept : handle_(other.handle_) { other.handle_ = SQL_NULL_HSTMT; }
    RawStatement& operator=(RawStatement&& other) noexcept;
    RawStatement(const RawStatement&) = delete;
    RawStatement& operator=(const RawStatement&) = delete;
    ~RawStatement() { reset(); }

    // Failure is read from the connection handle.
    static Result<RawStatement> allocate(SQLHDBC connection);

    SQLHSTMT handle() const noexcept { return handle_; }
    void reset() noexcept;

private:
    explicit RawStatement(SQLHSTMT handle) noexcept : handle_(handle) {}
    SQLHSTMT handle_ = SQL_NULL_HSTMT;
};

// SQLExecDirectW with an explicit length. true = the driver answered SQL_NO_DATA.
Result<bool> exec_direct(SQLHSTMT statement, std::u16string_view sql);

}  // namespace vantorel::odbc
