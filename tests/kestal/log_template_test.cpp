// The template expansion rule, checked directly on the expander.
#include "log_template.hpp"

#include <gtest/gtest.h>

#include <string>

namespace kestal::log {
namespace {

// Distinct values per key, so an output shows which key expanded where.
const char *const kValues[kKeyCount] = {
    "local5", "info", "Dec 08 10:00:00.007", "host", "prog", "42", "hello", "file.c", "17",
    "fn",     "web01"};

std::string expand(const std::string &tmpl, const char *const (&values)[kKeyCount] = kValues) {
    char out[kLineSize];
    expand_template(tmpl.c_str(), values, out);
    return out;
}

struct ExpansionCase {
    const char *tmpl;
    const char *expected;
};

void PrintTo(const ExpansionCase &c, std::ostream *os) {
    *os << '"' << c.tmpl << '"';
}

class TemplateExpansion : public testing::TestWithParam<ExpansionCase> {};

TEST_P(TemplateExpansion, ExpandsAsTheRuleSays) {
    EXPECT_EQ(expand(GetParam().tmpl), GetParam().expected) << "template: " << GetParam().tmpl;
}

INSTANTIATE_TEST_SUITE_P(
    Keys, TemplateExpansion,
    testing::Values(ExpansionCase{"%msg%", "hello"}, ExpansionCase{"", ""},
                    ExpansionCase{
                        "%faci% %lvl% %time% %host% %prog% %pid% %msg% %file% %line% %func% %cont%",
                        "local5 info Dec 08 10:00:00.007 host prog 42 hello file.c 17 fn web01"},
                    // Every key is found whatever the order, once something stands between keys.
                    ExpansionCase{"[%cont%][%msg%][%faci%]", "[web01][hello][local5]"},
                    ExpansionCase{"x%msg%", "xhello"}, ExpansionCase{"%msg%x", "hellox"},
                    ExpansionCase{"%", "%"}, ExpansionCase{"%%", "%%"},
                    ExpansionCase{"%unknown% %msg", "%unknown% %msg"},
                    ExpansionCase{"%MSG%", "%MSG%"}, ExpansionCase{"%ms%g%", "%ms%g%"},
                    ExpansionCase{"100% %msg%", "100% hello"}));

// Keys written back to back: within one pass keys are tried in table order, so a key only
// expands directly after a key of lower index.
INSTANTIATE_TEST_SUITE_P(
    BackToBack, TemplateExpansion,
    testing::Values(
        ExpansionCase{"%pid%%msg%", "42hello"}, ExpansionCase{"%msg%%pid%", "hello%pid%"},
        ExpansionCase{"%msg%%pid%%msg%", "hello%pid%hello"},
        ExpansionCase{"%faci%%msg%", "local5hello"}, ExpansionCase{"%msg%%faci%", "hello%faci%"},
        ExpansionCase{"%msg%%msg%", "hello%msg%"},
        ExpansionCase{"%faci%%lvl%%time%%host%%prog%%pid%%msg%%file%%line%%func%%cont%",
                      "local5infoDec 08 10:00:00.007hostprog42hellofile.c17fnweb01"},
        ExpansionCase{"%cont%%faci%", "web01%faci%"}, ExpansionCase{"%msg% %pid%", "hello 42"}));

TEST(TemplateExpansion, LineIsCutAt1023Characters) {
    const std::string long_message(1023, 'm');
    const char *values[kKeyCount] = {};
    for (const char *&value : values) {
        value = "";
    }
    values[kKeyMessage] = long_message.c_str();
    // The plain character after the full message no longer fits and is dropped.
    EXPECT_EQ(expand("%msg%!", values), long_message);
    // A value that would run past the end is cut where the line is full.
    EXPECT_EQ(expand("ab%msg%", values), "ab" + long_message.substr(0, 1021));
    // Nothing of the template after a full line is examined.
    EXPECT_EQ(expand("%msg%%msg%%pid%", values), long_message);
}

TEST(TemplateExpansion, EmptyValuesExpandToNothing) {
    const char *values[kKeyCount] = {};
    for (const char *&value : values) {
        value = "";
    }
    EXPECT_EQ(expand("%lvl%: %msg% (%file%:%line% %func%)", values), ":  (: )");
}

}  // namespace
}  // namespace kestal::log
