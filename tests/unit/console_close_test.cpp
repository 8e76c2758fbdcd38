// Closing the console window ends a Windows process as soon as its control
// handler returns: by then the run must have had its chance to end, and
// every port must be given back.
#include "platform/platform.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>
#include <windows.h>

namespace {

std::atomic<int> notices{0}, releases{0};

}  // namespace

TEST(ConsoleClose, PortsAreReleasedBeforeTheHandlerReturns)
{
    platform_interrupt_notice([] { ++releases; }, [] { ++notices; });
    std::thread run([] {
        while (notices == 0) Sleep(1);
        EXPECT_EQ(releases, 0);  // the run ends first, and writes its records
        platform_run_ended();
    });
    EXPECT_TRUE(platform_console_notice(CTRL_CLOSE_EVENT));
    EXPECT_EQ(notices, 1);
    EXPECT_EQ(releases, 1);
    run.join();
    // Ctrl-C leaves the run to end itself.
    EXPECT_TRUE(platform_console_notice(CTRL_C_EVENT));
    EXPECT_EQ(notices, 2);
    EXPECT_EQ(releases, 1);
}
