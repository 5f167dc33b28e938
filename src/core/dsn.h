// Credentials as plain values and the ODBC connection string made from them.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/error.h"
#include "core/secret.h"

namespace vantorel {

// Either the four keywords (system, user and password present, driver
// optional) or a connection string kept verbatim in raw_dsn, with the other
// fields absent and an empty password.
struct CredentialsData {
    std::optional<std::string> system;
    std::optional<std::string> user;
    std::optional<std::string> driver;
    SecretString password;
    std::optional<SecretString> raw_dsn;
};

// The driver names of IBM i Access, most preferred first.
inline constexpr std::string_view kKnownDrivers[] = {
    "IBM i Access ODBC Driver",
    "iSeries Access ODBC Driver",
    "Client Access ODBC Driver (32-bit)",
};
// Used when no known driver is installed; braced because of its spaces.
inline constexpr std::string_view kFallbackDriver = "{iSeries Access ODBC Driver}";

// "DRIVER=...;SYSTEM=...;UID=...;PWD=...;", or raw_dsn verbatim when present.
SecretString build_dsn(const CredentialsData& credentials, std::string_view driver);

// The first known name (as listed above) that some installed description
// equals with ASCII letters folded; the fallback name when none does.
std::string choose_driver(std::span<const std::string> installed);

// The connection string, detecting the driver when the credentials name none.
// Fails only when the ODBC environment cannot be created.
Result<SecretString> resolve_dsn(const CredentialsData& credentials);

// "SYSTEM=...;UID=...;PWD=...[;DRIVER=...]" in any order and case; other
// keywords are dropped.
Result<CredentialsData> credentials_from_dsn(std::string_view dsn);

// A connection string used exactly as given; blank is refused.
Result<CredentialsData> credentials_from_connection_string(std::string_view dsn);

// Reads DB_SYSTEM_<client>_<env>, DB_USER_..., DB_PASSWORD_... and DB_DRIVER.
// client and env arrive upper-cased already.
Result<CredentialsData> credentials_from_env(std::string_view client, std::string_view env);

}  // namespace vantorel
