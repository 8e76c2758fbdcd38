// A station's poll: whether the tag that answered is the one the slot holds.
#include "held_tag.h"

#include <gtest/gtest.h>

TEST(HeldTag, TheSameTagByItsNodeIdOrItsNewOneAnotherByAnyOther)
{
    struct poll {
        int held, sent, node;
        bool same;
    } polls[] = {
        {7, -1, 7, true},    // the node ID it had
        {7, -1, 8, false},   // another tag put in meanwhile
        {7, 12, 12, true},   // the ID of the pool it was sent, its answer to the set not heard
        {7, 12, 7, true},    // the set did not take
        {7, 12, 9, false},
        {-1, -1, 5, true},   // its node ID was not read when it came
        {7, -1, -1, true},   // this poll read none
    };
    for (const poll& p : polls) {
        EXPECT_EQ(is_held_tag(p.held, p.sent, p.node), p.same)
            << "held " << p.held << ", sent " << p.sent << ", answered " << p.node;
    }
}
