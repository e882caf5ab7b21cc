// The -p argument: facility.level by name or number, or a level alone under LOG_LOCAL5.
#include "priority_code.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

using zor_logger::parse_priority;
using Status = zor_logger::PriorityCode::Status;

struct PriorityCase {
    const char *arg;
    Status status;
    int priority;          // when the status is kOk
    const char *bad_part;  // otherwise
};

void PrintTo(const PriorityCase &c, std::ostream *os) {
    *os << '"' << c.arg << '"';
}

class ParsePriority : public testing::TestWithParam<PriorityCase> {};

TEST_P(ParsePriority, GivesThePriorityOrTheUnknownPart) {
    std::string arg = GetParam().arg;
    const zor_logger::PriorityCode code = parse_priority(arg.data());
    ASSERT_EQ(code.status, GetParam().status);
    if (code.status == Status::kOk) {
        EXPECT_EQ(code.priority, GetParam().priority);
    } else {
        ASSERT_NE(code.bad_part, nullptr);
        EXPECT_STREQ(code.bad_part, GetParam().bad_part);
    }
}

INSTANTIATE_TEST_SUITE_P(Names, ParsePriority,
                         testing::Values(PriorityCase{"user.info", Status::kOk, 14, nullptr},
                                         PriorityCase{"USER.INFO", Status::kOk, 14, nullptr},
                                         PriorityCase{"Local3.Warning", Status::kOk, 156, nullptr},
                                         PriorityCase{"local3.none", Status::kOk, 152, nullptr},
                                         PriorityCase{"security.err", Status::kOk, 35, nullptr},
                                         PriorityCase{"kern.info", Status::kOk, 6, nullptr},
                                         PriorityCase{"mark.debug", Status::kOk, 199, nullptr},
                                         PriorityCase{"info", Status::kOk, 174, nullptr},
                                         PriorityCase{"panic", Status::kOk, 168, nullptr},
                                         PriorityCase{"none", Status::kOk, 168, nullptr}));

INSTANTIATE_TEST_SUITE_P(
    Numbers, ParsePriority,
    testing::Values(PriorityCase{"16.3", Status::kOk, 19, nullptr},
                    PriorityCase{"13", Status::kOk, 173, nullptr},
                    PriorityCase{"3.6", Status::kOk, 6, nullptr},
                    PriorityCase{"168.7", Status::kOk, 175, nullptr},
                    PriorityCase{"8.err", Status::kOk, 11, nullptr},
                    PriorityCase{"user.13", Status::kOk, 13, nullptr},
                    PriorityCase{"0", Status::kOk, 168, nullptr},
                    // Reading stops at the first non-digit; only the facility bits count.
                    PriorityCase{"17x.2y", Status::kOk, 18, nullptr},
                    PriorityCase{"1023.7", Status::kOk, 1023, nullptr},
                    PriorityCase{"99999999999999999999.1", Status::kOk, 1017, nullptr}));

INSTANTIATE_TEST_SUITE_P(
    Unknown, ParsePriority,
    testing::Values(PriorityCase{"user", Status::kUnknownLevel, 0, "user"},
                    PriorityCase{".info", Status::kUnknownFacility, 0, ""},
                    PriorityCase{"user.", Status::kUnknownLevel, 0, ""},
                    PriorityCase{"", Status::kUnknownLevel, 0, ""},
                    PriorityCase{"nosuch.info", Status::kUnknownFacility, 0, "nosuch"},
                    // The facility part is checked first.
                    PriorityCase{"nosuch.nosuch", Status::kUnknownFacility, 0, "nosuch"},
                    PriorityCase{"user.loud", Status::kUnknownLevel, 0, "loud"},
                    // A first character that is not a digit makes the part a name.
                    PriorityCase{"-1", Status::kUnknownLevel, 0, "-1"},
                    PriorityCase{" 3", Status::kUnknownLevel, 0, " 3"},
                    PriorityCase{"+8.info", Status::kUnknownFacility, 0, "+8"},
                    PriorityCase{"user.info.x", Status::kUnknownLevel, 0, "info.x"}));

}  // namespace
