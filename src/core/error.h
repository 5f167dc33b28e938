// The single internal error value. Everything below the Python boundary
// returns Result<T>; the boundary turns a CoreError into an exception once.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

namespace vantorel {

// One ODBC diagnostic record.
struct Diagnostic {
    std::string sqlstate;
    std::string message;
    std::int32_t native_error = 0;
};

enum class ErrorKind : std::uint8_t {
    Config,
    Connect,
    PoolTimeout,
    Interface,
    Query,
    Parameter,
    Data,
    Catalog,
    FeatureUnavailable,
};

// How a Query error surfaces in Python, by its SQLSTATE.
enum class QueryClass : std::uint8_t { SqlSyntax, Integrity, Data, OperationTimeout, Query };

class CoreError {
public:
    static CoreError config(std::string message) { return {ErrorKind::Config, std::move(message)}; }
    static CoreError connect(std::string message) { return {ErrorKind::Connect, std::move(message)}; }
    static CoreError pool_timeout() { return {ErrorKind::PoolTimeout, {}}; }
    static CoreError interface(std::string message) { return {ErrorKind::Interface, std::move(message)}; }
    static CoreError parameter(std::string message) { return {ErrorKind::Parameter, std::move(message)}; }
    static CoreError data(std::string message) { return {ErrorKind::Data, std::move(message)}; }
    static CoreError catalog(std::string message) { return {ErrorKind::Catalog, std::move(message)}; }
    static CoreError feature_unavailable(std::string message) {
        return {ErrorKind::FeatureUnavailable, std::move(message)};
    }
    static CoreError query(std::string sqlstate, std::string message, std::vector<Diagnostic> diagnostics,
                           std::int32_t native_error);
    // The driver's message is masked; the record itself is kept as it came.
    static CoreError from_diagnostic(Diagnostic diagnostic);

    ErrorKind kind() const noexcept { return kind_; }
    const std::string& message() const noexcept { return message_; }
    const std::string& sqlstate() const noexcept { return sqlstate_; }
    std::int32_t native_error() const noexcept { return native_error_; }
    const std::vector<Diagnostic>& diagnostics() const noexcept { return diagnostics_; }

    // The only rendering of an error: the kind's Spanish prefix and the message.
    std::string display() const;

private:
    CoreError(ErrorKind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

    ErrorKind kind_;
    std::string message_;
    std::string sqlstate_;
    std::vector<Diagnostic> diagnostics_;
    std::int32_t native_error_ = 0;
};

template <class T>
using Result = std::expected<T, CoreError>;

QueryClass classify_sqlstate(std::string_view sqlstate) noexcept;

// Masks the values of "PWD=", "pwd=" and "Pwd=" keywords anywhere in text.
std::string scrub_password(std::string_view text);

// At most 32 characters, then an ellipsis.
std::string truncate_for_msg(std::string_view text);

// A double-quoted rendering with backslash escapes, for values quoted in messages.
std::string quote_for_msg(std::string_view text);

}  // namespace vantorel
