#include "scenario.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

namespace scripted {

using nlohmann::json;

U16 utf8_to_utf16(std::string_view s) {
    U16 out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        auto c = static_cast<unsigned char>(s[i]);
        char32_t cp = 0xFFFD;
        std::size_t len = 1;
        if (c < 0x80) {
            cp = c;
        } else if ((c >> 5) == 0x6 && i + 1 < s.size()) {
            cp = ((c & 0x1Fu) << 6) | (static_cast<unsigned char>(s[i + 1]) & 0x3Fu);
            len = 2;
        } else if ((c >> 4) == 0xE && i + 2 < s.size()) {
            cp = ((c & 0x0Fu) << 12) | ((static_cast<unsigned char>(s[i + 1]) & 0x3Fu) << 6) |
                 (static_cast<unsigned char>(s[i + 2]) & 0x3Fu);
            len = 3;
        } else if ((c >> 3) == 0x1E && i + 3 < s.size()) {
            cp = ((c & 0x07u) << 18) | ((static_cast<unsigned char>(s[i + 1]) & 0x3Fu) << 12) |
                 ((static_cast<unsigned char>(s[i + 2]) & 0x3Fu) << 6) |
                 (static_cast<unsigned char>(s[i + 3]) & 0x3Fu);
            len = 4;
        }
        i += len;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

std::string utf16_to_utf8(std::u16string_view u) {
    std::string out;
    out.reserve(u.size());
    for (std::size_t i = 0; i < u.size(); ++i) {
        char32_t cp = u[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < u.size() && u[i + 1] >= 0xDC00 && u[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (u[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

namespace {

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error("scenario: " + what); }

// A text is a JSON string or {"units": [...]} (raw UTF-16 code units, the
// way to write lone surrogates, which JSON strings cannot carry).
U16 text_of(const json& j) {
    if (j.is_string()) return utf8_to_utf16(j.get<std::string>());
    if (j.is_object() && j.contains("units")) {
        U16 out;
        for (const auto& u : j.at("units")) out.push_back(static_cast<char16_t>(u.get<unsigned>()));
        return out;
    }
    if (j.is_number() || j.is_boolean()) return utf8_to_utf16(j.dump());
    fail("expected a text, got " + j.dump());
}

std::string hex_to_bytes(const std::string& hex) {
    if (hex.size() % 2 != 0) fail("odd hex length");
    std::string out;
    for (std::size_t i = 0; i < hex.size(); i += 2) out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

DiagRecord diag_of(const json& j) {
    DiagRecord d;
    if (j.contains("sqlstate")) d.sqlstate = j.at("sqlstate").get<std::string>();
    if (j.contains("native")) d.native = j.at("native").get<std::int32_t>();
    if (j.contains("message")) d.message = text_of(j.at("message"));
    return d;
}

std::vector<DiagRecord> diags_of(const json& j) {
    std::vector<DiagRecord> out;
    if (j.is_array()) {
        for (const auto& d : j) out.push_back(diag_of(d));
    } else {
        out.push_back(diag_of(j));
    }
    return out;
}

SQLRETURN rc_of(const json& j) {
    if (j.is_number_integer()) return static_cast<SQLRETURN>(j.get<int>());
    const auto s = j.get<std::string>();
    if (s == "SQL_SUCCESS") return SQL_SUCCESS;
    if (s == "SQL_SUCCESS_WITH_INFO") return SQL_SUCCESS_WITH_INFO;
    if (s == "SQL_ERROR") return SQL_ERROR;
    fail("unknown return code " + s);
}

Cell cell_of(const json& j) {
    Cell c;
    if (j.is_null()) return c;
    if (j.is_object()) {
        if (j.contains("wchar") || j.contains("char") || j.contains("binary")) {
            c.kind = Cell::Kind::PerType;
            if (j.contains("wchar")) c.wchar = std::make_shared<Cell>(cell_of(j.at("wchar")));
            if (j.contains("char")) c.narrow = std::make_shared<Cell>(cell_of(j.at("char")));
            if (j.contains("binary")) c.binary = std::make_shared<Cell>(cell_of(j.at("binary")));
            return c;
        }
        if (j.contains("hex")) {
            c.kind = Cell::Kind::Bytes;
            c.bytes = hex_to_bytes(j.at("hex").get<std::string>());
        } else if (j.contains("text")) {
            c.kind = Cell::Kind::Text;
            c.text = text_of(j.at("text"));
        } else if (j.contains("units")) {
            c.kind = Cell::Kind::Text;
            c.text = text_of(j);
        } else if (j.contains("null")) {
            c.kind = Cell::Kind::Null;
        } else {
            fail("unknown cell " + j.dump());
        }
        if (j.contains("no_total")) c.no_total = j.at("no_total").get<bool>();
        if (j.contains("piece_units")) c.piece_units = j.at("piece_units").get<std::size_t>();
        return c;
    }
    c.kind = Cell::Kind::Text;
    c.text = text_of(j);
    return c;
}

Column column_of(const json& j) {
    Column c;
    if (j.is_string()) {
        c.name = text_of(j);
        c.size = 255;
        return c;
    }
    c.name = text_of(j.at("name"));
    c.type = j.value("type", static_cast<int>(SQL_VARCHAR));
    c.size = j.value("size", SQLULEN{0});
    c.digits = j.value("digits", static_cast<SQLSMALLINT>(0));
    if (j.contains("nullable")) {
        const auto& n = j.at("nullable");
        c.nullable = n.is_boolean() ? (n.get<bool>() ? SQL_NULLABLE : SQL_NO_NULLS) : n.get<SQLSMALLINT>();
    }
    c.no_total = j.value("no_total", false);
    c.piece_units = j.value("piece_units", std::size_t{0});
    return c;
}

ResultSet result_of(const json& j) {
    ResultSet r;
    if (j.contains("columns"))
        for (const auto& c : j.at("columns")) r.columns.push_back(column_of(c));
    if (j.contains("rows")) {
        for (const auto& row : j.at("rows")) {
            std::vector<Cell> cells;
            for (const auto& cell : row) cells.push_back(cell_of(cell));
            if (cells.size() != r.columns.size()) fail("a row has " + std::to_string(cells.size()) + " cells for " + std::to_string(r.columns.size()) + " columns");
            r.rows.push_back(std::move(cells));
        }
    }
    r.row_count = j.value("row_count", r.columns.empty() ? SQLLEN{0} : SQLLEN{-1});
    if (j.contains("fetch_errors"))
        for (const auto& e : j.at("fetch_errors")) r.fetch_errors.push_back({e.at("at").get<std::size_t>(), diags_of(e.at("error"))});
    r.fetch_delay_ms = j.value("fetch_delay_ms", 0u);
    return r;
}

Answer answer_of(const json& j) {
    Answer a;
    if (j.contains("error")) {
        a.error = true;
        a.diagnostics = diags_of(j.at("error"));
    } else if (j.contains("warnings")) {
        a.diagnostics = diags_of(j.at("warnings"));
    }
    a.no_data = j.value("no_data", false);
    a.delay_ms = j.value("delay_ms", 0u);
    if (j.contains("result_sets")) {
        for (const auto& r : j.at("result_sets")) a.results.push_back(result_of(r));
    } else if (j.contains("columns") || j.contains("row_count")) {
        a.results.push_back(result_of(j));
    }
    if (j.contains("out")) {
        for (const auto& o : j.at("out")) {
            OutValue v;
            v.param = o.at("param").get<SQLUSMALLINT>();
            if (o.contains("echo")) {
                v.kind = OutValue::Kind::Echo;
                v.echo = o.at("echo").get<SQLUSMALLINT>();
            } else if (o.contains("value") && !o.at("value").is_null()) {
                v.kind = OutValue::Kind::Literal;
                v.text = text_of(o.at("value"));
            }
            a.outs.push_back(std::move(v));
        }
    }
    if (j.contains("need_data")) {
        std::vector<long> order;
        for (const auto& n : j.at("need_data")) order.push_back(n.is_object() ? -n.at("token").get<long>() : n.get<long>());
        a.need_data = std::move(order);
    }
    return a;
}

Rule rule_of(const json& j, std::size_t index) {
    Rule r;
    r.name = j.value("name", "rule" + std::to_string(index));
    if (j.contains("exact")) {
        r.match = Rule::Match::Exact;
        r.pattern = j.at("exact").get<std::string>();
    } else if (j.contains("prefix")) {
        r.match = Rule::Match::Prefix;
        r.pattern = j.at("prefix").get<std::string>();
    } else if (j.contains("contains")) {
        r.match = Rule::Match::Contains;
        r.pattern = j.at("contains").get<std::string>();
    } else if (j.contains("regex")) {
        r.match = Rule::Match::Regex;
        r.pattern = j.at("regex").get<std::string>();
        r.regex.emplace(r.pattern, std::regex::ECMAScript);
    } else {
        r.match = Rule::Match::Any;
    }
    if (j.contains("answers")) {
        for (const auto& a : j.at("answers")) r.answers.push_back(answer_of(a));
        if (r.answers.empty()) fail("rule " + r.name + " has an empty answers list");
    } else {
        r.answers.push_back(answer_of(j));
    }
    return r;
}

std::optional<U16> proc_value(const json& p, const char* key, std::optional<U16> fallback) {
    if (!p.contains(key)) return fallback;
    const auto& v = p.at(key);
    if (v.is_null()) return std::nullopt;
    return text_of(v);
}

Procedure procedure_of(const json& j) {
    Procedure proc;
    proc.catalog = proc_value(j, "catalog", std::nullopt);
    proc.schema = text_of(j.at("schema"));
    proc.name = text_of(j.at("name"));
    std::size_t index = 0;
    for (const auto& p : j.value("params", json::array())) {
        ++index;
        auto num = [](long long n) { return std::optional<U16>(utf8_to_utf16(std::to_string(n))); };
        const long long size = p.value("column_size", 0LL);
        const int data_type = p.value("data_type", static_cast<int>(SQL_VARCHAR));
        ProcRow row;
        row[0] = proc.catalog;
        row[1] = proc.schema;
        row[2] = proc.name;
        row[3] = proc_value(p, "name", U16());
        row[4] = proc_value(p, "column_type", num(SQL_PARAM_INPUT));
        row[5] = proc_value(p, "data_type", num(data_type));
        row[6] = proc_value(p, "type_name", utf8_to_utf16("VARCHAR"));
        row[7] = proc_value(p, "column_size", num(size));
        row[8] = proc_value(p, "buffer_length", num(size));
        row[9] = proc_value(p, "decimal_digits", num(0));
        row[10] = proc_value(p, "num_prec_radix", num(10));
        row[11] = proc_value(p, "nullable", num(SQL_NULLABLE));
        row[12] = proc_value(p, "remarks", std::nullopt);
        row[13] = proc_value(p, "column_def", std::nullopt);
        row[14] = proc_value(p, "sql_data_type", num(data_type));
        row[15] = proc_value(p, "datetime_sub", std::nullopt);
        row[16] = proc_value(p, "char_octet_length", num(size));
        row[17] = proc_value(p, "ordinal_position", num(static_cast<long long>(index)));
        row[18] = proc_value(p, "is_nullable", utf8_to_utf16("YES"));
        proc.rows.push_back(std::move(row));
    }
    return proc;
}

}  // namespace

bool Rule::matches(const std::string& sql) const {
    switch (match) {
        case Match::Exact: return sql == pattern;
        case Match::Prefix: return sql.starts_with(pattern);
        case Match::Contains: return sql.find(pattern) != std::string::npos;
        case Match::Regex: return std::regex_search(sql, *regex);
        case Match::Any: return true;
    }
    return false;
}

Scenario parse_scenario(const std::string& path, const std::string& content) {
    const json j = json::parse(content);
    Scenario s;
    s.path = path;
    s.log_path = j.value("log", path + ".log");
    if (j.contains("login")) {
        const auto& l = j.at("login");
        if (l.contains("user") && !l.at("user").is_null()) s.user = l.at("user").get<std::string>();
        if (l.contains("password") && !l.at("password").is_null()) s.password = l.at("password").get<std::string>();
        s.refuse = l.value("refuse", false);
        if (l.contains("error")) s.login_error = diags_of(l.at("error"));
    }
    if (s.login_error.empty())
        s.login_error.push_back({"28000", -30082, utf8_to_utf16("[Vantorel][Scripted] login refused")});
    if (j.contains("statement_limits")) {
        const auto& l = j.at("statement_limits");
        if (l.contains("hy090_above")) s.hy090_above = l.at("hy090_above").get<std::size_t>();
        if (l.contains("too_long_above")) s.too_long_above = l.at("too_long_above").get<std::size_t>();
    }
    if (j.contains("connection")) {
        const auto& c = j.at("connection");
        if (c.contains("dead_after_statements")) s.dead.after_statements = c.at("dead_after_statements").get<std::uint64_t>();
        if (c.contains("dead_after_rule")) s.dead.after_rule = c.at("dead_after_rule").get<std::string>();
        if (c.contains("dead_rc")) s.dead.rc = rc_of(c.at("dead_rc"));
        s.dead.value = c.value("dead_value", static_cast<SQLINTEGER>(SQL_CD_TRUE));
        if (c.contains("dead_diagnostics")) s.dead.diagnostics = diags_of(c.at("dead_diagnostics"));
        if (c.contains("dead_statement_error")) s.dead.statement_error = diags_of(c.at("dead_statement_error"));
    }
    std::size_t index = 0;
    for (const auto& r : j.value("rules", json::array())) s.rules.push_back(rule_of(r, index++));
    if (j.contains("default")) {
        s.fallback = answer_of(j.at("default"));
    } else {
        s.fallback.error = true;
        s.fallback.diagnostics.push_back({"42000", -104, utf8_to_utf16("[Vantorel][Scripted] no rule matches the statement")});
    }
    for (const auto& p : j.value("procedures", json::array())) s.procedures.push_back(procedure_of(p));
    return s;
}

std::map<std::string, std::string> parse_connection_string(std::string_view text) {
    std::map<std::string, std::string> out;
    std::size_t i = 0;
    while (i < text.size()) {
        const auto eq = text.find('=', i);
        if (eq == std::string_view::npos) break;
        std::string key(text.substr(i, eq - i));
        std::transform(key.begin(), key.end(), key.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        std::string value;
        i = eq + 1;
        if (i < text.size() && text[i] == '{') {
            ++i;
            while (i < text.size()) {
                if (text[i] == '}') {
                    if (i + 1 < text.size() && text[i + 1] == '}') {
                        value.push_back('}');
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                value.push_back(text[i++]);
            }
            const auto semi = text.find(';', i);
            i = semi == std::string_view::npos ? text.size() : semi + 1;
        } else {
            const auto semi = text.find(';', i);
            const auto end = semi == std::string_view::npos ? text.size() : semi;
            value = std::string(text.substr(i, end - i));
            i = end + 1;
        }
        if (!key.empty() && !out.contains(key)) out.emplace(std::move(key), std::move(value));
    }
    return out;
}

std::string mask_password(std::string_view text) {
    std::string out;
    std::size_t i = 0;
    while (i < text.size()) {
        const auto eq = text.find('=', i);
        if (eq == std::string_view::npos) {
            out.append(text.substr(i));
            break;
        }
        std::string key(text.substr(i, eq - i));
        std::transform(key.begin(), key.end(), key.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        std::size_t end = eq + 1;
        if (end < text.size() && text[end] == '{') {
            ++end;
            while (end < text.size()) {
                if (text[end] == '}') {
                    if (end + 1 < text.size() && text[end + 1] == '}') {
                        end += 2;
                        continue;
                    }
                    ++end;
                    break;
                }
                ++end;
            }
        }
        const auto semi = text.find(';', end);
        end = semi == std::string_view::npos ? text.size() : semi;
        out.append(text.substr(i, eq + 1 - i));
        out.append(key == "PWD" ? std::string_view("***") : text.substr(eq + 1, end - eq - 1));
        if (end < text.size()) out.push_back(';');
        i = end + 1;
    }
    return out;
}

void Log::write(std::string line) {
    std::lock_guard lock(mutex_);
    // Opened per line so that a test may remove or replace the file.
    const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    // The caller's object is closed by us so that "seq" orders every line.
    line.pop_back();
    line += (line.size() > 1 ? ",\"seq\":" : "\"seq\":") + std::to_string(++seq_) + "}\n";
    const char* p = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        const auto n = ::write(fd, p, left);
        if (n <= 0) break;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    ::close(fd);
}

std::pair<const Answer*, const Rule*> ScenarioState::answer_for(const std::string& sql, std::uint64_t& execution) {
    std::lock_guard lock(mutex);
    for (std::size_t i = 0; i < scenario.rules.size(); ++i) {
        const Rule& rule = scenario.rules[i];
        if (!rule.matches(sql)) continue;
        execution = executions[i]++;
        const auto at = std::min<std::uint64_t>(execution, rule.answers.size() - 1);
        return {&rule.answers[at], &rule};
    }
    execution = 0;
    return {&scenario.fallback, nullptr};
}

std::shared_ptr<ScenarioState> load_scenario(const std::string& path, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read scenario " + path;
        return nullptr;
    }
    std::ostringstream buffer;
    buffer << in.rdbuf();
    std::string content = buffer.str();

    // Kept for the life of the process (the library is never unloaded), so
    // execution counts survive the driver manager closing every connection.
    static std::mutex registry_mutex;
    static std::map<std::string, std::shared_ptr<ScenarioState>> registry;
    std::lock_guard lock(registry_mutex);
    auto& slot = registry[path];
    if (slot && slot->content == content) return slot;
    try {
        auto state = std::make_shared<ScenarioState>();
        state->scenario = parse_scenario(path, content);
        state->content = std::move(content);
        state->executions.assign(state->scenario.rules.size(), 0);
        state->log = std::make_unique<Log>(state->scenario.log_path);
        slot = state;
        return state;
    } catch (const std::exception& e) {
        error = std::string("bad scenario ") + path + ": " + e.what();
        return nullptr;
    }
}

}  // namespace scripted
