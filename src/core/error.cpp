#include "core/error.h"

#include <cstdio>

namespace vantorel {

CoreError CoreError::query(std::string sqlstate, std::string message, std::vector<Diagnostic> diagnostics,
                           std::int32_t native_error) {
    CoreError e{ErrorKind::Query, std::move(message)};
    e.sqlstate_ = std::move(sqlstate);
    e.diagnostics_ = std::move(diagnostics);
    e.native_error_ = native_error;
    return e;
}

CoreError CoreError::from_diagnostic(Diagnostic diagnostic) {
    std::string sqlstate = diagnostic.sqlstate;
    std::string message = scrub_password(diagnostic.message);
    std::int32_t native = diagnostic.native_error;
    std::vector<Diagnostic> records;
    records.push_back(std::move(diagnostic));
    return query(std::move(sqlstate), std::move(message), std::move(records), native);
}

std::string CoreError::display() const {
    switch (kind_) {
        case ErrorKind::Config: return "configuracion invalida: " + message_;
        case ErrorKind::Connect: return "no se pudo conectar: " + message_;
        case ErrorKind::PoolTimeout: return "tiempo de espera agotado esperando una conexion del pool";
        case ErrorKind::Interface: return "uso invalido de la interfaz: " + message_;
        case ErrorKind::Query: return "error de consulta [" + sqlstate_ + "]: " + message_;
        case ErrorKind::Parameter: return "error de parametro: " + message_;
        case ErrorKind::Data: return "error de datos: " + message_;
        case ErrorKind::Catalog: return "error de catalogo: " + message_;
        case ErrorKind::FeatureUnavailable: return "feature no disponible en este build: " + message_;
    }
    return message_;
}

QueryClass classify_sqlstate(std::string_view s) noexcept {
    if (s.starts_with("42")) return QueryClass::SqlSyntax;
    if (s.starts_with("23")) return QueryClass::Integrity;
    if (s.starts_with("22")) return QueryClass::Data;
    if (s == "HYT00" || s == "HYT01") return QueryClass::OperationTimeout;
    return QueryClass::Query;
}

namespace {

// A value that opens with "{" is an ODBC braced value: it ends at the first
// "}" that is not doubled, so a ";" inside it is part of the secret.
std::size_t braced_value_end(std::string_view text, std::size_t start) {
    std::size_t i = start + 1;
    while (i < text.size()) {
        if (text[i] == '}') {
            if (i + 1 < text.size() && text[i + 1] == '}') {
                i += 2;
                continue;
            }
            return i + 1;
        }
        ++i;
    }
    return text.size();
}

}  // namespace

std::string scrub_password(std::string_view text) {
    std::string out(text);
    for (std::string_view key : {std::string_view{"PWD="}, std::string_view{"pwd="}, std::string_view{"Pwd="}}) {
        std::size_t pos = 0;
        while ((pos = out.find(key, pos)) != std::string::npos) {
            const std::size_t start = pos + key.size();
            std::size_t end;
            if (start < out.size() && out[start] == '{') {
                end = braced_value_end(out, start);
            } else {
                end = out.find(';', start);
                if (end == std::string::npos) end = out.size();
            }
            out.replace(start, end - start, "***");
            pos = start + 3;
        }
    }
    return out;
}

std::string truncate_for_msg(std::string_view text) {
    std::size_t chars = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
            if (chars == 32) return std::string(text.substr(0, i)) + "\u2026";
            ++chars;
        }
    }
    return std::string(text);
}

std::string quote_for_msg(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out.push_back('"');
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\0': out += "\\0"; break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    char buf[12];
                    std::snprintf(buf, sizeof buf, "\\u{%x}", c);
                    out += buf;
                } else {
                    out.push_back(ch);
                }
        }
    }
    out.push_back('"');
    return out;
}

}  // namespace vantorel
