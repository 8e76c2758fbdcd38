// Reply prefixes: "[n] " in front of a reply goes, everything else stays.
#include "tag/tag.h"

#include <cstring>
#include <gtest/gtest.h>

namespace {

std::string stripped(const char* text)
{
    char buf[TAG_SHORT_REPLY];
    snprintf(buf, sizeof buf, "%s", text);
    strip_reply_prefix(buf);
    return buf;
}

}  // namespace

TEST(ReplyPrefix, RemovesBracketAndFollowingSpaceKeepsTrailingCr)
{
    EXPECT_EQ(stripped("  [3] V5.1.0\r"), "V5.1.0\r");
    EXPECT_EQ(stripped("[12]\t \r\n7\r"), "7\r");
    EXPECT_EQ(stripped("[]OK"), "OK");
    EXPECT_EQ(stripped("[a] [b] x"), "[b] x");  // only the first prefix
    EXPECT_EQ(stripped("[3]"), "");
}

TEST(ReplyPrefix, LeavesOtherTextUnchanged)
{
    EXPECT_EQ(stripped("  [3 V5.1.0\r"), "  [3 V5.1.0\r");  // never closed
    EXPECT_EQ(stripped("  V5.1.0 [3]\r"), "  V5.1.0 [3]\r");  // not at the front
    EXPECT_EQ(stripped(""), "");
    EXPECT_EQ(stripped("OK\r"), "OK\r");
}
