// The scenario a test writes as JSON, parsed once per file content. The
// format is described at the top of tests/python/scripted.py.
#pragma once

#include <sql.h>
#include <sqlext.h>

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

namespace scripted {

using U16 = std::u16string;

// Own converters, independent of the project's code under test, so that a
// fault there cannot hide behind the same fault here.
U16 utf8_to_utf16(std::string_view utf8);
std::string utf16_to_utf8(std::u16string_view units);  // lone surrogates -> U+FFFD

struct DiagRecord {
    std::string sqlstate = "HY000";
    std::int32_t native = 0;
    U16 message;
};

struct Cell {
    enum class Kind : std::uint8_t { Null, Text, Bytes, PerType };
    Kind kind = Kind::Null;
    U16 text;
    std::string bytes;
    // PerType: what a read as wide text, narrow text or binary gives; absent = NULL.
    std::shared_ptr<const Cell> wchar, narrow, binary;
    std::optional<bool> no_total;
    std::optional<std::size_t> piece_units;
};

struct Column {
    U16 name;
    SQLSMALLINT type = SQL_VARCHAR;
    SQLULEN size = 0;
    SQLSMALLINT digits = 0;
    SQLSMALLINT nullable = SQL_NULLABLE;
    bool no_total = false;
    std::size_t piece_units = 0;  // 0: as much as the buffer takes
};

struct FetchError {
    std::size_t at = 0;  // 1-based fetch number within the result
    std::vector<DiagRecord> diagnostics;
};

struct ResultSet {
    std::vector<Column> columns;
    std::vector<std::vector<Cell>> rows;
    SQLLEN row_count = 0;
    std::vector<FetchError> fetch_errors;
    unsigned fetch_delay_ms = 0;
};

struct OutValue {
    enum class Kind : std::uint8_t { Literal, Echo, Null };
    SQLUSMALLINT param = 0;
    Kind kind = Kind::Null;
    U16 text;
    SQLUSMALLINT echo = 0;
};

struct Answer {
    std::vector<ResultSet> results;  // empty: no result at all
    bool no_data = false;
    bool error = false;
    std::vector<DiagRecord> diagnostics;  // error records, or warnings when !error
    unsigned delay_ms = 0;
    std::vector<OutValue> outs;
    // Order in which data-at-execution parameters are asked for; a negative
    // entry -t makes SQLParamData hand out the literal token t instead.
    std::optional<std::vector<long>> need_data;
};

struct Rule {
    enum class Match : std::uint8_t { Exact, Prefix, Contains, Regex, Any };
    std::string name;
    Match match = Match::Exact;
    std::string pattern;  // UTF-8
    std::optional<std::regex> regex;
    std::vector<Answer> answers;  // indexed by execution count, the last one repeats

    bool matches(const std::string& sql) const;
};

inline constexpr std::size_t kProcColumns = 19;
using ProcRow = std::array<std::optional<U16>, kProcColumns>;

struct Procedure {
    std::optional<U16> catalog;
    U16 schema;
    U16 name;
    std::vector<ProcRow> rows;
};

struct DeadConnection {
    std::optional<std::uint64_t> after_statements;
    std::optional<std::string> after_rule;
    SQLRETURN rc = SQL_SUCCESS;
    SQLINTEGER value = SQL_CD_TRUE;
    std::vector<DiagRecord> diagnostics;
    std::optional<std::vector<DiagRecord>> statement_error;
};

struct Scenario {
    std::string path;
    std::string log_path;
    std::optional<std::string> user, password;
    bool refuse = false;
    std::vector<DiagRecord> login_error;
    std::optional<std::size_t> hy090_above, too_long_above;
    DeadConnection dead;
    std::vector<Rule> rules;
    Answer fallback;
    std::vector<Procedure> procedures;
};

// Throws std::exception with a readable message on malformed input.
Scenario parse_scenario(const std::string& path, const std::string& content);

// Connection-string attributes, keys upper-cased; values in braces have
// "}}" standing for "}".
std::map<std::string, std::string> parse_connection_string(std::string_view text);
// The same text with the PWD value replaced by ***.
std::string mask_password(std::string_view text);

// One JSON line per call, appended and flushed per line.
class Log {
public:
    explicit Log(std::string path) : path_(std::move(path)) {}
    Log(const Log&) = delete;
    Log& operator=(const Log&) = delete;
    void write(std::string line);  // a serialised object without "seq"
private:
    std::mutex mutex_;
    std::string path_;
    std::uint64_t seq_ = 0;
};

// What all connections to one scenario file share in this process.
struct ScenarioState {
    Scenario scenario;
    std::string content;
    std::unique_ptr<Log> log;
    std::mutex mutex;
    std::vector<std::uint64_t> executions;  // per rule

    // The answer for the next execution of a statement, and the rule that gave it.
    std::pair<const Answer*, const Rule*> answer_for(const std::string& sql, std::uint64_t& execution);
};

// Reads the file; the same content gives the same state (and its counters),
// changed content starts afresh.
std::shared_ptr<ScenarioState> load_scenario(const std::string& path, std::string& error);

}  // namespace scripted
