// Text conversion, parameter text forms and SQL type families, without a database.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>

#include "core/bind.h"
#include "core/odbc/utf16.h"
#include "core/types.h"

namespace vantorel {
namespace {

using odbc::from_utf16_lossy;
using odbc::to_utf16;
using odbc::utf8_lossy;

TEST(Utf16Decoding, UnpairedSurrogatesBecomeReplacementCharacters) {
    const struct {
        std::u16string units;
        const char* utf8;
    } cases[] = {
        {u"plain", "plain"},
        {std::u16string{u'a', char16_t(0xD83D), u'b'}, "a\uFFFDb"},               // high alone
        {std::u16string{u'a', char16_t(0xDE00), u'b'}, "a\uFFFDb"},               // low alone
        {std::u16string{u'a', u'b', char16_t(0xD83D)}, "ab\uFFFD"},               // high at the end
        {std::u16string{char16_t(0xD83D), char16_t(0xDE00)}, "\U0001F600"},       // valid pair
        {std::u16string{char16_t(0xDE00), char16_t(0xD83D)}, "\uFFFD\uFFFD"},     // pair in the wrong order
        {std::u16string{char16_t(0xD83D), char16_t(0xD83D), char16_t(0xDE00)}, "\uFFFD\U0001F600"},
        {u"\u00E9\u20AC\uFFFF", "\u00E9\u20AC\uFFFF"},
    };
    for (const auto& c : cases) EXPECT_EQ(from_utf16_lossy(c.units), std::string(c.utf8));
    EXPECT_EQ(from_utf16_lossy(std::u16string_view(u"\0x", 2)), std::string("\0x", 2));
}

TEST(Utf16Encoding, InvalidUtf8BecomesReplacementCharacters) {
    const struct {
        std::string utf8;
        std::u16string units;
    } cases[] = {
        {"abc", u"abc"},
        {"\u00E9\u20AC", u"\u00E9\u20AC"},
        {"\U0001F600", std::u16string{char16_t(0xD83D), char16_t(0xDE00)}},
        {"a\xFF" "b", u"a\uFFFDb"},
        {"\xC3", u"\uFFFD"},                         // truncated two-byte sequence
        {"\xE2\x82" "x", u"\uFFFDx"},                // truncated three-byte sequence keeps the next byte
        {"\xC0\xAF", u"\uFFFD\uFFFD"},               // overlong
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},     // an encoded surrogate
        {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
        {std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(to_utf16(c.utf8), c.units);
        // The lossy UTF-8 repair agrees with the UTF-16 encoder.
        EXPECT_EQ(to_utf16(utf8_lossy(c.utf8)), c.units);
    }
}

std::optional<std::string> text_of(ParamValue value) { return param_value_to_text(&value); }

TEST(ParamValueToText, RendersEveryVariant) {
    const struct {
        ParamValue value;
        std::optional<std::string> text;
    } cases[] = {
        {std::monostate{}, std::nullopt},
        {std::u16string(u"d\u00EDa \U0001F600"), "d\u00EDa \U0001F600"},
        {std::int64_t{-42}, "-42"},
        {std::int64_t{0}, "0"},
        {std::numeric_limits<std::int64_t>::min(), "-9223372036854775808"},
        {2.5, "2.5"},
        {1.0, "1"},
        {0.1, "0.1"},
        {-123.456, "-123.456"},
        {1e21, "1" + std::string(21, '0')},
        {1.5e-7, "0.00000015"},
        {0.0, "0"},
        {-0.0, "-0"},
        {std::numeric_limits<double>::quiet_NaN(), "NaN"},
        {std::numeric_limits<double>::infinity(), "inf"},
        {-std::numeric_limits<double>::infinity(), "-inf"},
        {5e-324, "0." + std::string(323, '0') + "5"},
        {1.7976931348623157e308, "17976931348623157" + std::string(292, '0')},
        {123456789012345680.0, "123456789012345680"},
        {Bytes{'o', 'k'}, "ok"},
        {Bytes{'a', 0xFF, 'b'}, "a\uFFFDb"},
        {Bytes{}, ""},
    };
    for (const auto& c : cases) EXPECT_EQ(text_of(c.value), c.text);
    EXPECT_EQ(param_value_to_text(nullptr), std::nullopt);
}

TEST(ParamValueToText, FloatTextReadsBackAsTheSameDouble) {
    for (double v : {0.1, 1.0 / 3.0, 2.0 / 3.0 * 1e-5, 6.02214076e23, 9007199254740993.0, 4.9406564584124654e-324}) {
        const std::string text = *text_of(v);
        EXPECT_EQ(text.find('e'), std::string::npos) << text;
        EXPECT_EQ(std::strtod(text.c_str(), nullptr), v) << text;
    }
}

TEST(SqlTypeFamilies, EveryCodeMapsToItsFamily) {
    using F = SqlTypeFamily;
    const struct {
        std::int16_t code;
        F family;
    } cases[] = {
        {2, F::Decimal},    {3, F::Decimal},   {4, F::Integer},  {5, F::Integer},   {-5, F::Integer},
        {-6, F::Integer},   {6, F::Float},     {7, F::Float},    {8, F::Float},     {-7, F::Bit},
        {91, F::Date},      {92, F::Time},     {93, F::Timestamp},
        {-1, F::Clob},      {-99, F::Clob},    {31, F::Clob},    {32, F::Clob},
        {-2, F::Binary},    {-3, F::Binary},   {-4, F::Binary},  {30, F::Binary},
        {1, F::Text},       {12, F::Text},     {-8, F::Text},    {-9, F::Text},     {-10, F::Text},
        {9, F::Text},       {10, F::Text},     {11, F::Text},    {-98, F::Text},    {0, F::Text},
        {-11, F::Text},     {99, F::Text},
    };
    for (const auto& c : cases) EXPECT_EQ(classify_sql_type(c.code), c.family) << "code " << c.code;
}

TEST(SqlTypeFamilies, NamesPrintExactly) {
    using F = SqlTypeFamily;
    const struct {
        F family;
        const char* name;
    } cases[] = {
        {F::Decimal, "Decimal"}, {F::Integer, "Integer"},     {F::Float, "Float"}, {F::Bit, "Bit"},
        {F::Date, "Date"},       {F::Time, "Time"},           {F::Timestamp, "Timestamp"},
        {F::Clob, "Clob"},       {F::Binary, "Binary"},       {F::Text, "Text"},
    };
    for (const auto& c : cases) EXPECT_EQ(family_name(c.family), c.name);
}

}  // namespace
}  // namespace vantorel
