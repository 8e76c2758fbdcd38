// The relay's connection on Windows: a named pipe that admits this user
// alone and no remote client, whose first instance is tagterm's.
#include "relay_system.h"

#include <cstdio>
#include <cstring>
#include <windows.h>
#include <sddl.h>

namespace {

// A pipe handle opened for overlapped I/O, with the event its waits use.
// tagterm's end is overlapped (it waits for programs without blocking); a
// program's is not: its writes, one byte at a time in an upload, are then
// plain writes (under Wine an overlapped one costs a round trip to its
// server each), and its reads wait by looking at the pipe each millisecond.
struct pipe_end {
    HANDLE pipe;
    HANDLE event;
    OVERLAPPED connect;  // tagterm's instance: its wait for a program
    bool connected;
    bool overlapped;
};

// A channel's or listener's handle: -1 (RELAY_NO_CHANNEL) for none.
pipe_end* end_of(intptr_t handle)
{
    return handle == RELAY_NO_CHANNEL ? nullptr : reinterpret_cast<pipe_end*>(handle);
}

intptr_t handle_of(pipe_end* end) { return end == nullptr ? RELAY_NO_CHANNEL : reinterpret_cast<intptr_t>(end); }

void pipe_name(const char* key, wchar_t* name, size_t size)
{
    char hash[32];
    relay_key_name(key, hash, sizeof hash);
    swprintf(name, size, L"\\\\.\\pipe\\flashtag-relay-%hs", hash);
}

// "D:P(A;;GA;;;<this user's SID>)": full access for this user, nobody else.
PSECURITY_DESCRIPTOR this_user_only()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return nullptr;
    alignas(TOKEN_USER) unsigned char buffer[512];
    DWORD length = 0;
    PSECURITY_DESCRIPTOR sd = nullptr;
    wchar_t* sid = nullptr;
    if (GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &length) &&
        ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &sid)) {
        wchar_t sddl[256];
        swprintf(sddl, sizeof sddl / sizeof sddl[0], L"D:P(A;;GA;;;%ls)", sid);
        ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd, nullptr);
        LocalFree(sid);
    }
    CloseHandle(token);
    return sd;
}

// A new instance of tagterm's pipe, waiting for a program.
pipe_end* new_instance(const wchar_t* name, bool first, DWORD* error)
{
    PSECURITY_DESCRIPTOR sd = this_user_only();
    if (sd == nullptr) {
        *error = GetLastError();
        return nullptr;
    }
    SECURITY_ATTRIBUTES sa{sizeof sa, sd, FALSE};
    DWORD open_mode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED |
                      (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    DWORD pipe_mode = PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;
    HANDLE pipe = CreateNamedPipeW(name, open_mode, pipe_mode, PIPE_UNLIMITED_INSTANCES, 65536,
                                   65536, 0, &sa);
    *error = GetLastError();
    LocalFree(sd);
    if (pipe == INVALID_HANDLE_VALUE) return nullptr;
    auto* end = new pipe_end{pipe, CreateEventW(nullptr, TRUE, FALSE, nullptr), OVERLAPPED{}, false, true};
    end->connect.hEvent = end->event;
    if (!ConnectNamedPipe(pipe, &end->connect)) {
        end->connected = GetLastError() == ERROR_PIPE_CONNECTED;
    }
    return end;
}

void close_end(pipe_end* end)
{
    if (end == nullptr) return;
    CloseHandle(end->pipe);
    if (end->event != nullptr) CloseHandle(end->event);
    delete end;
}

// Waits for an overlapped operation begun on `end`: the bytes it moved, or
// -1 when it failed or did not finish within `timeout_ms` (then cancelled;
// what it moved before counts).
long finish(pipe_end* end, OVERLAPPED* ov, BOOL started, uint32_t timeout_ms)
{
    if (!started && GetLastError() != ERROR_IO_PENDING) return -1;
    DWORD moved = 0;
    // Done at once (the usual case for a pipe with room): no wait, which
    // under Wine is another round trip to its server for each byte.
    if (started) return GetOverlappedResult(end->pipe, ov, &moved, FALSE) ? static_cast<long>(moved) : -1;
    if (WaitForSingleObject(end->event, timeout_ms) != WAIT_OBJECT_0) {
        CancelIoEx(end->pipe, ov);
        if (!GetOverlappedResult(end->pipe, ov, &moved, TRUE)) {
            return GetLastError() == ERROR_OPERATION_ABORTED ? 0 : -1;
        }
        return static_cast<long>(moved);
    }
    return GetOverlappedResult(end->pipe, ov, &moved, FALSE) ? static_cast<long>(moved) : -1;
}

}  // namespace

bool relay_listen(const char* key, relay_listener* listener, char* why, size_t size)
{
    wchar_t name[128];
    pipe_name(key, name, sizeof name / sizeof name[0]);
    snprintf(listener->path, sizeof listener->path, "%ls", name);
    DWORD error = 0;
    pipe_end* end = new_instance(name, true, &error);
    listener->handle = handle_of(end);
    if (end != nullptr) return true;
    if (error == ERROR_ACCESS_DENIED) {
        snprintf(why, size, "another program already has the pipe %s", listener->path);
    } else {
        snprintf(why, size, "cannot make the pipe %s (error %lu)", listener->path, error);
    }
    return false;
}

relay_channel relay_accept(relay_listener* listener)
{
    pipe_end* end = end_of(listener->handle);
    if (end == nullptr) return RELAY_NO_CHANNEL;
    if (!end->connected) {
        DWORD unused = 0;
        if (WaitForSingleObject(end->event, 0) != WAIT_OBJECT_0) return RELAY_NO_CHANNEL;
        end->connected = GetOverlappedResult(end->pipe, &end->connect, &unused, FALSE) != 0;
        if (!end->connected) {
            // A program that came and went: wait for the next.
            DisconnectNamedPipe(end->pipe);
            ResetEvent(end->event);
            if (!ConnectNamedPipe(end->pipe, &end->connect)) {
                end->connected = GetLastError() == ERROR_PIPE_CONNECTED;
            }
            return RELAY_NO_CHANNEL;
        }
    }
    // The next program waits on a new instance.
    wchar_t name[128];
    swprintf(name, sizeof name / sizeof name[0], L"%hs", listener->path);
    DWORD error = 0;
    pipe_end* next = new_instance(name, false, &error);
    listener->handle = handle_of(next);
    return handle_of(end);
}

void relay_unlisten(relay_listener* listener)
{
    close_end(end_of(listener->handle));
    listener->handle = RELAY_NO_CHANNEL;
}

relay_channel relay_connect(const char* key)
{
    wchar_t name[128];
    pipe_name(key, name, sizeof name / sizeof name[0]);
    for (int tries = 0; tries < 5; ++tries) {
        HANDLE pipe = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
        if (pipe != INVALID_HANDLE_VALUE) {
            return handle_of(new pipe_end{pipe, nullptr, OVERLAPPED{}, true, false});
        }
        // Every instance taken for a moment: tagterm makes the next.
        if (GetLastError() != ERROR_PIPE_BUSY || !WaitNamedPipeW(name, 1000)) break;
    }
    return RELAY_NO_CHANNEL;
}

relay_send_result relay_send(relay_channel channel, const uint8_t* bytes, size_t count,
                             uint32_t timeout_ms)
{
    pipe_end* end = end_of(channel);
    size_t done = 0;
    while (done < count) {
        long n = -1;
        if (!end->overlapped) {
            DWORD written = 0;
            if (WriteFile(end->pipe, bytes + done, static_cast<DWORD>(count - done), &written, nullptr)) {
                n = static_cast<long>(written);
            }
        } else {
            OVERLAPPED ov{};
            ov.hEvent = end->event;  // made nonsignalled by the write as it starts
            BOOL started = WriteFile(end->pipe, bytes + done, static_cast<DWORD>(count - done), nullptr, &ov);
            n = finish(end, &ov, started, timeout_ms);
        }
        if (n < 0) {
            DWORD error = GetLastError();
            bool ended = error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA ||
                         error == ERROR_PIPE_NOT_CONNECTED;
            return ended ? RELAY_PEER_ENDED : RELAY_SEND_TIMED_OUT;
        }
        if (n == 0) return RELAY_SEND_TIMED_OUT;
        done += static_cast<size_t>(n);
    }
    return RELAY_SENT;
}

long relay_receive(relay_channel channel, uint8_t* buffer, size_t max, uint32_t timeout_ms)
{
    pipe_end* end = end_of(channel);
    DWORD waiting = 0;
    if (!PeekNamedPipe(end->pipe, nullptr, 0, nullptr, &waiting, nullptr)) return -1;
    if (!end->overlapped) {
        for (ULONGLONG deadline = GetTickCount64() + timeout_ms; waiting == 0;) {
            if (GetTickCount64() >= deadline) return 0;
            Sleep(1);
            if (!PeekNamedPipe(end->pipe, nullptr, 0, nullptr, &waiting, nullptr)) return -1;
        }
        DWORD got = 0;
        DWORD want = waiting < max ? waiting : static_cast<DWORD>(max);
        return ReadFile(end->pipe, buffer, want, &got, nullptr) ? static_cast<long>(got) : -1;
    }
    if (waiting == 0 && timeout_ms == 0) return 0;
    DWORD want = waiting > 0 && waiting < max ? waiting : static_cast<DWORD>(max);
    OVERLAPPED ov{};
    ov.hEvent = end->event;  // made nonsignalled by the read as it starts
    BOOL started = ReadFile(end->pipe, buffer, want, nullptr, &ov);
    return finish(end, &ov, started, waiting > 0 ? INFINITE : timeout_ms);
}

unsigned long relay_peer_pid(relay_channel channel)
{
    ULONG pid = 0;
    pipe_end* end = end_of(channel);
    return end != nullptr && GetNamedPipeServerProcessId(end->pipe, &pid) ? pid : 0;
}

void relay_close(relay_channel channel) { close_end(end_of(channel)); }

unsigned long relay_own_pid() { return GetCurrentProcessId(); }

void relay_own_name(char* name, size_t size)
{
    if (size == 0) return;
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    path[n < sizeof path ? n : sizeof path - 1] = '\0';
    const char* base = strrchr(path, '\\');
    base = base != nullptr ? base + 1 : path;
    snprintf(name, size, "%s", base);
    char* dot = strrchr(name, '.');
    if (dot != nullptr) *dot = '\0';
}
