#include "core/dsn.h"

#include <vector>

#include "core/envvars.h"
#include "core/odbc/env.h"

namespace vantorel {

namespace {

// A value that would otherwise be read as more keywords (";"), as a braced
// value ("{", "}"), or lose its edge white space to the driver's trimming,
// is written in braces with every "}" doubled. Anything else stays bare.
void append_value(SecretString& out, std::string_view value) {
    const bool needs_braces = value.find_first_of(";{}") != std::string_view::npos ||
                              starts_or_ends_with_white_space(value);
    if (!needs_braces) {
        out.append(value);
        return;
    }
    out.append("{");
    std::size_t start = 0;
    for (std::size_t close; (close = value.find('}', start)) != std::string_view::npos; start = close + 1) {
        out.append(value.substr(start, close + 1 - start));
        out.append("}");
    }
    out.append(value.substr(start));
    out.append("}");
}

bool ascii_equal_ignore_case(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto fold = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
        if (fold(a[i]) != fold(b[i])) return false;
    }
    return true;
}

// Upper-cases a keyword for comparison with SYSTEM, UID, PWD and DRIVER.
// Besides ASCII letters, full Unicode upper-casing turns only these
// characters into letters of those keywords, so they are all it needs.
std::string upper_keyword(std::string_view key) {
    std::string out;
    out.reserve(key.size());
    for (std::size_t i = 0; i < key.size(); ++i) {
        const char c = key[i];
        const std::string_view rest = key.substr(i);
        if (c >= 'a' && c <= 'z') {
            out.push_back(static_cast<char>(c - 'a' + 'A'));
        } else if (rest.starts_with("\u017F")) {  // long s
            out.push_back('S');
            i += 1;
        } else if (rest.starts_with("\u0131")) {  // dotless i
            out.push_back('I');
            i += 1;
        } else if (rest.starts_with("\uFB05") || rest.starts_with("\uFB06")) {  // st ligatures
            out.append("ST");
            i += 2;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

}  // namespace

SecretString build_dsn(const CredentialsData& credentials, std::string_view driver) {
    if (credentials.raw_dsn) return *credentials.raw_dsn;
    SecretString out;
    out.append("DRIVER=");
    out.append(driver);
    out.append(";SYSTEM=");
    append_value(out, credentials.system.value_or(""));
    out.append(";UID=");
    append_value(out, credentials.user.value_or(""));
    out.append(";PWD=");
    append_value(out, credentials.password.expose());
    out.append(";");
    return out;
}

std::string choose_driver(std::span<const std::string> installed) {
    for (std::string_view known : kKnownDrivers) {
        for (const std::string& description : installed) {
            if (ascii_equal_ignore_case(known, description)) return std::string(known);
        }
    }
    return std::string(kFallbackDriver);
}

Result<SecretString> resolve_dsn(const CredentialsData& credentials) {
    if (credentials.raw_dsn) return build_dsn(credentials, {});
    if (credentials.driver) return build_dsn(credentials, *credentials.driver);
    if (Result<SQLHENV> env = odbc::environment(); !env) {
        const CoreError& error = env.error();
        if (error.kind() == ErrorKind::Connect) return std::unexpected(error);
        return std::unexpected(CoreError::connect(error.display()));
    }
    // An unreadable driver list is not an error: the fallback name serves.
    Result<std::vector<std::string>> drivers = odbc::installed_drivers();
    const std::string chosen = drivers ? choose_driver(*drivers) : std::string(kFallbackDriver);
    return build_dsn(credentials, chosen);
}

Result<CredentialsData> credentials_from_dsn(std::string_view dsn) {
    CredentialsData data;
    bool has_password = false;
    std::size_t start = 0;
    while (start <= dsn.size()) {
        std::size_t end = dsn.find(';', start);
        if (end == std::string_view::npos) end = dsn.size();
        const std::string_view segment = trim_white_space(dsn.substr(start, end - start));
        start = end + 1;
        const std::size_t eq = segment.find('=');
        if (segment.empty() || eq == std::string_view::npos) continue;
        const std::string key = upper_keyword(trim_white_space(segment.substr(0, eq)));
        const std::string_view value = trim_white_space(segment.substr(eq + 1));
        if (key == "SYSTEM") {
            data.system.emplace(value);
        } else if (key == "UID") {
            data.user.emplace(value);
        } else if (key == "PWD") {
            data.password = SecretString(value);
            has_password = true;
        } else if (key == "DRIVER") {
            data.driver.emplace(value);
        }
    }
    if (!data.system || !data.user || !has_password)
        return std::unexpected(CoreError::config("DSN invalido: se esperaba SYSTEM=, UID= y PWD="));
    return data;
}

Result<CredentialsData> credentials_from_connection_string(std::string_view dsn) {
    if (trim_white_space(dsn).empty()) return std::unexpected(CoreError::config("connection string vacia"));
    CredentialsData data;
    data.raw_dsn.emplace(dsn);
    return data;
}

Result<CredentialsData> credentials_from_env(std::string_view client, std::string_view env) {
    auto name = [&](std::string_view prefix) {
        std::string out(prefix);
        out += '_';
        out += client;
        out += '_';
        out += env;
        return out;
    };
    const std::string names[] = {name("DB_SYSTEM"), name("DB_USER"), name("DB_PASSWORD")};
    std::optional<std::string> system = env_nonblank(names[0]);
    std::optional<std::string> user = env_nonblank(names[1]);
    std::optional<std::string> password = env_nonblank(names[2]);
    // The password's copy is wiped whatever happens next.
    SecretString secret(password.value_or(""));
    if (password) wipe(password->data(), password->capacity());

    std::string missing;
    const bool present[] = {system.has_value(), user.has_value(), password.has_value()};
    for (std::size_t i = 0; i < 3; ++i) {
        if (present[i]) continue;
        if (!missing.empty()) missing += ", ";
        missing += names[i];
    }
    if (!missing.empty())
        return std::unexpected(CoreError::config("faltan variables de entorno requeridas: " + missing));

    CredentialsData data;
    data.system = std::move(system);
    data.user = std::move(user);
    data.password = std::move(secret);
    data.driver = env_nonblank("DB_DRIVER");
    return data;
}

}  // namespace vantorel
