// The runtime's verb table: every tool's words find the entry they should, and the manual page
// has an entry for every verb and every option the table holds. No root needed.
#include "refusal.hpp"
#include "verb_table.hpp"
#include "zor_contract.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Words = std::vector<std::string>;

struct Dispatch {
    unsigned tool;
    Words words;
    const char *verb;                // the chosen entry's verb
    std::size_t options_from;        // tells the chosen entry from the verb's others
    std::vector<std::string> takes;  // option words the entry accepts (some of them)
};

TEST(RuntimeVerbTable, WordsChooseTheirEntry) {
    const std::vector<Dispatch> cases{
        {zor::kSystemTool, {"create", "-n", "a"}, "create", 1, {"-m", "-f"}},
        {zor::kApplicationTool, {"create", "-n", "a"}, "create", 1, {"-p"}},
        {zor::kSystemTool, {"create", "-g", "a"}, "create", 1, {"-g", "-c"}},
        {zor::kApplicationTool, {"destroy", "-c", "a"}, "destroy", 1, {"-g", "-c"}},
        {zor::kSystemTool, {"list", "--checkpoint", "-n", "a"}, "list", 1, {"--checkpoint"}},
        {zor::kSystemTool, {"limit", "--cpu", "5", "-n", "a"}, "limit", 3, {"-a"}},
        {zor::kApplicationTool, {"usage", "--mem", "-n", "a"}, "usage", 2, {"-g"}},
        {zor::kSystemTool, {"migrate", "-n", "a"}, "migrate", 1, {"-d", "-p"}},
        {zor::kTargetTool, {"-n", "a", "-p", "1"}, "", 0, {"-n", "-p"}},
    };
    for (const Dispatch &c : cases) {
        const zor::VerbEntry &entry = zor::entry_for(c.tool, c.words);
        EXPECT_EQ(entry.verb, std::string(c.verb)) << c.words[0];
        EXPECT_EQ(entry.options_from, c.options_from) << c.words[0];
        for (const std::string &option : c.takes) {
            bool found = false;
            for (const zor::OptionWord &word : entry.options) {
                found = found || option == word.word;
            }
            EXPECT_TRUE(found) << c.words[0] << " " << c.words[1] << " takes " << option;
        }
    }
}

TEST(RuntimeVerbTable, VerbsOfAnotherToolAreUnknown) {
    const std::vector<std::pair<unsigned, Words>> refused{
        {zor::kApplicationTool, {"migrate", "-n", "a"}},
        {zor::kApplicationTool, {"checkpoint", "-n", "a", "-t", "t"}},
        {zor::kApplicationTool, {"share", "-n", "a"}},
        {zor::kSystemTool, {"register", "-n", "a", "-pid", "1"}},
        {zor::kSystemTool, {"pidlist", "-n", "a"}},
        {zor::kSystemTool, {"frobnicate"}},
    };
    for (const auto &[tool, words] : refused) {
        try {
            zor::entry_for(tool, words);
            ADD_FAILURE() << words[0] << " was taken";
        } catch (const zor::Refusal &refusal) {
            EXPECT_EQ(refusal.status(), zor::kUsage);
            EXPECT_EQ(std::string(refusal.what()), "unknown verb '" + words[0] + "'");
        }
    }
    try {
        zor::entry_for(zor::kApplicationTool, {});
        ADD_FAILURE() << "no verb was taken";
    } catch (const zor::Refusal &refusal) {
        EXPECT_EQ(refusal.status(), zor::kUsage);
        EXPECT_NE(std::string(refusal.what()).find(" pidlist"), std::string::npos);
        EXPECT_EQ(std::string(refusal.what()).find(" migrate"), std::string::npos);
    }
}

// The entries' tags: the line after each .TP or .TQ, with groff's \- as -.
std::vector<std::string> manual_tags() {
    std::ifstream in(ZOR_RUNTIME_MANUAL);
    std::vector<std::string> tags;
    bool tag = false;
    for (std::string line; std::getline(in, line);) {
        if (tag) {
            tags.push_back(std::regex_replace(line, std::regex(R"(\\-)"), "-"));
        }
        tag = line.rfind(".TP", 0) == 0 || line.rfind(".TQ", 0) == 0;
    }
    return tags;
}

bool tagged(const std::vector<std::string> &tags, const std::string &word, const char *after) {
    const std::regex pattern("(^|[^a-z-])" + std::regex_replace(word, std::regex("-"), "\\-") +
                             "(" + after + "|$)");
    for (const std::string &tag : tags) {
        if (std::regex_search(tag, pattern)) {
            return true;
        }
    }
    return false;
}

TEST(RuntimeVerbTable, ManualHasAnEntryForEveryVerbAndOption) {
    const std::vector<std::string> tags = manual_tags();
    ASSERT_GT(tags.size(), 20U) << ZOR_RUNTIME_MANUAL;
    std::set<std::string> verbs;
    std::set<std::string> options;
    for (const zor::VerbEntry &entry : zor::verb_table()) {
        if (entry.verb[0] != '\0') {
            verbs.insert(entry.verb);
        }
        for (const zor::OptionWord &option : entry.options) {
            options.insert(option.word);
        }
    }
    EXPECT_GE(verbs.size(), 25U);
    for (const std::string &verb : verbs) {
        EXPECT_TRUE(tagged(tags, verb, "[^a-z-]")) << "no entry for the verb " << verb;
    }
    for (const std::string &option : options) {
        EXPECT_TRUE(tagged(tags, option, "[^a-z]")) << "no entry shows the option " << option;
    }
}

}  // namespace
