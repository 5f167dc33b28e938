// Counts the application's handles at the driver manager's entry points.
// These definitions take the place of the driver manager's exported
// functions in this test binary and forward every call to them unchanged;
// they only keep count, so the tests can tell that no handle is left behind
// (the driver's own log cannot: the driver manager releases the driver's
// connection handle by itself after a failed connect or a disconnect).
#include <dlfcn.h>
#include <sql.h>
#include <sqlext.h>

#include <atomic>

#include "../scripted_driver/testing.h"

namespace {

std::atomic<std::int64_t> g_dbc{0};
std::atomic<std::int64_t> g_stmt{0};

template <class Fn>
Fn next_definition(const char* name) {
    return reinterpret_cast<Fn>(::dlsym(RTLD_NEXT, name));
}

void count(SQLSMALLINT type, int delta) {
    if (type == SQL_HANDLE_DBC) g_dbc += delta;
    if (type == SQL_HANDLE_STMT) g_stmt += delta;
}

}  // namespace

extern "C" {

SQLRETURN SQL_API SQLAllocHandle(SQLSMALLINT type, SQLHANDLE input, SQLHANDLE* output) {
    static const auto real = next_definition<SQLRETURN (*)(SQLSMALLINT, SQLHANDLE, SQLHANDLE*)>("SQLAllocHandle");
    const SQLRETURN rc = real(type, input, output);
    if (SQL_SUCCEEDED(rc)) count(type, +1);
    return rc;
}

SQLRETURN SQL_API SQLFreeHandle(SQLSMALLINT type, SQLHANDLE handle) {
    static const auto real = next_definition<SQLRETURN (*)(SQLSMALLINT, SQLHANDLE)>("SQLFreeHandle");
    const SQLRETURN rc = real(type, handle);
    if (SQL_SUCCEEDED(rc)) count(type, -1);
    return rc;
}

SQLRETURN SQL_API SQLFreeStmt(SQLHSTMT handle, SQLUSMALLINT option) {
    static const auto real = next_definition<SQLRETURN (*)(SQLHSTMT, SQLUSMALLINT)>("SQLFreeStmt");
    const SQLRETURN rc = real(handle, option);
    if (option == SQL_DROP && SQL_SUCCEEDED(rc)) count(SQL_HANDLE_STMT, -1);
    return rc;
}

}  // extern "C"

namespace scripted_testing {

HandleCounts application_handles() { return {g_dbc.load(), g_stmt.load()}; }

}  // namespace scripted_testing
