// The public header's termination section as C sees it.
#include "header_state_check.h"

#include <gtest/gtest.h>

#include <ctime>

namespace {

TEST(TerminationHeader, ChannelMembersComeInTheirOrder) {
    EXPECT_EQ(kestal_channel_member_order(), 1);
}

// header_private_names_check.c, compiled into this program, shows that without the request
// an application may use the state's short names for its own.
TEST(TerminationHeader, CReachesTheSameStateAndTable) {
    EXPECT_EQ(kestal_state_from_c(), CLOCK_PROCESS_CPUTIME_ID);
    EXPECT_STREQ(kestal_channel_name_from_c(0), "pipe");
    EXPECT_STREQ(kestal_channel_name_from_c(1), "sem");
}

}  // namespace
