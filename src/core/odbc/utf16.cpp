// Both directions are short loops written here rather than taken from a
// Unicode library: the rules needed are exactly "replace what is invalid
// with U+FFFD", and the wide entry points want plain char16_t units.
#include "core/odbc/utf16.h"

#include <cstdint>

namespace vantorel::odbc {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool is_continuation(unsigned char b) noexcept { return (b & 0xC0) == 0x80; }

// Decodes the sequence starting at text[i] and advances i past it. An
// ill-formed sequence yields one U+FFFD for its longest valid prefix (at
// least one byte), so the byte that broke it starts the next sequence.
char32_t next_code_point(std::string_view text, std::size_t& i) noexcept {
    const auto at = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = at(i);
    if (lead < 0x80) {
        ++i;
        return lead;
    }
    std::size_t length;
    char32_t cp;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        cp = lead & 0x0F;
        if (lead == 0xE0) lo = 0xA0;       // no overlong forms
        if (lead == 0xED) hi = 0x9F;       // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        cp = lead & 0x07;
        if (lead == 0xF0) lo = 0x90;       // no overlong forms
        if (lead == 0xF4) hi = 0x8F;       // nothing above U+10FFFF
    } else {
        ++i;
        return kReplacement;
    }
    std::size_t k = i + 1;
    for (std::size_t n = 1; n < length; ++n, ++k) {
        if (k >= text.size()) {
            i = k;
            return kReplacement;
        }
        const unsigned char b = at(k);
        const bool ok = n == 1 ? (b >= lo && b <= hi) : is_continuation(b);
        if (!ok) {
            i = k;
            return kReplacement;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    i = k;
    return cp;
}

void put_utf8(std::string& out, char32_t cp) {
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

bool is_high_surrogate(char16_t u) noexcept { return u >= 0xD800 && u <= 0xDBFF; }
bool is_low_surrogate(char16_t u) noexcept { return u >= 0xDC00 && u <= 0xDFFF; }

}  // namespace

std::u16string to_utf16(std::string_view utf8) {
    std::u16string out;
    // Every input byte yields at most one unit (four bytes give two), so this
    // one allocation is final: no reallocation leaves a stray copy of a
    // connection string behind in freed memory.
    out.reserve(utf8.size());
    std::size_t i = 0;
    while (i < utf8.size()) {
        const char32_t cp = next_code_point(utf8, i);
        if (cp < 0x10000) {
            out.push_back(static_cast<char16_t>(cp));
        } else {
            const char32_t v = cp - 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (v >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (v & 0x3FF)));
        }
    }
    return out;
}

void append_utf8(std::string& out, std::u16string_view units) {
    for (std::size_t i = 0; i < units.size(); ++i) {
        const char16_t u = units[i];
        if (u < 0x80) {
            out.push_back(static_cast<char>(u));
        } else if (is_high_surrogate(u)) {
            if (i + 1 < units.size() && is_low_surrogate(units[i + 1])) {
                const char32_t cp = 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) +
                                    (static_cast<char32_t>(units[i + 1]) - 0xDC00);
                put_utf8(out, cp);
                ++i;
            } else {
                put_utf8(out, kReplacement);
            }
        } else if (is_low_surrogate(u)) {
            put_utf8(out, kReplacement);
        } else {
            put_utf8(out, u);
        }
    }
}

std::string from_utf16_lossy(std::u16string_view units) {
    std::string out;
    out.reserve(units.size());
    append_utf8(out, units);
    return out;
}

std::string utf8_lossy(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    // A valid sequence re-encodes to its own bytes; an invalid one to U+FFFD.
    while (i < bytes.size()) put_utf8(out, next_code_point(bytes, i));
    return out;
}

}  // namespace vantorel::odbc
