// Windows: a command run for the program (tagfleet's --on-result) through
// the command interpreter, with the environment entries it is given made
// safe for it, stopped with all it started when it runs too long.
#include "platform.h"

#include <cstdlib>
#include <cstring>
#include <string>
// clang-format off
#include <windows.h>
#include <tlhelp32.h>
// clang-format on

void platform_command_safe_entry(const char* entry, char* out, size_t size)
{
    if (size == 0) return;
    size_t n = 0;
    bool value = false;
    for (const char* c = entry; *c != '\0' && n + 1 < size; ++c) {
        char safe = *c;
        bool control = static_cast<unsigned char>(*c) < 0x20;
        if (value && *c == '"') {
            safe = '\'';
        } else if (value && (control || strchr("&|<>^%!()", *c) != nullptr)) {
            safe = '_';
        }
        value = value || *c == '=';
        out[n++] = safe;
    }
    out[n] = '\0';
}

namespace {

// How often a running command's caller is asked whether it calls it off.
constexpr DWORD CALLED_OFF_STEP_MS = 50;

// Stops `process` and every process it started, and theirs, as far as they
// are still there: for a command that could not be put in a job.
void stop_tree(DWORD id, HANDLE process)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot != INVALID_HANDLE_VALUE) {
        PROCESSENTRY32 entry{};
        entry.dwSize = sizeof entry;
        for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
            if (entry.th32ParentProcessID != id || entry.th32ProcessID == id) continue;
            HANDLE child = OpenProcess(PROCESS_TERMINATE, FALSE, entry.th32ProcessID);
            if (child == nullptr) continue;
            stop_tree(entry.th32ProcessID, child);
            CloseHandle(child);
        }
        CloseHandle(snapshot);
    }
    TerminateProcess(process, 1);
}

}  // namespace

platform_command_end platform_run_command(const char* command, const char* const* env,
                                          size_t env_count, uint32_t timeout_ms,
                                          bool (*called_off)(), int* status)
{
    // This process's environment, less what `env` sets anew, then `env`.
    std::string block;
    if (char* current = GetEnvironmentStringsA()) {
        for (const char* e = current; *e != '\0'; e += strlen(e) + 1) {
            bool replaced = false;
            for (size_t i = 0; i < env_count && !replaced; ++i) {
                size_t name = strcspn(env[i], "=");
                replaced = _strnicmp(e, env[i], name + 1) == 0;
            }
            if (!replaced) block.append(e, strlen(e) + 1);
        }
        FreeEnvironmentStringsA(current);
    }
    for (size_t i = 0; i < env_count; ++i) {
        char safe[1024];
        platform_command_safe_entry(env[i], safe, sizeof safe);
        block.append(safe, strlen(safe) + 1);
    }
    block.push_back('\0');
    const char* shell = getenv("COMSPEC");
    std::string line = std::string("\"") + (shell != nullptr ? shell : "cmd.exe") + "\" /d /s /c \"" +
                       command + "\"";
    // Its output goes where this program's errors go; its input is empty.
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE nul = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_EXISTING, 0, nullptr);
    HANDLE errors = nullptr;
    DuplicateHandle(GetCurrentProcess(), GetStdHandle(STD_ERROR_HANDLE), GetCurrentProcess(),
                    &errors, 0, TRUE, DUPLICATE_SAME_ACCESS);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nul;
    startup.hStdOutput = errors;
    startup.hStdError = errors;
    PROCESS_INFORMATION process{};
    BOOL started = CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE,
                                  CREATE_SUSPENDED | CREATE_NO_WINDOW, block.data(), nullptr,
                                  &startup, &process);
    if (nul != INVALID_HANDLE_VALUE) CloseHandle(nul);
    if (errors != nullptr) CloseHandle(errors);
    if (!started) return PLATFORM_COMMAND_NOT_RUN;
    // A job holds the shell and all it starts, so that all can be stopped.
    // Where there is none (this program's own job may refuse one inside it),
    // the shell and what it started are found and stopped one by one.
    HANDLE job = CreateJobObjectA(nullptr, nullptr);
    bool in_job = job != nullptr && AssignProcessToJobObject(job, process.hProcess);
    ResumeThread(process.hThread);
    // Waited for in steps, so that a caller who calls it off is heard.
    platform_command_end end = PLATFORM_COMMAND_EXITED;
    uint64_t deadline = platform_now_ms() + timeout_ms;
    while (WaitForSingleObject(process.hProcess, CALLED_OFF_STEP_MS) != WAIT_OBJECT_0) {
        if (platform_now_ms() >= deadline) {
            end = PLATFORM_COMMAND_STOPPED;
        } else if (called_off != nullptr && called_off()) {
            end = PLATFORM_COMMAND_CALLED_OFF;
        } else {
            continue;
        }
        if (!in_job || !TerminateJobObject(job, 1)) stop_tree(process.dwProcessId, process.hProcess);
        // Said to be stopped once it has ended (a process ends promptly
        // once terminated).
        WaitForSingleObject(process.hProcess, INFINITE);
        break;
    }
    if (end == PLATFORM_COMMAND_EXITED) {
        DWORD code = 0;
        GetExitCodeProcess(process.hProcess, &code);
        *status = static_cast<int>(code);
    }
    if (job != nullptr) CloseHandle(job);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return end;
}
