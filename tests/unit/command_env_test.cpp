// What a command run through cmd gets in its environment: text a device
// sent (a tag's reply in TAGFLEET_REASON) must not be able to end the
// command and start another when cmd reads %TAGFLEET_REASON% again.
#include "platform/platform.h"

#include <gtest/gtest.h>

TEST(CommandEnvironment, ValuesCmdCannotBreakOutOf)
{
    struct Case {
        const char* entry;
        const char* safe;
    } cases[] = {
        {"TAGFLEET_REASON=answered \"\" & echo X>p & \"\" after the metadata record",
         "TAGFLEET_REASON=answered '' _ echo X_p _ '' after the metadata record"},
        {"TAGFLEET_REASON=a|b^c<d %PATH% !PATH! (e)", "TAGFLEET_REASON=a_b_c_d _PATH_ _PATH_ _e_"},
        {"TAGFLEET_REASON=one\r\ntwo\tthree", "TAGFLEET_REASON=one__two_three"},
        {"TAGFLEET_REASON=x=1, y=2; caf\xe9", "TAGFLEET_REASON=x=1, y=2; caf\xe9"},
        {"TAGFLEET_SLOT=A1", "TAGFLEET_SLOT=A1"},
        {"TAGFLEET_NODE_ID=", "TAGFLEET_NODE_ID="},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.entry);
        char safe[128];
        platform_command_safe_entry(c.entry, safe, sizeof safe);
        EXPECT_STREQ(safe, c.safe);
    }
    char cut[8];
    platform_command_safe_entry("NAME=\"&&&&&&", cut, sizeof cut);
    EXPECT_STREQ(cut, "NAME='_");
}
