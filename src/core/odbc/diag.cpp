#include "core/odbc/diag.h"

#include <algorithm>
#include <array>
#include <limits>
#include <string_view>

#include "core/odbc/utf16.h"

namespace vantorel::odbc {

static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "the wide entry points must speak UTF-16");

Diagnostic primary_diagnostic(SQLSMALLINT handle_type, SQLHANDLE handle) {
    constexpr SQLSMALLINT kMessageUnits = 1024;
    std::array<SQLWCHAR, 6> state{};
    std::array<SQLWCHAR, kMessageUnits> message;
    Diagnostic first;
    bool have_first = false;
    // Records are read until the driver has no more; only the first is kept.
    for (int record = 1; record <= std::numeric_limits<SQLSMALLINT>::max(); ++record) {
        state.fill(0);
        message.fill(0);
        SQLINTEGER native = 0;
        SQLSMALLINT text_length = 0;
        const SQLRETURN rc = SQLGetDiagRecW(handle_type, handle, static_cast<SQLSMALLINT>(record), state.data(), &native, message.data(),
                                            kMessageUnits, &text_length);
        if (!succeeded(rc)) break;
        if (have_first) continue;
        std::size_t state_units = 0;
        while (state_units < 5 && state[state_units] != 0) ++state_units;
        // A message that did not fit is cut to the buffer less its terminator.
        const auto message_units =
            static_cast<std::size_t>(std::clamp<SQLSMALLINT>(text_length, 0, kMessageUnits - 1));
        first.sqlstate = from_utf16_lossy({reinterpret_cast<const char16_t*>(state.data()), state_units});
        first.message = from_utf16_lossy({reinterpret_cast<const char16_t*>(message.data()), message_units});
        first.native_error = static_cast<std::int32_t>(native);
        have_first = true;
    }
    if (!have_first) return Diagnostic{"HY000", "el driver ODBC no dejo diagnostico para este error", 0};
    return first;
}

}  // namespace vantorel::odbc
