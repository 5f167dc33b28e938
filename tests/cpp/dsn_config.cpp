// Connection strings from credentials, driver choice, and the .env reader,
// without a database.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/dotenv.h"
#include "core/dsn.h"
#include "core/error.h"

namespace vantorel {
namespace {

CredentialsData four(std::string system, std::string user, std::string password) {
    CredentialsData data;
    data.system = std::move(system);
    data.user = std::move(user);
    data.password = SecretString(password);
    return data;
}

TEST(BuildDsn, PlainValuesAreWrittenAsGiven) {
    EXPECT_EQ(build_dsn(four("host.example", "QUSER", "s3cr=t!"), "IBM i Access ODBC Driver").expose(),
              "DRIVER=IBM i Access ODBC Driver;SYSTEM=host.example;UID=QUSER;PWD=s3cr=t!;");
    EXPECT_EQ(build_dsn(four("", "", ""), "{iSeries Access ODBC Driver}").expose(),
              "DRIVER={iSeries Access ODBC Driver};SYSTEM=;UID=;PWD=;");
    EXPECT_EQ(build_dsn(four("h", "u", "in ner"), "D").expose(), "DRIVER=D;SYSTEM=h;UID=u;PWD=in ner;");
}

TEST(BuildDsn, BracesValuesThatWouldBreakTheString) {
    struct Case {
        const char* value;
        const char* written;
    };
    const Case cases[] = {
        {"a;b", "{a;b}"},
        {"a;UID=other", "{a;UID=other}"},
        {"x}y", "{x}}y}"},
        {"}}", "{}}}}}"},
        {"{abc}", "{{abc}}}"},
        {"{", "{{}"},
        {" lead", "{ lead}"},
        {"trail\t", "{trail\t}"},
        {"p;w}d", "{p;w}}d}"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(build_dsn(four("h", "u", c.value), "D").expose(), std::string("DRIVER=D;SYSTEM=h;UID=u;PWD=") +
                                                                       c.written + ";")
            << "password " << c.value;
        EXPECT_EQ(build_dsn(four(c.value, c.value, "p"), "D").expose(),
                  std::string("DRIVER=D;SYSTEM=") + c.written + ";UID=" + c.written + ";PWD=p;")
            << "system/user " << c.value;
    }
}

TEST(BuildDsn, RawConnectionStringIsUsedVerbatim) {
    CredentialsData data;
    data.raw_dsn.emplace("  DSN=x; PORT=1 ;PWD=a;b ");
    data.driver = "ignored";
    EXPECT_EQ(build_dsn(data, "Other").expose(), "  DSN=x; PORT=1 ;PWD=a;b ");
    Result<SecretString> resolved = resolve_dsn(data);
    ASSERT_TRUE(resolved);
    EXPECT_EQ(resolved->expose(), "  DSN=x; PORT=1 ;PWD=a;b ");
}

TEST(ResolveDsn, NamedDriverNeedsNoDetection) {
    CredentialsData data = four("h", "u", "p");
    data.driver = "My Driver";
    Result<SecretString> resolved = resolve_dsn(data);
    ASSERT_TRUE(resolved);
    EXPECT_EQ(resolved->expose(), "DRIVER=My Driver;SYSTEM=h;UID=u;PWD=p;");
}

// Whatever the password holds, masking the built string hides all of it.
TEST(ScrubPassword, HidesEveryPasswordThatBuildDsnWrites) {
    const char* passwords[] = {"plain", "a;b", "x}y;z", "}}", "{", "a;PWD=b;", " sp ", "}", "semi;}{brace"};
    for (const char* password : passwords) {
        const SecretString dsn = build_dsn(four("h", "u", password), "D");
        EXPECT_EQ(scrub_password(dsn.expose()), "DRIVER=D;SYSTEM=h;UID=u;PWD=***;") << "password " << password;
        const std::string message = "no se pudo conectar: " + std::string(dsn.expose()) + " fallo";
        EXPECT_EQ(scrub_password(message), "no se pudo conectar: DRIVER=D;SYSTEM=h;UID=u;PWD=***; fallo");
    }
}

TEST(ScrubPassword, MasksBracedValuesWhole) {
    struct Case {
        const char* input;
        const char* expected;
    };
    const Case cases[] = {
        {"PWD={a;b};UID=u", "PWD=***;UID=u"},
        {"PWD={a}}b};X=1", "PWD=***;X=1"},
        {"PWD={}}};", "PWD=***;"},
        {"PWD={}};X=1}", "PWD=***"},
        {"pwd={x;y}", "pwd=***"},
        {"Pwd={};UID=u", "Pwd=***;UID=u"},
        {"PWD={a;b};PWD={c;d}", "PWD=***;PWD=***"},
        {"PWD={never closed;UID=u;", "PWD=***"},
        {"UID={u;v};PWD=x", "UID={u;v};PWD=***"},
    };
    for (const Case& c : cases) EXPECT_EQ(scrub_password(c.input), c.expected) << "input: " << c.input;
}

TEST(ChooseDriver, PrefersKnownNamesInOrderAndReturnsTheKnownSpelling) {
    struct Case {
        std::vector<std::string> installed;
        const char* chosen;
    };
    const Case cases[] = {
        {{"PostgreSQL Unicode", "ibm I access odbc driver"}, "IBM i Access ODBC Driver"},
        {{"iSeries Access ODBC Driver", "IBM i Access ODBC Driver"}, "IBM i Access ODBC Driver"},
        {{"ISERIES ACCESS ODBC DRIVER"}, "iSeries Access ODBC Driver"},
        {{"client access odbc driver (32-BIT)", "iseries access odbc driver"}, "iSeries Access ODBC Driver"},
        {{"Client Access ODBC Driver (32-bit)"}, "Client Access ODBC Driver (32-bit)"},
        // No trimming, no partial matches, no folding beyond ASCII letters.
        {{"IBM i Access ODBC Driver ", " IBM i Access ODBC Driver", "IBM i Access ODBC"}, "{iSeries Access ODBC Driver}"},
        {{"IBM \xC4\xB0 Access ODBC Driver"}, "{iSeries Access ODBC Driver}"},
        {{}, "{iSeries Access ODBC Driver}"},
    };
    for (const Case& c : cases) EXPECT_EQ(choose_driver(c.installed), c.chosen);
}

using Pairs = std::vector<std::pair<std::string, std::string>>;

TEST(ParseDotenv, ReadsTheSupportedForms) {
    const std::string text =
        "# comment\n"
        "\n"
        "PLAIN=value\n"
        "  SPACED  =   padded value   \n"
        "export EXPORTED=1\n"
        "exported_name=2\n"
        "EMPTY=\n"
        "COMMENTED=abc # trailing comment\n"
        "HASH=abc#def\n"
        "SINGLE='lit $X \\n \"q\"'  # after\n"
        "DOUBLE=\"a\\nb\\tc\\\"d\\\\e\\r\\qf\"\n"
        "QUOTED_HASH=\"x # y\"\n"
        "CRLF=yes\r\n"
        "dotted.name=ok\n"
        "EQ=a=b=c";
    const DotenvContents contents = parse_dotenv(text);
    EXPECT_TRUE(contents.complete);
    const Pairs expected = {
        {"PLAIN", "value"},
        {"SPACED", "padded value"},
        {"EXPORTED", "1"},
        {"exported_name", "2"},
        {"EMPTY", ""},
        {"COMMENTED", "abc"},
        {"HASH", "abc#def"},
        {"SINGLE", "lit $X \\n \"q\""},
        {"DOUBLE", "a\nb\tc\"d\\e\r\\qf"},
        {"QUOTED_HASH", "x # y"},
        {"CRLF", "yes"},
        {"dotted.name", "ok"},
        {"EQ", "a=b=c"},
    };
    EXPECT_EQ(contents.assignments, expected);
}

TEST(ParseDotenv, StopsAtTheFirstBadLine) {
    const char* bad_lines[] = {
        "no equals sign",
        "=value",
        "BAD NAME=1",
        "NAME-X=1",
        "OPEN='not closed",
        "OPEN=\"not closed",
        "AFTER='x' junk",
        "AFTER=\"x\"junk",
        "BYTES=\xFF\xFE",
        "exportNAME",
    };
    for (const char* bad : bad_lines) {
        const DotenvContents contents = parse_dotenv(std::string("A=1\nB=2\n") + bad + "\nC=3\n");
        EXPECT_FALSE(contents.complete) << bad;
        EXPECT_EQ(contents.assignments, (Pairs{{"A", "1"}, {"B", "2"}})) << bad;
    }
    const DotenvContents with_nul = parse_dotenv(std::string("A=1\nB=x\0y\n", 10));
    EXPECT_FALSE(with_nul.complete);
    EXPECT_EQ(with_nul.assignments, (Pairs{{"A", "1"}}));
}

}  // namespace
}  // namespace vantorel
