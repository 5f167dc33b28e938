#include "core/envvars.h"

#include <cstdlib>
#include <limits>

namespace vantorel {

namespace {

// Decodes the code point at text[i] (valid UTF-8 assumed; a stray byte
// counts as itself) and its length in bytes.
std::pair<char32_t, std::size_t> decode_at(std::string_view text, std::size_t i) noexcept {
    const auto b0 = static_cast<unsigned char>(text[i]);
    auto cont = [&](std::size_t k) { return static_cast<char32_t>(static_cast<unsigned char>(text[i + k]) & 0x3F); };
    if (b0 < 0x80) return {b0, 1};
    if ((b0 & 0xE0) == 0xC0 && i + 1 < text.size()) return {((b0 & 0x1Fu) << 6) | cont(1), 2};
    if ((b0 & 0xF0) == 0xE0 && i + 2 < text.size()) return {((b0 & 0x0Fu) << 12) | (cont(1) << 6) | cont(2), 3};
    if ((b0 & 0xF8) == 0xF0 && i + 3 < text.size())
        return {((b0 & 0x07u) << 18) | (cont(1) << 12) | (cont(2) << 6) | cont(3), 4};
    return {b0, 1};
}

bool is_white_space(char32_t c) noexcept {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

// Length in bytes of the code point that ends at text[end - 1].
std::size_t last_length(std::string_view text, std::size_t end) noexcept {
    std::size_t start = end - 1;
    while (start > 0 && end - start < 4 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
    return end - start;
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) noexcept {
    std::size_t i = 0;
    const std::size_t n = bytes.size();
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(bytes[k]); };
    auto is_cont = [&](std::size_t k) { return k < n && (byte(k) & 0xC0) == 0x80; };
    while (i < n) {
        const unsigned char b0 = byte(i);
        if (b0 < 0x80) {
            ++i;
        } else if (b0 >= 0xC2 && b0 <= 0xDF) {
            if (!is_cont(i + 1)) return false;
            i += 2;
        } else if (b0 >= 0xE0 && b0 <= 0xEF) {
            if (!is_cont(i + 1) || !is_cont(i + 2)) return false;
            const unsigned char b1 = byte(i + 1);
            if (b0 == 0xE0 && b1 < 0xA0) return false;   // overlong
            if (b0 == 0xED && b1 >= 0xA0) return false;  // surrogate
            i += 3;
        } else if (b0 >= 0xF0 && b0 <= 0xF4) {
            if (!is_cont(i + 1) || !is_cont(i + 2) || !is_cont(i + 3)) return false;
            const unsigned char b1 = byte(i + 1);
            if (b0 == 0xF0 && b1 < 0x90) return false;  // overlong
            if (b0 == 0xF4 && b1 >= 0x90) return false;  // above U+10FFFF
            i += 4;
        } else {
            return false;
        }
    }
    return true;
}

std::string_view trim_white_space(std::string_view text) noexcept {
    std::size_t begin = 0;
    while (begin < text.size()) {
        auto [c, len] = decode_at(text, begin);
        if (!is_white_space(c)) break;
        begin += len;
    }
    std::size_t end = text.size();
    while (end > begin) {
        const std::size_t len = last_length(text, end);
        if (!is_white_space(decode_at(text, end - len).first)) break;
        end -= len;
    }
    return text.substr(begin, end - begin);
}

bool starts_or_ends_with_white_space(std::string_view text) noexcept {
    return !text.empty() && trim_white_space(text).size() != text.size();
}

std::optional<std::string> env_text(std::string_view name) {
    if (name.empty() || name.find('=') != std::string_view::npos || name.find('\0') != std::string_view::npos)
        return std::nullopt;
    const std::string key(name);
    const char* value = std::getenv(key.c_str());
    if (value == nullptr) return std::nullopt;
    std::string text(value);
    if (!is_valid_utf8(text)) return std::nullopt;
    return text;
}

std::optional<std::string> env_nonblank(std::string_view name) {
    std::optional<std::string> value = env_text(name);
    if (value && trim_white_space(*value).empty()) return std::nullopt;
    return value;
}

Result<std::uint64_t> parse_unsigned_setting(std::string_view name, std::string_view value) {
    const std::string_view text = trim_white_space(value);
    auto invalid = [&] {
        return std::unexpected(
            CoreError::config(std::string(name) + "=" + quote_for_msg(text) + " no es un entero valido"));
    };
    std::string_view digits = text;
    if (digits.starts_with('+')) digits.remove_prefix(1);
    if (digits.empty()) return invalid();
    std::uint64_t result = 0;
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    for (char ch : digits) {
        if (ch < '0' || ch > '9') return invalid();
        const auto digit = static_cast<std::uint64_t>(ch - '0');
        if (result > (kMax - digit) / 10) return invalid();
        result = result * 10 + digit;
    }
    return result;
}

Result<EngineOptions> engine_options_from_env() {
    EngineOptions options;
    struct Setting {
        std::string_view name;
        std::uint64_t EngineOptions::*field;
    };
    static constexpr Setting kSettings[] = {
        {"BATCH_SIZE", &EngineOptions::batch_size},
        {"MAX_WORKERS", &EngineOptions::max_workers},
        {"MIN_ROWS_PER_WORKER", &EngineOptions::min_rows_per_worker},
        {"MERGE_CHUNK_SIZE", &EngineOptions::merge_chunk_size},
        {"MERGE_MAX_WORKERS", &EngineOptions::merge_max_workers},
        {"VANTOREL_MAX_STATEMENT_UNITS", &EngineOptions::max_statement_units},
        {"VANTOREL_POOL_SIZE", &EngineOptions::pool_size},
    };
    for (const Setting& setting : kSettings) {
        const std::optional<std::string> value = env_nonblank(setting.name);
        if (!value) continue;
        Result<std::uint64_t> parsed = parse_unsigned_setting(setting.name, *value);
        if (!parsed) return std::unexpected(std::move(parsed.error()));
        options.*setting.field = *parsed;
    }
    return options;
}

}  // namespace vantorel
