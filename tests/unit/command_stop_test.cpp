// A command run through the system's shell (tagfleet's --on-result) that its
// caller calls off is stopped at once, with what it started: Ctrl-C of a
// station does not wait for a command's own end.
#include "platform/platform.h"

#include <gtest/gtest.h>

namespace {

uint64_t called_off_at = 0;

bool called_off() { return platform_now_ms() >= called_off_at; }

}  // namespace

TEST(CommandStop, ACommandCalledOffIsStoppedAtOnce)
{
#ifdef _WIN32
    const char* endless = "for /l %i in (1,0,2) do rem";
#else
    const char* endless = "sleep 60";
#endif
    uint64_t start = platform_now_ms();
    called_off_at = start + 300;
    int status = -1;
    EXPECT_EQ(platform_run_command(endless, nullptr, 0, 60000, called_off, &status),
              PLATFORM_COMMAND_CALLED_OFF);
    uint64_t ms = platform_now_ms() - start;
    EXPECT_GE(ms, 300u);
    EXPECT_LT(ms, 3000u);  // 0.5 s at most; room for a loaded machine and Wine
    EXPECT_EQ(status, -1);
}
