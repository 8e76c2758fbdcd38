// The relay's frames as a peer may send them: whole, in pieces, or not as
// any program of ours sends them.
#include "serial/relay/relay_frames.h"

#include <gtest/gtest.h>
#include <string>

namespace {

std::string frame(char type, const std::string& payload)
{
    return std::string(1, type) + static_cast<char>(payload.size() >> 8) +
           static_cast<char>(payload.size() & 0xFF) + payload;
}

// Feeds `bytes` `piece` at a time: the last result, and the frame.
relay_take_result take(const std::string& bytes, size_t piece, relay_reader* r)
{
    relay_take_result last = RELAY_MORE;
    for (size_t at = 0; at < bytes.size() && last == RELAY_MORE;) {
        size_t used = 0;
        size_t n = bytes.size() - at < piece ? bytes.size() - at : piece;
        last = relay_take(r, reinterpret_cast<const uint8_t*>(bytes.data()) + at, n, &used);
        at += used;
    }
    return last;
}

}  // namespace

TEST(RelayFrames, HellosWelcomesAndInUseInAnyPieces)
{
    struct Case {
        std::string bytes;
        bool hello;                // parses as a hello...
        std::string name;          // ...of this program (or, in use, the one using the port)
        bool welcome;              // parses as a welcome
        bool in_use = false;       // parses as an in-use frame
    } cases[] = {
        {frame('H', "4242 flashtag"), true, "flashtag", false},
        {frame('H', "4242 "), false, "", false},          // no name
        {frame('H', "x42 flashtag"), false, "", false},   // no process ID
        {frame('H', "42 flash\x1b[2Jtag"), false, "", false},
        {frame('H', "1234567890 flashtag"), false, "", false},
        {frame('W', "4242"), false, "", true},
        {frame('W', ""), false, "", false},
        {frame('W', "42 "), false, "", false},
        {frame('U', "17 4242 flashtag"), false, "flashtag", false, true},
        {frame('U', "17 flashtag"), false, "", false, false},    // no user's process ID
        {frame('U', "17 4242 "), false, "", false, false},       // no name
        {frame('U', "x 4242 flashtag"), false, "", false, false},
    };
    for (const Case& c : cases) {
        for (size_t piece : {size_t{1}, size_t{2}, c.bytes.size()}) {
            relay_reader r{};
            ASSERT_EQ(take(c.bytes, piece, &r), RELAY_FRAME_READY) << c.bytes;
            unsigned long pid = 0;
            char name[RELAY_NAME_SIZE] = "";
            EXPECT_EQ(relay_parse_hello(r.frame, &pid, name), c.hello) << c.bytes;
            if (c.hello) {
                EXPECT_EQ(name, c.name);
            }
            EXPECT_EQ(relay_parse_welcome(r.frame, &pid), c.welcome) << c.bytes;
            unsigned long tagterm_pid = 0;
            char user[RELAY_NAME_SIZE] = "";
            EXPECT_EQ(relay_parse_in_use(r.frame, &tagterm_pid, &pid, user), c.in_use) << c.bytes;
            if (c.in_use) {
                EXPECT_EQ(tagterm_pid, 17u);
                EXPECT_EQ(pid, 4242u);
                EXPECT_EQ(user, c.name);
            }
        }
    }
}

TEST(RelayFrames, WhatNoProgramOfOursSendsIsRefusedForGood)
{
    for (const std::string& bad : {std::string("X\0\1z", 4), std::string("D\2\1", 3),
                                   std::string("\0\0\0", 3)}) {
        relay_reader r{};
        EXPECT_EQ(take(bad + frame('D', "ok"), 64, &r), RELAY_BROKEN) << bad;
        size_t used = 1;
        EXPECT_EQ(relay_take(&r, reinterpret_cast<const uint8_t*>("D"), 1, &used), RELAY_BROKEN);
        EXPECT_EQ(used, 0u);
    }
}
