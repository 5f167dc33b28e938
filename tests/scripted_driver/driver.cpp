// ODBC 3 entry points of the scripted test driver. The driver manager owns
// the application's handles; these are the driver-side handles it creates
// behind them. Every call the system makes is logged to the scenario's log.
#include <sql.h>
#include <sqlext.h>
#include <sqlucode.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "scenario.h"

using nlohmann::json;
using namespace scripted;

namespace {

constexpr std::uint32_t kEnvMagic = 0x53454e56, kDbcMagic = 0x53444243, kStmtMagic = 0x53535448;
std::atomic<std::uint64_t> next_id{1};

struct Handle {
    explicit Handle(std::uint32_t m) : magic(m), id(next_id++) {}
    std::uint32_t magic;
    std::uint64_t id;
    std::vector<DiagRecord> diags;
};

struct Env : Handle {
    Env() : Handle(kEnvMagic) {}
    SQLINTEGER odbc_version = SQL_OV_ODBC3;
};

struct Dbc : Handle {
    Dbc() : Handle(kDbcMagic) {}
    std::shared_ptr<ScenarioState> state;
    std::vector<json> pending;  // lines written before the scenario is known
    std::map<SQLINTEGER, SQLULEN> attrs;
    std::uint64_t statements = 0;
    std::set<std::string> fired;

    void log(json line) {
        if (state) {
            state->log->write(line.dump(-1, ' ', false, json::error_handler_t::replace));
        } else {
            pending.push_back(std::move(line));
        }
    }
    bool dead() const {
        const auto& d = state->scenario.dead;
        return (d.after_statements && statements >= *d.after_statements) || (d.after_rule && fired.contains(*d.after_rule));
    }
};

struct Param {
    SQLSMALLINT io = SQL_PARAM_INPUT, ctype = SQL_C_CHAR, sqltype = SQL_VARCHAR, digits = 0;
    SQLULEN size = 0;
    SQLPOINTER ptr = nullptr;
    SQLLEN buflen = 0;
    SQLLEN* ind = nullptr;
    bool at_exec = false;  // data-at-execution, decided at execute
    std::string data;      // what SQLPutData delivered
    bool data_null = false;
};

struct GetDataState {
    SQLUSMALLINT col = 0;
    SQLSMALLINT ctype = 0;
    bool null = false;
    std::string bytes;
    std::size_t unit = 1;
    bool terminated = true;
    bool no_total = false;
    std::size_t piece_units = 0;
    std::size_t offset = 0;
    bool done = false;
};

struct Stmt : Handle {
    explicit Stmt(Dbc* d) : Handle(kStmtMagic), dbc(d) {}
    Dbc* dbc;
    std::map<SQLUSMALLINT, Param> params;
    std::map<SQLINTEGER, SQLULEN> attrs;
    int descriptors[4] = {};  // stand-ins for the implicit descriptors

    const std::vector<ResultSet>* results = nullptr;
    std::vector<ResultSet> owned;  // catalog results
    std::size_t result_index = 0;
    std::size_t next_row = 0, fetches = 0;
    const std::vector<Cell>* row = nullptr;
    std::optional<GetDataState> getdata;

    // Data-at-execution in progress.
    // Read by SQLCancel, which may come from another thread.
    std::atomic<const Answer*> pending_answer{nullptr};
    std::vector<long> need_order;
    std::size_t need_pos = 0;
    long current_param = 0;

    // SQLCancel from another thread interrupts a running delay.
    std::mutex mutex;
    std::condition_variable cv;
    const char* running = nullptr;
    bool cancel = false;

    void log(json line) {
        line["handle"] = id;
        line["conn"] = dbc->id;
        dbc->log(std::move(line));
    }
    const ResultSet* current() const {
        return results && result_index < results->size() ? &(*results)[result_index] : nullptr;
    }
    void close_cursor() {
        results = nullptr;
        result_index = next_row = fetches = 0;
        row = nullptr;
        getdata.reset();
    }
    // true when SQLCancel interrupted the wait.
    bool sleep(unsigned ms, const char* call) {
        if (ms == 0) return false;
        std::unique_lock lock(mutex);
        running = call;
        cancel = false;
        const bool cancelled = cv.wait_for(lock, std::chrono::milliseconds(ms), [this] { return cancel; });
        running = nullptr;
        cancel = false;
        return cancelled;
    }
};

template <class T>
T* as(SQLHANDLE h, std::uint32_t magic) {
    auto* p = static_cast<T*>(h);
    return p && p->magic == magic ? p : nullptr;
}

Handle* any_handle(SQLSMALLINT type, SQLHANDLE h) {
    switch (type) {
        case SQL_HANDLE_ENV: return as<Env>(h, kEnvMagic);
        case SQL_HANDLE_DBC: return as<Dbc>(h, kDbcMagic);
        case SQL_HANDLE_STMT: return as<Stmt>(h, kStmtMagic);
        default: return nullptr;
    }
}

SQLRETURN fail(Handle* h, std::string sqlstate, std::string message, std::int32_t native = 0) {
    h->diags.push_back({std::move(sqlstate), native, utf8_to_utf16("[Vantorel][Scripted] " + message)});
    return SQL_ERROR;
}

U16 wide_arg(const SQLWCHAR* text, SQLLEN length) {
    if (!text) return {};
    const auto* p = reinterpret_cast<const char16_t*>(text);
    if (length == SQL_NTS) return U16(p);
    return U16(p, static_cast<std::size_t>(std::max<SQLLEN>(length, 0)));
}

json text_json(const std::optional<U16>& t) { return t ? json(utf16_to_utf8(*t)) : json(nullptr); }

// Copies wide text with a terminator; true when it was cut.
bool put_wide(const U16& text, SQLWCHAR* out, SQLLEN capacity_units, SQLSMALLINT* length_out) {
    if (length_out) *length_out = static_cast<SQLSMALLINT>(text.size());
    if (!out) return false;
    if (capacity_units <= 0) return !text.empty();
    const auto n = std::min<std::size_t>(text.size(), static_cast<std::size_t>(capacity_units - 1));
    std::memcpy(out, text.data(), n * 2);
    out[n] = 0;
    return n < text.size();
}

std::string hex(const std::string& bytes) {
    static const char* digits = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
    }
    return out;
}

// ---- parameters ------------------------------------------------------------

bool is_at_exec(const Param& p) {
    return p.ind && (*p.ind == SQL_DATA_AT_EXEC || *p.ind <= SQL_LEN_DATA_AT_EXEC_OFFSET);
}

// The bytes of a character or binary input value as the driver reads it.
std::string raw_input(const Param& p) {
    if (p.at_exec) return p.data;
    const SQLLEN n = p.ind ? *p.ind : SQL_NTS;
    const char* data = static_cast<const char*>(p.ptr);
    if (!data) return {};
    if (n == SQL_NTS) {
        if (p.ctype == SQL_C_WCHAR) {
            const auto* w = reinterpret_cast<const char16_t*>(data);
            return std::string(data, std::char_traits<char16_t>::length(w) * 2);
        }
        return std::string(data);
    }
    return std::string(data, static_cast<std::size_t>(std::max<SQLLEN>(n, 0)));
}

bool input_is_null(const Param& p) {
    if (p.at_exec) return p.data_null;
    return p.ind && *p.ind == SQL_NULL_DATA;
}

// The input value as JSON: text, number, {"hex": ...} or null.
json input_json(const Param& p) {
    if (p.io == SQL_PARAM_OUTPUT || input_is_null(p)) return nullptr;
    switch (p.ctype) {
        case SQL_C_WCHAR: {
            const auto raw = raw_input(p);
            return utf16_to_utf8(std::u16string_view(reinterpret_cast<const char16_t*>(raw.data()), raw.size() / 2));
        }
        case SQL_C_CHAR: return raw_input(p);
        case SQL_C_BINARY: return json{{"hex", hex(raw_input(p))}};
        case SQL_C_SBIGINT: return *static_cast<const SQLBIGINT*>(p.ptr);
        case SQL_C_UBIGINT: return *static_cast<const SQLUBIGINT*>(p.ptr);
        case SQL_C_LONG:
        case SQL_C_SLONG: return *static_cast<const SQLINTEGER*>(p.ptr);
        case SQL_C_SHORT:
        case SQL_C_SSHORT: return *static_cast<const SQLSMALLINT*>(p.ptr);
        case SQL_C_DOUBLE: return *static_cast<const SQLDOUBLE*>(p.ptr);
        case SQL_C_FLOAT: return *static_cast<const SQLREAL*>(p.ptr);
        default: return nullptr;
    }
}

// The input value as text, for an OUT value that echoes it.
std::optional<U16> input_text(const Param& p) {
    if (p.io == SQL_PARAM_OUTPUT || input_is_null(p)) return std::nullopt;
    if (p.ctype == SQL_C_WCHAR) {
        const auto raw = raw_input(p);
        return U16(reinterpret_cast<const char16_t*>(raw.data()), raw.size() / 2);
    }
    const json j = input_json(p);
    if (j.is_string()) return utf8_to_utf16(j.get<std::string>());
    if (j.is_object()) return utf8_to_utf16(j.at("hex").get<std::string>());
    if (j.is_null()) return std::nullopt;
    return utf8_to_utf16(j.dump());
}

json param_json(SQLUSMALLINT n, const Param& p, bool with_value) {
    json j{{"param", n},   {"io", p.io},         {"ctype", p.ctype},   {"sqltype", p.sqltype},
           {"size", p.size}, {"digits", p.digits}, {"buflen", p.buflen}, {"ind", p.ind ? json(*p.ind) : json(nullptr)}};
    if (p.at_exec) j["data_at_exec"] = true;
    // A data-at-execution value is known only once its pieces have arrived.
    if (with_value && !(p.at_exec && p.data.empty() && !p.data_null)) j["value"] = input_json(p);
    return j;
}

json params_json(const Stmt& s, bool with_values) {
    json out = json::array();
    for (const auto& [n, p] : s.params) out.push_back(param_json(n, p, with_values));
    return out;
}

void write_out(Stmt& s, const OutValue& o) {
    auto it = s.params.find(o.param);
    if (it == s.params.end()) return;
    Param& p = it->second;
    // Input-only markers and data-at-execution markers (whose value pointer
    // is a token, not a buffer) have nowhere to receive a value.
    if ((p.io != SQL_PARAM_OUTPUT && p.io != SQL_PARAM_INPUT_OUTPUT) || p.at_exec) return;
    std::optional<U16> value;
    if (o.kind == OutValue::Kind::Literal) value = o.text;
    if (o.kind == OutValue::Kind::Echo) {
        auto src = s.params.find(o.echo);
        if (src != s.params.end()) value = input_text(src->second);
    }
    if (!value) {
        if (p.ind) *p.ind = SQL_NULL_DATA;
        return;
    }
    std::string bytes;
    std::size_t unit = 1;
    switch (p.ctype) {
        case SQL_C_WCHAR:
            bytes.assign(reinterpret_cast<const char*>(value->data()), value->size() * 2);
            unit = 2;
            break;
        case SQL_C_CHAR:
        case SQL_C_BINARY: bytes = utf16_to_utf8(*value); break;
        case SQL_C_SBIGINT: *static_cast<SQLBIGINT*>(p.ptr) = std::stoll(utf16_to_utf8(*value)); if (p.ind) *p.ind = 8; return;
        case SQL_C_LONG:
        case SQL_C_SLONG: *static_cast<SQLINTEGER*>(p.ptr) = std::stoi(utf16_to_utf8(*value)); if (p.ind) *p.ind = 4; return;
        case SQL_C_DOUBLE: *static_cast<SQLDOUBLE*>(p.ptr) = std::stod(utf16_to_utf8(*value)); if (p.ind) *p.ind = 8; return;
        default: return;
    }
    const bool terminated = p.ctype != SQL_C_BINARY;
    std::size_t capacity = static_cast<std::size_t>(std::max<SQLLEN>(p.buflen, 0)) / unit;
    if (terminated && capacity > 0) --capacity;
    const auto n = std::min(capacity, bytes.size() / unit);
    if (p.ptr) {
        std::memcpy(p.ptr, bytes.data(), n * unit);
        if (terminated && p.buflen >= static_cast<SQLLEN>(unit)) std::memset(static_cast<char*>(p.ptr) + n * unit, 0, unit);
    }
    if (p.ind) *p.ind = static_cast<SQLLEN>(bytes.size());
}

// ---- execution -------------------------------------------------------------

SQLRETURN run_answer(Stmt& s, const Answer& a) {
    if (s.sleep(a.delay_ms, "SQLExecDirectW")) return fail(&s, "HY008", "operation canceled");
    if (a.error) {
        s.diags = a.diagnostics;
        return SQL_ERROR;
    }
    for (const auto& o : a.outs) write_out(s, o);
    if (a.no_data) return SQL_NO_DATA;
    s.results = &a.results;
    s.result_index = 0;
    if (!a.diagnostics.empty()) {
        s.diags = a.diagnostics;
        return SQL_SUCCESS_WITH_INFO;
    }
    return SQL_SUCCESS;
}

SQLRETURN next_need_data(Stmt& s, SQLPOINTER* token) {
    while (s.need_pos < s.need_order.size()) {
        const long entry = s.need_order[s.need_pos++];
        if (entry < 0) {  // a literal token
            s.current_param = 0;
            if (token) *token = reinterpret_cast<SQLPOINTER>(-entry);
            return SQL_NEED_DATA;
        }
        auto it = s.params.find(static_cast<SQLUSMALLINT>(entry));
        if (it == s.params.end() || !it->second.at_exec) continue;
        s.current_param = entry;
        if (token) *token = it->second.ptr;
        return SQL_NEED_DATA;
    }
    const Answer* a = s.pending_answer.exchange(nullptr);
    s.current_param = 0;
    s.log({{"call", "SQLParamData"}, {"complete", true}, {"params", params_json(s, true)}});
    return run_answer(s, *a);
}

SQLRETURN exec_direct(Stmt& s, const U16& sql) {
    s.close_cursor();
    s.pending_answer = nullptr;
    Dbc& dbc = *s.dbc;
    const Scenario& sc = dbc.state->scenario;
    const std::string text = utf16_to_utf8(sql);
    ++dbc.statements;
    for (auto& [n, p] : s.params) {
        p.at_exec = is_at_exec(p);
        p.data.clear();
        p.data_null = false;
    }
    json line{{"call", "SQLExecDirectW"}, {"sql", text}, {"units", sql.size()}, {"params", params_json(s, true)}};
    if (sc.hy090_above && sql.size() > *sc.hy090_above) {
        line["rejected"] = "HY090";
        s.log(std::move(line));
        return fail(&s, "HY090", "invalid string or buffer length");
    }
    if (sc.too_long_above && sql.size() > *sc.too_long_above) {
        line["rejected"] = "54001";
        s.log(std::move(line));
        return fail(&s, "54001", "SQL statement too long or complex", -101);
    }
    if (sc.dead.statement_error && dbc.dead()) {
        line["rejected"] = "dead";
        s.log(std::move(line));
        s.diags = *sc.dead.statement_error;
        return SQL_ERROR;
    }
    std::uint64_t execution = 0;
    const auto [answer, rule] = dbc.state->answer_for(text, execution);
    line["rule"] = rule ? json(rule->name) : json(nullptr);
    line["execution"] = execution;
    s.log(std::move(line));
    if (rule) dbc.fired.insert(rule->name);

    std::vector<long> order;
    if (answer->need_data) {
        order = *answer->need_data;
    } else {
        for (const auto& [n, p] : s.params)
            if (p.at_exec) order.push_back(n);
    }
    if (!order.empty()) {
        s.pending_answer = answer;
        s.need_order = std::move(order);
        s.need_pos = 0;
        s.current_param = 0;
        return SQL_NEED_DATA;
    }
    return run_answer(s, *answer);
}

// ---- SQLGetData --------------------------------------------------------------

SQLSMALLINT default_ctype(SQLSMALLINT sqltype) {
    switch (sqltype) {
        case SQL_BINARY:
        case SQL_VARBINARY:
        case SQL_LONGVARBINARY: return SQL_C_BINARY;
        case SQL_WCHAR:
        case SQL_WVARCHAR:
        case SQL_WLONGVARCHAR: return SQL_C_WCHAR;
        default: return SQL_C_CHAR;
    }
}

GetDataState render(const Cell& given, const Column& col, SQLUSMALLINT column, SQLSMALLINT ctype) {
    GetDataState g;
    g.col = column;
    g.ctype = ctype;
    const Cell* cell = &given;
    if (cell->kind == Cell::Kind::PerType) {
        const auto& pick = ctype == SQL_C_WCHAR ? given.wchar : ctype == SQL_C_BINARY ? given.binary : given.narrow;
        static const Cell null_cell;
        cell = pick ? pick.get() : &null_cell;
    }
    g.no_total = cell->no_total.value_or(col.no_total);
    g.piece_units = cell->piece_units.value_or(col.piece_units);
    g.terminated = ctype != SQL_C_BINARY;
    switch (cell->kind) {
        case Cell::Kind::Null:
        case Cell::Kind::PerType: g.null = true; break;
        case Cell::Kind::Text:
            if (ctype == SQL_C_WCHAR) {
                g.bytes.assign(reinterpret_cast<const char*>(cell->text.data()), cell->text.size() * 2);
            } else {
                g.bytes = utf16_to_utf8(cell->text);
            }
            break;
        case Cell::Kind::Bytes:
            if (ctype == SQL_C_BINARY) {
                g.bytes = cell->bytes;
            } else if (ctype == SQL_C_WCHAR) {
                const U16 h = utf8_to_utf16(hex(cell->bytes));
                g.bytes.assign(reinterpret_cast<const char*>(h.data()), h.size() * 2);
            } else {
                g.bytes = hex(cell->bytes);
            }
            break;
    }
    g.unit = ctype == SQL_C_WCHAR ? 2 : 1;
    return g;
}

SQLRETURN get_data(Stmt& s, SQLUSMALLINT column, SQLSMALLINT ctype, SQLPOINTER out, SQLLEN buflen, SQLLEN* ind) {
    const ResultSet* rs = s.current();
    if (!rs || !s.row) return fail(&s, "24000", "invalid cursor state");
    if (column < 1 || column > rs->columns.size()) return fail(&s, "07009", "invalid descriptor index");
    const Column& col = rs->columns[column - 1];
    if (ctype == SQL_C_DEFAULT) ctype = default_ctype(col.type);
    const bool piecewise = ctype == SQL_C_WCHAR || ctype == SQL_C_CHAR || ctype == SQL_C_BINARY;
    if (!s.getdata || s.getdata->col != column || s.getdata->ctype != ctype)
        s.getdata = render((*s.row)[column - 1], col, column, piecewise ? ctype : SQL_C_CHAR);
    GetDataState& g = *s.getdata;
    g.ctype = ctype;
    if (g.done) return SQL_NO_DATA;
    if (g.null) {
        g.done = true;
        if (!ind) return fail(&s, "22002", "indicator variable required but not supplied");
        *ind = SQL_NULL_DATA;
        return SQL_SUCCESS;
    }
    if (!piecewise) {
        const std::string text = g.bytes;
        g.done = true;
        SQLLEN size = 0;
        try {
            switch (ctype) {
                case SQL_C_SBIGINT: *static_cast<SQLBIGINT*>(out) = std::stoll(text); size = 8; break;
                case SQL_C_LONG:
                case SQL_C_SLONG: *static_cast<SQLINTEGER*>(out) = std::stoi(text); size = 4; break;
                case SQL_C_SHORT:
                case SQL_C_SSHORT: *static_cast<SQLSMALLINT*>(out) = static_cast<SQLSMALLINT>(std::stoi(text)); size = 2; break;
                case SQL_C_DOUBLE: *static_cast<SQLDOUBLE*>(out) = std::stod(text); size = 8; break;
                case SQL_C_FLOAT: *static_cast<SQLREAL*>(out) = std::stof(text); size = 4; break;
                default: return fail(&s, "HY003", "program type out of range");
            }
        } catch (const std::exception&) {
            return fail(&s, "22018", "invalid character value for cast specification");
        }
        if (ind) *ind = size;
        return SQL_SUCCESS;
    }
    const std::size_t unit = g.unit;
    const std::size_t remaining = (g.bytes.size() - g.offset) / unit;
    std::size_t capacity = static_cast<std::size_t>(std::max<SQLLEN>(buflen, 0)) / unit;
    if (g.terminated) capacity = capacity > 0 ? capacity - 1 : 0;
    if (g.piece_units) capacity = std::min(capacity, g.piece_units);
    const std::size_t n = out ? std::min(capacity, remaining) : 0;
    if (out) {
        std::memcpy(out, g.bytes.data() + g.offset, n * unit);
        if (g.terminated && static_cast<std::size_t>(std::max<SQLLEN>(buflen, 0)) >= (n + 1) * unit)
            std::memset(static_cast<char*>(out) + n * unit, 0, unit);
    }
    g.offset += n * unit;
    const bool last = n == remaining;
    if (ind) *ind = (!last && g.no_total) ? SQL_NO_TOTAL : static_cast<SQLLEN>(remaining * unit);
    if (last) {
        g.done = true;
        return SQL_SUCCESS;
    }
    s.diags.push_back({"01004", 0, utf8_to_utf16("[Vantorel][Scripted] string data, right truncated")});
    return SQL_SUCCESS_WITH_INFO;
}

// ---- catalog -------------------------------------------------------------------

// LIKE-style search pattern: % any run, _ one unit, backslash escapes.
bool like(std::u16string_view text, std::u16string_view pattern) {
    if (pattern.empty()) return text.empty();
    if (pattern[0] == u'%') {
        for (std::size_t i = 0; i <= text.size(); ++i)
            if (like(text.substr(i), pattern.substr(1))) return true;
        return false;
    }
    std::size_t plen = 1;
    char16_t want = pattern[0];
    bool any = want == u'_';
    if (want == u'\\' && pattern.size() > 1) {
        want = pattern[1];
        plen = 2;
        any = false;
    }
    if (text.empty() || (!any && text[0] != want)) return false;
    return like(text.substr(1), pattern.substr(plen));
}

ResultSet procedure_columns(const Scenario& sc, const std::optional<U16>& schema, const std::optional<U16>& proc) {
    static const std::pair<const char*, SQLSMALLINT> layout[kProcColumns] = {
        {"PROCEDURE_CAT", SQL_VARCHAR}, {"PROCEDURE_SCHEM", SQL_VARCHAR}, {"PROCEDURE_NAME", SQL_VARCHAR},
        {"COLUMN_NAME", SQL_VARCHAR},   {"COLUMN_TYPE", SQL_SMALLINT},    {"DATA_TYPE", SQL_SMALLINT},
        {"TYPE_NAME", SQL_VARCHAR},     {"COLUMN_SIZE", SQL_INTEGER},     {"BUFFER_LENGTH", SQL_INTEGER},
        {"DECIMAL_DIGITS", SQL_SMALLINT}, {"NUM_PREC_RADIX", SQL_SMALLINT}, {"NULLABLE", SQL_SMALLINT},
        {"REMARKS", SQL_VARCHAR},       {"COLUMN_DEF", SQL_VARCHAR},      {"SQL_DATA_TYPE", SQL_SMALLINT},
        {"SQL_DATETIME_SUB", SQL_SMALLINT}, {"CHAR_OCTET_LENGTH", SQL_INTEGER}, {"ORDINAL_POSITION", SQL_INTEGER},
        {"IS_NULLABLE", SQL_VARCHAR}};
    ResultSet rs;
    rs.row_count = -1;
    for (const auto& [name, type] : layout) {
        Column c;
        c.name = utf8_to_utf16(name);
        c.type = type;
        c.size = type == SQL_VARCHAR ? 128 : 10;
        c.nullable = SQL_NULLABLE;
        rs.columns.push_back(std::move(c));
    }
    for (const auto& p : sc.procedures) {
        if (schema && !like(p.schema, *schema)) continue;
        if (proc && !like(p.name, *proc)) continue;
        for (const auto& r : p.rows) {
            std::vector<Cell> cells;
            for (const auto& v : r) {
                Cell c;
                if (v) {
                    c.kind = Cell::Kind::Text;
                    c.text = *v;
                }
                cells.push_back(std::move(c));
            }
            rs.rows.push_back(std::move(cells));
        }
    }
    return rs;
}

bool login_accepted(const Scenario& sc, const std::map<std::string, std::string>& attrs) {
    if (sc.refuse) return false;
    auto value = [&](const char* key) {
        auto it = attrs.find(key);
        return it == attrs.end() ? std::string() : it->second;
    };
    return (!sc.user || *sc.user == value("UID")) && (!sc.password || *sc.password == value("PWD"));
}

SQLRETURN connect_attr_get(Dbc& d, SQLINTEGER attr, SQLPOINTER value) {
    if (attr != SQL_ATTR_CONNECTION_DEAD) {
        auto it = d.attrs.find(attr);
        SQLULEN v = it != d.attrs.end() ? it->second : attr == SQL_ATTR_AUTOCOMMIT ? SQL_AUTOCOMMIT_ON : 0;
        if (value) *static_cast<SQLUINTEGER*>(value) = static_cast<SQLUINTEGER>(v);
        return SQL_SUCCESS;
    }
    SQLRETURN rc = SQL_SUCCESS;
    SQLINTEGER answer = SQL_CD_FALSE;
    if (d.state && d.dead()) {
        const auto& dead = d.state->scenario.dead;
        rc = dead.rc;
        answer = dead.value;
        d.diags = dead.diagnostics;
        if (rc == SQL_ERROR && d.diags.empty())
            d.diags.push_back({"08S01", 0, utf8_to_utf16("[Vantorel][Scripted] communication link failure")});
        if (rc == SQL_SUCCESS_WITH_INFO && d.diags.empty())
            d.diags.push_back({"01000", 0, utf8_to_utf16("[Vantorel][Scripted] connection state uncertain")});
    }
    if (rc != SQL_ERROR && value) *static_cast<SQLINTEGER*>(value) = answer;
    d.log({{"call", "SQLGetConnectAttrW"}, {"handle", d.id}, {"attr", attr}, {"value", rc == SQL_ERROR ? json(nullptr) : json(answer)}, {"rc", rc}});
    return rc;
}

bool is_string_connect_attr(SQLINTEGER attr) {
    return attr == SQL_ATTR_CURRENT_CATALOG || attr == SQL_ATTR_TRACEFILE || attr == SQL_ATTR_TRANSLATE_LIB;
}

// The functions SQLGetFunctions reports; the driver exports each of them.
const SQLUSMALLINT kFunctions[] = {
    SQL_API_SQLALLOCHANDLE,     SQL_API_SQLFREEHANDLE,  SQL_API_SQLSETENVATTR,    SQL_API_SQLGETENVATTR,
    SQL_API_SQLSETCONNECTATTR,  SQL_API_SQLGETCONNECTATTR, SQL_API_SQLDRIVERCONNECT, SQL_API_SQLDISCONNECT,
    SQL_API_SQLEXECDIRECT,      SQL_API_SQLBINDPARAMETER, SQL_API_SQLNUMRESULTCOLS, SQL_API_SQLDESCRIBECOL,
    SQL_API_SQLFETCH,           SQL_API_SQLGETDATA,     SQL_API_SQLROWCOUNT,      SQL_API_SQLMORERESULTS,
    SQL_API_SQLPROCEDURECOLUMNS, SQL_API_SQLPARAMDATA,  SQL_API_SQLPUTDATA,       SQL_API_SQLCANCEL,
    SQL_API_SQLGETDIAGREC,      SQL_API_SQLGETDIAGFIELD, SQL_API_SQLFREESTMT,     SQL_API_SQLCLOSECURSOR,
    SQL_API_SQLGETINFO,         SQL_API_SQLGETFUNCTIONS, SQL_API_SQLENDTRAN,      SQL_API_SQLGETSTMTATTR,
    SQL_API_SQLSETSTMTATTR,
};

void free_stmt(Stmt* s) {
    s->log({{"call", "SQLFreeHandle"}, {"type", "STMT"}});
    delete s;
}

}  // namespace

// ---- entry points ---------------------------------------------------------------

extern "C" {

SQLRETURN SQL_API SQLAllocHandle(SQLSMALLINT type, SQLHANDLE input, SQLHANDLE* output) {
    if (!output) return SQL_ERROR;
    switch (type) {
        case SQL_HANDLE_ENV: *output = new Env(); return SQL_SUCCESS;
        case SQL_HANDLE_DBC: {
            if (!as<Env>(input, kEnvMagic)) return SQL_INVALID_HANDLE;
            auto* d = new Dbc();
            d->log({{"call", "SQLAllocHandle"}, {"type", "DBC"}, {"handle", d->id}});
            *output = d;
            return SQL_SUCCESS;
        }
        case SQL_HANDLE_STMT: {
            auto* d = as<Dbc>(input, kDbcMagic);
            if (!d) return SQL_INVALID_HANDLE;
            d->diags.clear();
            if (!d->state) return fail(d, "08003", "connection not open");
            auto* s = new Stmt(d);
            d->log({{"call", "SQLAllocHandle"}, {"type", "STMT"}, {"handle", s->id}, {"parent", d->id}});
            *output = s;
            return SQL_SUCCESS;
        }
        default: return SQL_ERROR;
    }
}

SQLRETURN SQL_API SQLFreeHandle(SQLSMALLINT type, SQLHANDLE handle) {
    switch (type) {
        case SQL_HANDLE_ENV:
            if (auto* e = as<Env>(handle, kEnvMagic)) {
                delete e;
                return SQL_SUCCESS;
            }
            return SQL_INVALID_HANDLE;
        case SQL_HANDLE_DBC:
            if (auto* d = as<Dbc>(handle, kDbcMagic)) {
                d->log({{"call", "SQLFreeHandle"}, {"type", "DBC"}, {"handle", d->id}});
                delete d;
                return SQL_SUCCESS;
            }
            return SQL_INVALID_HANDLE;
        case SQL_HANDLE_STMT:
            if (auto* s = as<Stmt>(handle, kStmtMagic)) {
                free_stmt(s);
                return SQL_SUCCESS;
            }
            return SQL_INVALID_HANDLE;
        default: return SQL_SUCCESS;
    }
}

SQLRETURN SQL_API SQLSetEnvAttr(SQLHENV env, SQLINTEGER attr, SQLPOINTER value, SQLINTEGER) {
    auto* e = as<Env>(env, kEnvMagic);
    if (!e) return SQL_INVALID_HANDLE;
    if (attr == SQL_ATTR_ODBC_VERSION) e->odbc_version = static_cast<SQLINTEGER>(reinterpret_cast<SQLLEN>(value));
    return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLGetEnvAttr(SQLHENV env, SQLINTEGER attr, SQLPOINTER value, SQLINTEGER, SQLINTEGER* length) {
    auto* e = as<Env>(env, kEnvMagic);
    if (!e) return SQL_INVALID_HANDLE;
    SQLINTEGER v = 0;
    if (attr == SQL_ATTR_ODBC_VERSION) v = e->odbc_version;
    if (attr == SQL_ATTR_OUTPUT_NTS) v = SQL_TRUE;
    if (value) *static_cast<SQLINTEGER*>(value) = v;
    if (length) *length = sizeof(SQLINTEGER);
    return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLSetConnectAttrW(SQLHDBC dbc, SQLINTEGER attr, SQLPOINTER value, SQLINTEGER length) {
    auto* d = as<Dbc>(dbc, kDbcMagic);
    if (!d) return SQL_INVALID_HANDLE;
    d->diags.clear();
    json v;
    if (is_string_connect_attr(attr)) {
        v = utf16_to_utf8(wide_arg(static_cast<SQLWCHAR*>(value), length == SQL_NTS ? SQL_NTS : length / 2));
    } else {
        d->attrs[attr] = reinterpret_cast<SQLULEN>(value);
        v = reinterpret_cast<SQLULEN>(value);
    }
    d->log({{"call", "SQLSetConnectAttrW"}, {"handle", d->id}, {"attr", attr}, {"value", v}});
    return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLGetConnectAttrW(SQLHDBC dbc, SQLINTEGER attr, SQLPOINTER value, SQLINTEGER, SQLINTEGER* length) {
    auto* d = as<Dbc>(dbc, kDbcMagic);
    if (!d) return SQL_INVALID_HANDLE;
    d->diags.clear();
    if (length) *length = sizeof(SQLINTEGER);
    return connect_attr_get(*d, attr, value);
}

SQLRETURN SQL_API SQLDriverConnectW(SQLHDBC dbc, SQLHWND, SQLWCHAR* in, SQLSMALLINT in_length, SQLWCHAR* out,
                                    SQLSMALLINT out_max, SQLSMALLINT* out_length, SQLUSMALLINT completion) {
    auto* d = as<Dbc>(dbc, kDbcMagic);
    if (!d) return SQL_INVALID_HANDLE;
    d->diags.clear();
    const U16 wide = wide_arg(in, in_length);
    const std::string text = utf16_to_utf8(wide);
    const auto attrs = parse_connection_string(text);
    auto system = attrs.find("SYSTEM");
    if (system == attrs.end() || system->second.empty())
        return fail(d, "HY000", "the connection string names no scenario (SYSTEM=)");
    std::string error;
    auto state = load_scenario(system->second, error);
    if (!state) return fail(d, "HY000", error);
    d->state = std::move(state);
    for (auto& line : d->pending) d->log(std::move(line));
    d->pending.clear();
    const bool accepted = login_accepted(d->state->scenario, attrs);
    d->log({{"call", "SQLDriverConnectW"},
            {"handle", d->id},
            {"connection_string", mask_password(text)},
            {"completion", completion},
            {"rc", accepted ? SQL_SUCCESS : SQL_ERROR}});
    if (!accepted) {
        d->diags = d->state->scenario.login_error;
        return SQL_ERROR;
    }
    const bool cut = put_wide(wide, out, out_max, out_length);
    if (cut) {
        d->diags.push_back({"01004", 0, utf8_to_utf16("[Vantorel][Scripted] string data, right truncated")});
        return SQL_SUCCESS_WITH_INFO;
    }
    return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLDisconnect(SQLHDBC dbc) {
    auto* d = as<Dbc>(dbc, kDbcMagic);
    if (!d) return SQL_INVALID_HANDLE;
    d->diags.clear();
    d->log({{"call", "SQLDisconnect"}, {"handle", d->id}});
    return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLGetInfoW(SQLHDBC dbc, SQLUSMALLINT info, SQLPOINTER value, SQLSMALLINT max, SQLSMALLINT* length) {
    auto* d = as<Dbc>(dbc, kDbcMagic);
    if (!d) return SQL_INVALID_HANDLE;
    d->diags.clear();
    static const std::map<SQLUSMALLINT, const char*> texts = {
        {SQL_DRIVER_ODBC_VER, "03.80"},      {SQL_DRIVER_NAME, "libvantorel_scripted_odbc.so"},
        {SQL_DRIVER_VER, "01.00.0000"},      {SQL_DBMS_NAME, "Vantorel Scripted"},
        {SQL_DBMS_VER, "01.00.0000"},        {SQL_DATA_SOURCE_NAME, ""},
        {SQL_SERVER_NAME, "scripted"},       {SQL_USER_NAME, ""},
        {SQL_SEARCH_PATTERN_ESCAPE, "\\"},   {SQL_IDENTIFIER_QUOTE_CHAR, "\""},
        {SQL_DATA_SOURCE_READ_ONLY, "N"},    {SQL_MULT_RESULT_SETS, "Y"},
        {SQL_CATALOG_NAME_SEPARATOR, "."},   {SQL_DATABASE_NAME, "scripted"},
    };
    static const std::map<SQLUSMALLINT, std::pair<SQLUINTEGER, int>> numbers = {
        {SQL_MAX_DRIVER_CONNECTIONS, {0, 2}},
        {SQL_MAX_CONCURRENT_ACTIVITIES, {0, 2}},
        {SQL_CURSOR_COMMIT_BEHAVIOR, {SQL_CB_PRESERVE, 2}},
        {SQL_CURSOR_ROLLBACK_BEHAVIOR, {SQL_CB_PRESERVE, 2}},
        {SQL_TXN_CAPABLE, {SQL_TC_ALL, 2}},
        {SQL_GETDATA_EXTENSIONS, {SQL_GD_ANY_COLUMN | SQL_GD_ANY_ORDER, 4}},
        {SQL_ASYNC_MODE, {SQL_AM_NONE, 4}},
        {SQL_ASYNC_DBC_FUNCTIONS, {SQL_ASYNC_DBC_NOT_CAPABLE, 4}},
        {SQL_ASYNC_NOTIFICATION, {SQL_ASYNC_NOTIFICATION_NOT_CAPABLE, 4}},
        {SQL_MAX_COLUMN_NAME_LEN, {128, 2}},
        {SQL_PARAM_ARRAY_ROW_COUNTS, {SQL_PARC_NO_BATCH, 4}},
        {SQL_PARAM_ARRAY_SELECTS, {SQL_PAS_NO_SELECT, 4}},
        {SQL_CURSOR_SENSITIVITY, {SQL_UNSPECIFIED, 4}},
        {SQL_SCROLL_OPTIONS, {SQL_SO_FORWARD_ONLY, 4}},
        {SQL_DEFAULT_TXN_ISOLATION, {SQL_TXN_READ_COMMITTED, 4}},
        {SQL_ODBC_INTERFACE_CONFORMANCE, {SQL_OIC_CORE, 4}},
    };
    if (auto t = texts.find(info); t != texts.end()) {
        const U16 w = utf8_to_utf16(t->second);
        SQLSMALLINT units = 0;
        const bool cut = put_wide(w, static_cast<SQLWCHAR*>(value), max / 2, &units);
        if (length) *length = static_cast<SQLSMALLINT>(units * 2);
        return cut ? SQL_SUCCESS_WITH_INFO : SQL_SUCCESS;
    }
    if (auto n = numbers.find(info); n != numbers.end()) {
        if (value) {
            if (n->second.second == 2) {
                *static_cast<SQLUSMALLINT*>(value) = static_cast<SQLUSMALLINT>(n->second.first);
            } else {
                *static_cast<SQLUINTEGER*>(value) = n->second.first;
            }
        }
        if (length) *length = static_cast<SQLSMALLINT>(n->second.second);
        return SQL_SUCCESS;
    }
    return fail(d, "HY096", "information type out of range");
}

SQLRETURN SQL_API SQLGetFunctions(SQLHDBC dbc, SQLUSMALLINT function, SQLUSMALLINT* supported) {
    if (!as<Dbc>(dbc, kDbcMagic)) return SQL_INVALID_HANDLE;
    if (!supported) return SQL_SUCCESS;
    if (function == SQL_API_ODBC3_ALL_FUNCTIONS) {
        std::fill_n(supported, SQL_API_ODBC3_ALL_FUNCTIONS_SIZE, SQLUSMALLINT{0});
        for (auto f : kFunctions) supported[f >> 4] |= static_cast<SQLUSMALLINT>(1u << (f & 0xF));
    } else if (function == SQL_API_ALL_FUNCTIONS) {
        std::fill_n(supported, 100, SQLUSMALLINT{0});
        for (auto f : kFunctions)
            if (f < 100) supported[f] = SQL_TRUE;
    } else {
        *supported = std::find(std::begin(kFunctions), std::end(kFunctions), function) != std::end(kFunctions) ? SQL_TRUE : SQL_FALSE;
    }
    return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLEndTran(SQLSMALLINT, SQLHANDLE, SQLSMALLINT) { return SQL_SUCCESS; }

SQLRETURN SQL_API SQLGetStmtAttrW(SQLHSTMT stmt, SQLINTEGER attr, SQLPOINTER value, SQLINTEGER, SQLINTEGER* length) {
    auto* s = as<Stmt>(stmt, kStmtMagic);
    if (!s) return SQL_INVALID_HANDLE;
    s->diags.clear();
    if (attr >= SQL_ATTR_APP_ROW_DESC && attr <= SQL_ATTR_IMP_PARAM_DESC) {
        if (value) *static_cast<SQLPOINTER*>(value) = &s->descriptors[attr - SQL_ATTR_APP_ROW_DESC];
        if (length) *length = sizeof(SQLPOINTER);
        return SQL_SUCCESS;
    }
    SQLULEN v = 0;
    if (auto it = s->attrs.find(attr); it != s->attrs.end()) {
        v = it->second;
    } else if (attr == SQL_ATTR_CONCURRENCY) {
        v = SQL_CONCUR_READ_ONLY;
    } else if (attr == SQL_ATTR_ROW_ARRAY_SIZE || attr == SQL_ATTR_PARAMSET_SIZE || attr == SQL_ROWSET_SIZE) {
        v = 1;
    }
    if (value) *static_cast<SQLULEN*>(value) = v;
    if (length) *length = sizeof(SQLULEN);
    return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLSetStmtAttrW(SQLHSTMT stmt, SQLINTEGER attr, SQLPOINTER value, SQLINTEGER) {
    auto* s = as<Stmt>(stmt, kStmtMagic);
    if (!s) return SQL_INVALID_HANDLE;
    s->diags.clear();
    s->attrs[attr] = reinterpret_cast<SQLULEN>(value);
    s->log({{"call", "SQLSetStmtAttrW"}, {"attr", attr}, {"value", reinterpret_cast<SQLULEN>(value)}});
    return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLExecDirectW(SQLHSTMT stmt, SQLWCHAR* text, SQLINTEGER length) {
    auto* s = as<Stmt>(stmt, kStmtMagic);
    if (!s) return SQL_INVALID_HANDLE;
    s->diags.clear();
    return exec_direct(*s, wide_arg(text, length));
}

SQLRETURN SQL_API SQLBindParameter(SQLHSTMT stmt, SQLUSMALLINT number, SQLSMALLINT io, SQLSMALLINT ctype, SQLSMALLINT sqltype,
                                   SQLULEN size, SQLSMALLINT digits, SQLPOINTER value, SQLLEN buflen, SQLLEN* ind) {
    auto* s = as<Stmt>(stmt, kStmtMagic);
    if (!s) return SQL_INVALID_HANDLE;
    s->diags.clear();
    if (number < 1) return fail(s, "07009", "invalid descriptor index");
    Param p;
    p.io = io;
    p.ctype = ctype;
    p.sqltype = sqltype;
    p.size = size;
    p.digits = digits;
    p.ptr = value;
    p.buflen = buflen;
    p.ind = ind;
    json line = param_json(number, p, false);
    line["call"] = "SQLBindParameter";
    s->log(std::move(line));
    s->params[number] = p;
    return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLParamData(SQLHSTMT stmt, SQLPOINTER* token) {
    auto* s = as<Stmt>(stmt, kStmtMagic);
    if (!s) return SQL_INVALID_HANDLE;
    s->diags.clear();
    if (!s->pending_answer) return fail(s, "HY010", "function sequence error");
    const SQLRETURN rc = next_need_data(*s, token);
    if (rc == SQL_NEED_DATA)
        s->log({{"call", "SQLParamData"}, {"param", s->current_param}, {"token", token ? json(reinterpret_cast<SQLULEN>(*token)) : json(nullptr)}});
    return rc;
}

SQLRETURN SQL_API SQLPutData(SQLHSTMT stmt, SQLPOINTER data, SQLLEN length) {
    auto* s = as<Stmt>(stmt, kStmtMagic);
    if (!s) return SQL_INVALID_HANDLE;
    s->diags.clear();
    if (!s->pending_answer) return fail(s, "HY010", "function sequence error");
    auto it = s->params.find(static_cast<SQLUSMALLINT>(s->current_param));
    SQLLEN bytes = length;
    if (it != s->params.end()) {
        Param& p = it->second;
        if (length == SQL_NULL_DATA) {
            p.data_null = true;
        } else {
            if (length == SQL_NTS)
                bytes = p.ctype == SQL_C_WCHAR
                            ? static_cast<SQLLEN>(std::char_traits<char16_t>::length(static_cast<const char16_t*>(data)) * 2)
                            : static_cast<SQLLEN>(std::strlen(static_cast<const char*>(data)));
            p.data.append(static_cast<const char*>(data), static_cast<std::size_t>(std::max<SQLLEN>(bytes, 0)));
        }
    }
    s->log({{"call", "SQLPutData"}, {"param", s->current_param}, {"bytes", bytes}});
    return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLNumResultCols(SQLHSTMT stmt, SQLSMALLINT* count) {
    auto* s = as<Stmt>(stmt, kStmtMagic);
    if (!s) return SQL_INVALID_HANDLE;
    s->diags.clear();
    const ResultSet* rs = s->current();
    const auto n = static_cast<SQLSMALLINT>(rs ? rs->columns.size() : 0);
    if (count) *count = n;
    s->log({{"call", "SQLNumResultCols"}, {"count", n}});
    return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLDescribeColW(SQLHSTMT stmt, SQLUSMALLINT column, SQLWCHAR* name, SQLSMALLINT name_max, SQLSMALLINT* name_length,
                                  SQLSMALLINT* type, SQLULEN* size, SQLSMALLINT* digits, SQLSMALLINT* nullable) {
    auto* s = as<Stmt>(stmt, kStmtMagic);
    if (!s) return SQL_INVALID_HANDLE;
    s->diags.clear();
    const ResultSet* rs = s->current();
    if (!rs || rs->columns.empty()) return fail(s, "07005", "prepared statement not a cursor-specification");
    if (column < 1 || column > rs->columns.size()) return fail(s, "07009", "invalid descriptor index");
    const Column& c = rs->columns[column - 1];
    const bool cut = put_wide(c.name, name, name_max, name_length);
    if (type) *type = c.type;
    if (size) *size = c.size;
    if (digits) *digits = c.digits;
    if (nullable) *nullable = c.nullable;
    s->log({{"call", "SQLDescribeColW"}, {"column", column}, {"buflen", name_max}});
    if (cut) {
        s->diags.push_back({"01004", 0, utf8_to_utf16("[Vantorel][Scripted] string data, right truncated")});
        return SQL_SUCCESS_WITH_INFO;
    }
    return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLFetch(SQLHSTMT stmt) {
    auto* s = as<Stmt>(stmt, kStmtMagic);
    if (!s) return SQL_INVALID_HANDLE;
    s->diags.clear();
    const ResultSet* rs = s->current();
    if (!rs || rs->columns.empty()) {
        s->log({{"call", "SQLFetch"}, {"rc", SQL_ERROR}});
        return fail(s, "24000", "invalid cursor state");
    }
    const std::size_t number = ++s->fetches;
    s->row = nullptr;
    s->getdata.reset();
    SQLRETURN rc = SQL_SUCCESS;
    bool cancelled = false;
    if (s->sleep(rs->fetch_delay_ms, "SQLFetch")) {
        cancelled = true;
        rc = fail(s, "HY008", "operation canceled");
    } else if (auto e = std::find_if(rs->fetch_errors.begin(), rs->fetch_errors.end(), [&](const FetchError& f) { return f.at == number; });
               e != rs->fetch_errors.end()) {
        s->diags = e->diagnostics;
        rc = SQL_ERROR;
    } else if (s->next_row < rs->rows.size()) {
        s->row = &rs->rows[s->next_row++];
    } else {
        rc = SQL_NO_DATA;
    }
    s->log({{"call", "SQLFetch"}, {"fetch", number}, {"rc", rc}, {"cancelled", cancelled}});
    return rc;
}

SQLRETURN SQL_API SQLGetData(SQLHSTMT stmt, SQLUSMALLINT column, SQLSMALLINT ctype, SQLPOINTER out, SQLLEN buflen, SQLLEN* ind) {
    auto* s = as<Stmt>(stmt, kStmtMagic);
    if (!s) return SQL_INVALID_HANDLE;
    s->diags.clear();
    const SQLRETURN rc = get_data(*s, column, ctype, out, buflen, ind);
    s->log({{"call", "SQLGetData"}, {"column", column}, {"ctype", ctype}, {"buflen", buflen}, {"rc", rc},
            {"ind", (ind && (rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO)) ? json(*ind) : json(nullptr)}});
    return rc;
}

SQLRETURN SQL_API SQLRowCount(SQLHSTMT stmt, SQLLEN* count) {
    auto* s = as<Stmt>(stmt, kStmtMagic);
    if (!s) return SQL_INVALID_HANDLE;
    s->diags.clear();
    const ResultSet* rs = s->current();
    const SQLLEN n = rs ? rs->row_count : -1;
    if (count) *count = n;
    s->log({{"call", "SQLRowCount"}, {"count", n}});
    return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLMoreResults(SQLHSTMT stmt) {
    auto* s = as<Stmt>(stmt, kStmtMagic);
    if (!s) return SQL_INVALID_HANDLE;
    s->diags.clear();
    SQLRETURN rc = SQL_NO_DATA;
    if (s->results && s->result_index + 1 < s->results->size()) {
        const auto* results = s->results;
        const auto next = s->result_index + 1;
        s->close_cursor();
        s->results = results;
        s->result_index = next;
        rc = SQL_SUCCESS;
    } else {
        s->close_cursor();
    }
    s->log({{"call", "SQLMoreResults"}, {"rc", rc}});
    return rc;
}

SQLRETURN SQL_API SQLProcedureColumnsW(SQLHSTMT stmt, SQLWCHAR* catalog, SQLSMALLINT catalog_length, SQLWCHAR* schema,
                                       SQLSMALLINT schema_length, SQLWCHAR* proc, SQLSMALLINT proc_length, SQLWCHAR* column,
                                       SQLSMALLINT column_length) {
    auto* s = as<Stmt>(stmt, kStmtMagic);
    if (!s) return SQL_INVALID_HANDLE;
    s->diags.clear();
    s->close_cursor();
    auto arg = [](SQLWCHAR* p, SQLSMALLINT n) { return p ? std::optional<U16>(wide_arg(p, n)) : std::nullopt; };
    const auto schema_arg = arg(schema, schema_length), proc_arg = arg(proc, proc_length);
    s->log({{"call", "SQLProcedureColumnsW"},
            {"catalog", text_json(arg(catalog, catalog_length))},
            {"schema", text_json(schema_arg)},
            {"proc", text_json(proc_arg)},
            {"column", text_json(arg(column, column_length))}});
    s->owned.assign(1, procedure_columns(s->dbc->state->scenario, schema_arg, proc_arg));
    s->results = &s->owned;
    return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLCancel(SQLHSTMT stmt) {
    auto* s = as<Stmt>(stmt, kStmtMagic);
    if (!s) return SQL_INVALID_HANDLE;
    const char* during = nullptr;
    {
        std::lock_guard lock(s->mutex);
        if (s->running) {
            during = s->running;
            s->cancel = true;
            s->cv.notify_all();
        }
    }
    bool need_data = false;
    if (!during && s->pending_answer.exchange(nullptr)) need_data = true;  // ends a data-at-execution sequence
    s->log({{"call", "SQLCancel"}, {"interrupted", during != nullptr}, {"during", during ? json(during) : json(nullptr)}, {"need_data", need_data}});
    return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLFreeStmt(SQLHSTMT stmt, SQLUSMALLINT option) {
    auto* s = as<Stmt>(stmt, kStmtMagic);
    if (!s) return SQL_INVALID_HANDLE;
    s->diags.clear();
    if (option == SQL_DROP) {
        free_stmt(s);
        return SQL_SUCCESS;
    }
    s->log({{"call", "SQLFreeStmt"}, {"option", option}});
    if (option == SQL_CLOSE) s->close_cursor();
    if (option == SQL_RESET_PARAMS) s->params.clear();
    return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLCloseCursor(SQLHSTMT stmt) {
    auto* s = as<Stmt>(stmt, kStmtMagic);
    if (!s) return SQL_INVALID_HANDLE;
    s->diags.clear();
    s->log({{"call", "SQLCloseCursor"}});
    s->close_cursor();
    return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLGetDiagRecW(SQLSMALLINT type, SQLHANDLE handle, SQLSMALLINT record, SQLWCHAR* state, SQLINTEGER* native,
                                 SQLWCHAR* message, SQLSMALLINT max, SQLSMALLINT* length) {
    Handle* h = any_handle(type, handle);
    if (!h) return SQL_INVALID_HANDLE;
    if (record < 1) return SQL_ERROR;
    if (static_cast<std::size_t>(record) > h->diags.size()) return SQL_NO_DATA;
    const DiagRecord& d = h->diags[static_cast<std::size_t>(record - 1)];
    if (state) put_wide(utf8_to_utf16(d.sqlstate.substr(0, 5)), state, 6, nullptr);
    if (native) *native = d.native;
    return put_wide(d.message, message, max, length) ? SQL_SUCCESS_WITH_INFO : SQL_SUCCESS;
}

SQLRETURN SQL_API SQLGetDiagFieldW(SQLSMALLINT type, SQLHANDLE handle, SQLSMALLINT record, SQLSMALLINT field, SQLPOINTER value,
                                   SQLSMALLINT max, SQLSMALLINT* length) {
    Handle* h = any_handle(type, handle);
    if (!h) return SQL_INVALID_HANDLE;
    auto text = [&](const U16& t) {
        SQLSMALLINT units = 0;
        const bool cut = put_wide(t, static_cast<SQLWCHAR*>(value), max / 2, &units);
        if (length) *length = static_cast<SQLSMALLINT>(units * 2);
        return cut ? SQL_SUCCESS_WITH_INFO : SQL_SUCCESS;
    };
    if (record == 0) {
        switch (field) {
            case SQL_DIAG_NUMBER: if (value) *static_cast<SQLINTEGER*>(value) = static_cast<SQLINTEGER>(h->diags.size()); return SQL_SUCCESS;
            case SQL_DIAG_RETURNCODE: if (value) *static_cast<SQLRETURN*>(value) = h->diags.empty() ? SQL_SUCCESS : SQL_ERROR; return SQL_SUCCESS;
            case SQL_DIAG_ROW_COUNT: if (value) *static_cast<SQLLEN*>(value) = 0; return SQL_SUCCESS;
            case SQL_DIAG_CURSOR_ROW_COUNT: if (value) *static_cast<SQLLEN*>(value) = 0; return SQL_SUCCESS;
            case SQL_DIAG_DYNAMIC_FUNCTION: return text(U16());
            case SQL_DIAG_DYNAMIC_FUNCTION_CODE: if (value) *static_cast<SQLINTEGER*>(value) = SQL_DIAG_UNKNOWN_STATEMENT; return SQL_SUCCESS;
            default: return SQL_ERROR;
        }
    }
    if (record < 1 || static_cast<std::size_t>(record) > h->diags.size()) return SQL_NO_DATA;
    const DiagRecord& d = h->diags[static_cast<std::size_t>(record - 1)];
    switch (field) {
        case SQL_DIAG_SQLSTATE: return text(utf8_to_utf16(d.sqlstate.substr(0, 5)));
        case SQL_DIAG_NATIVE: if (value) *static_cast<SQLINTEGER*>(value) = d.native; return SQL_SUCCESS;
        case SQL_DIAG_MESSAGE_TEXT: return text(d.message);
        case SQL_DIAG_CLASS_ORIGIN:
        case SQL_DIAG_SUBCLASS_ORIGIN: return text(utf8_to_utf16(d.sqlstate.starts_with("IM") ? "ODBC 3.0" : "ISO 9075"));
        case SQL_DIAG_CONNECTION_NAME:
        case SQL_DIAG_SERVER_NAME: return text(utf8_to_utf16("scripted"));
        case SQL_DIAG_COLUMN_NUMBER: if (value) *static_cast<SQLINTEGER*>(value) = SQL_COLUMN_NUMBER_UNKNOWN; return SQL_SUCCESS;
        case SQL_DIAG_ROW_NUMBER: if (value) *static_cast<SQLLEN*>(value) = SQL_ROW_NUMBER_UNKNOWN; return SQL_SUCCESS;
        default: return SQL_ERROR;
    }
}

}  // extern "C"
