// Windows: the pauses. 20 ms must stay 20 ms, not the 31 ms the system's
// default 15.6 ms tick makes of it: a high-resolution waitable timer where
// the system has one, else Sleep after timeBeginPeriod(1).
#include "platform.h"

#include <windows.h>
#include <timeapi.h>

namespace {

// Windows 10 1803 and later have waitable timers that keep to their due
// time instead of the system tick (15.6 ms by default). Older MinGW headers
// do not name the flag.
#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

HANDLE high_resolution_timer()
{
    return CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                  TIMER_ALL_ACCESS);
}

// Whether this system has them (older ones, and Wine, refuse the flag).
bool has_high_resolution_timer()
{
    static const bool has = [] {
        HANDLE timer = high_resolution_timer();
        if (timer != nullptr) CloseHandle(timer);
        return timer != nullptr;
    }();
    return has;
}

// Windows 11 ignores a hidden or minimised process's timer resolution
// request unless the process asks it not to. SetProcessInformation is
// looked up at run time: Windows 7 has none.
void keep_timer_resolution_when_hidden()
{
    using set_info = BOOL(WINAPI*)(HANDLE, PROCESS_INFORMATION_CLASS, LPVOID, DWORD);
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    auto set = kernel == nullptr ? nullptr
                                 : reinterpret_cast<set_info>(reinterpret_cast<void*>(
                                       GetProcAddress(kernel, "SetProcessInformation")));
    if (set == nullptr) return;
    PROCESS_POWER_THROTTLING_STATE state{};
    state.Version = PROCESS_POWER_THROTTLING_CURRENT_VERSION;
    state.ControlMask = PROCESS_POWER_THROTTLING_IGNORE_TIMER_RESOLUTION;
    state.StateMask = 0;  // throttling of the resolution off: honour the request
    (void)set(GetCurrentProcess(), ProcessPowerThrottling, &state, sizeof state);
}

}  // namespace

// A pause on a high-resolution timer where there is one: 20 ms, not the
// 31 ms the default tick makes of it. Else Sleep, fine after timeBeginPeriod.
void platform_sleep_ms(uint32_t ms)
{
    if (has_high_resolution_timer()) {
        HANDLE timer = high_resolution_timer();
        LARGE_INTEGER due{};
        due.QuadPart = -10000LL * ms;  // relative, in 100 ns units
        bool waited = timer != nullptr && SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE) &&
                      WaitForSingleObject(timer, INFINITE) == WAIT_OBJECT_0;
        if (timer != nullptr) CloseHandle(timer);
        if (waited) return;
    }
    Sleep(ms);
}

void platform_fine_timer(bool on)
{
    if (on) keep_timer_resolution_when_hidden();
    // The pauses keep their time on a high-resolution timer by themselves.
    if (has_high_resolution_timer()) return;
    if (on) {
        timeBeginPeriod(1);
    } else {
        timeEndPeriod(1);
    }
}
