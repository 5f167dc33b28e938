#include "core/odbc/env.h"

#include <sqlext.h>

#include <algorithm>
#include <array>
#include <cstdint>

#include "core/odbc/diag.h"
#include "core/odbc/utf16.h"

namespace vantorel::odbc {
namespace {

// The outcome of the one creation attempt: a handle, or the rendered error.
struct EnvironmentCell {
    SQLHENV handle = SQL_NULL_HENV;
    std::string failure;
};

EnvironmentCell create_environment() {
    EnvironmentCell cell;
    SQLHENV env = SQL_NULL_HENV;
    if (!succeeded(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env))) {
        cell.failure = CoreError::connect("no se pudo alocar el handle de entorno ODBC (SQLAllocHandle)").display();
        return cell;
    }
    const auto version = reinterpret_cast<SQLPOINTER>(static_cast<std::uintptr_t>(SQL_OV_ODBC3));
    if (!succeeded(SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, version, 0))) {
        cell.failure = error_from(SQL_HANDLE_ENV, env).display();
        SQLFreeHandle(SQL_HANDLE_ENV, env);
        return cell;
    }
    cell.handle = env;
    return cell;
}

const EnvironmentCell& environment_cell() {
    // Initialised once, concurrent first callers wait; never destroyed, since
    // connections may still be freed during process exit.
    static const EnvironmentCell* cell = new EnvironmentCell(create_environment());
    return *cell;
}

}  // namespace

Result<SQLHENV> environment() {
    const EnvironmentCell& cell = environment_cell();
    if (cell.handle == SQL_NULL_HENV) return std::unexpected(CoreError::connect(cell.failure));
    return cell.handle;
}

Result<std::vector<std::string>> installed_drivers() {
    auto env = environment();
    if (!env) return std::unexpected(std::move(env.error()));
    constexpr SQLSMALLINT kDescriptionUnits = 256;
    constexpr SQLSMALLINT kAttributeUnits = 1024;
    std::array<SQLWCHAR, kDescriptionUnits> description;
    std::array<SQLWCHAR, kAttributeUnits> attributes;
    std::vector<std::string> drivers;
    SQLUSMALLINT direction = SQL_FETCH_FIRST;
    for (;;) {
        description.fill(0);
        attributes.fill(0);
        SQLSMALLINT description_length = 0;
        SQLSMALLINT attributes_length = 0;
        const SQLRETURN rc = SQLDriversW(*env, direction, description.data(), kDescriptionUnits,
                                         &description_length, attributes.data(), kAttributeUnits,
                                         &attributes_length);
        if (!succeeded(rc)) break;
        // A description that did not fit is cut to the buffer less its terminator.
        const auto units =
            static_cast<std::size_t>(std::clamp<SQLSMALLINT>(description_length, 0, kDescriptionUnits - 1));
        drivers.push_back(from_utf16_lossy({reinterpret_cast<const char16_t*>(description.data()), units}));
        direction = SQL_FETCH_NEXT;
    }
    return drivers;
}

}  // namespace vantorel::odbc
