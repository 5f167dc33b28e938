// UTF-8 <-> UTF-16 for the wide ODBC entry points. Decoding never fails:
// unpaired surrogates become U+FFFD.
#pragma once

#include <string>
#include <string_view>

namespace vantorel::odbc {

// Invalid UTF-8 input becomes U+FFFD.
std::u16string to_utf16(std::string_view utf8);
std::string from_utf16_lossy(std::u16string_view units);
void append_utf8(std::string& out, std::u16string_view units);
// Invalid sequences become U+FFFD.
std::string utf8_lossy(std::string_view bytes);

}  // namespace vantorel::odbc
