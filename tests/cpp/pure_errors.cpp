// Error texts, password masking and the SQLSTATE classes, without a database.
#include <gtest/gtest.h>

#include <string>

#include "core/error.h"

namespace vantorel {
namespace {

struct TextCase {
    const char* input;
    const char* expected;
};

TEST(ScrubPassword, MasksEveryPasswordValueAndNothingElse) {
    const TextCase cases[] = {
        {"DRIVER=x;SYSTEM=s;UID=u;PWD=secret;CCSID=1208", "DRIVER=x;SYSTEM=s;UID=u;PWD=***;CCSID=1208"},
        {"uid=u;pwd=lower;x=1", "uid=u;pwd=***;x=1"},
        {"Pwd=mixed", "Pwd=***"},
        {"UID=u;PWD=", "UID=u;PWD=***"},
        {"UID=u;PWD=at-the-end", "UID=u;PWD=***"},
        {"PWD=one;PWD=two;", "PWD=***;PWD=***;"},
        {"PWD=a;pwd=b", "PWD=***;pwd=***"},
        {"PASSWORD=visible;", "PASSWORD=visible;"},
        {"pWd=not-a-known-form", "pWd=not-a-known-form"},
        {"login failed, MYPWD=x y z", "login failed, MYPWD=***"},
        {"PWD={se;cr}}et};UID=u", "PWD=***;UID=u"},
        {"PWD={unclosed;UID=u", "PWD=***"},
        {"nothing to hide", "nothing to hide"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(scrub_password(c.input), c.expected) << "input: " << c.input;
}

TEST(TruncateForMsg, CountsCharactersNotBytes) {
    const std::string thirty_two(32, 'a');
    const std::string accented_32 = std::string(31, 'a') + "\xC3\xA9";  // 32 characters, 33 bytes
    const TextCase cases[] = {
        {"", ""},
        {"short", "short"},
        {thirty_two.c_str(), thirty_two.c_str()},
        {accented_32.c_str(), accented_32.c_str()},
    };
    for (const auto& c : cases) EXPECT_EQ(truncate_for_msg(c.input), c.expected);

    EXPECT_EQ(truncate_for_msg(thirty_two + "b"), thirty_two + "\u2026");
    EXPECT_EQ(truncate_for_msg(std::string(40, 'x')), std::string(32, 'x') + "\u2026");
    // The cut never splits a multi-byte character.
    const std::string euros = [] {
        std::string s;
        for (int i = 0; i < 33; ++i) s += "\u20AC";
        return s;
    }();
    std::string expected;
    for (int i = 0; i < 32; ++i) expected += "\u20AC";
    EXPECT_EQ(truncate_for_msg(euros), expected + "\u2026");
}

TEST(ClassifySqlstate, PicksTheExceptionClassByPrefix) {
    const struct {
        const char* sqlstate;
        QueryClass expected;
    } cases[] = {
        {"42S02", QueryClass::SqlSyntax},  {"42601", QueryClass::SqlSyntax},
        {"23505", QueryClass::Integrity},  {"22001", QueryClass::Data},
        {"22012", QueryClass::Data},       {"HYT00", QueryClass::OperationTimeout},
        {"HYT01", QueryClass::OperationTimeout}, {"HYT02", QueryClass::Query},
        {"HYT0", QueryClass::Query},       {"HY000", QueryClass::Query},
        {"08S01", QueryClass::Query},      {"40001", QueryClass::Query},
        {"4", QueryClass::Query},          {"hyt00", QueryClass::Query},
        {"", QueryClass::Query},
    };
    for (const auto& c : cases) EXPECT_EQ(classify_sqlstate(c.sqlstate), c.expected) << "sqlstate: " << c.sqlstate;
}

TEST(CoreErrorDisplay, EachKindHasItsPrefix) {
    const struct {
        CoreError error;
        const char* text;
    } cases[] = {
        {CoreError::config("falta X"), "configuracion invalida: falta X"},
        {CoreError::connect("sin red"), "no se pudo conectar: sin red"},
        {CoreError::pool_timeout(), "tiempo de espera agotado esperando una conexion del pool"},
        {CoreError::interface("mal uso"), "uso invalido de la interfaz: mal uso"},
        {CoreError::query("42P01", "no existe", {}, 1), "error de consulta [42P01]: no existe"},
        {CoreError::parameter("tipo"), "error de parametro: tipo"},
        {CoreError::data("fecha"), "error de datos: fecha"},
        {CoreError::catalog("sin clave"), "error de catalogo: sin clave"},
        {CoreError::feature_unavailable("x"), "feature no disponible en este build: x"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.error.display(), c.text);
}

TEST(CoreErrorFromDiagnostic, MasksTheMessageButKeepsTheRecord) {
    const CoreError e = CoreError::from_diagnostic({"08001", "auth failed for PWD=hunter2;UID=u", 7});
    EXPECT_EQ(e.kind(), ErrorKind::Query);
    EXPECT_EQ(e.sqlstate(), "08001");
    EXPECT_EQ(e.native_error(), 7);
    EXPECT_EQ(e.display(), "error de consulta [08001]: auth failed for PWD=***;UID=u");
    ASSERT_EQ(e.diagnostics().size(), 1u);
    EXPECT_EQ(e.diagnostics()[0].message, "auth failed for PWD=hunter2;UID=u");
}

}  // namespace
}  // namespace vantorel
