#pragma once

#include <sql.h>
#include <sqlext.h>

#include "core/error.h"

namespace vantorel::odbc {

// The ODBC return-code rule: only SQL_SUCCESS and SQL_SUCCESS_WITH_INFO succeed.
inline bool succeeded(SQLRETURN rc) noexcept { return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO; }

// The first diagnostic record of a handle, or the fixed HY000 one when the
// driver left none. Never fails.
Diagnostic primary_diagnostic(SQLSMALLINT handle_type, SQLHANDLE handle);

// The Query error of a handle's primary diagnostic.
inline CoreError error_from(SQLSMALLINT handle_type, SQLHANDLE handle) {
    return CoreError::from_diagnostic(primary_diagnostic(handle_type, handle));
}

}  // namespace vantorel::odbc
