// Test support: a bare pseudo-terminal that a test drives byte by byte from
// the tag's side, reachable as COMn through a PortDir.
#pragma once

#include "temp_dir.h"

#include <string>
#include <thread>

class Pty {
public:
    // Makes dir/<name> a link to the terminal, which starts with the
    // settings of the simulated tag's.
    Pty(const TempDir& dir, const std::string& name);
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    const std::string& path() const { return path_; }
    void send(const std::string& bytes);
    // Whatever arrived from the PC side within timeout_ms.
    std::string receive(int timeout_ms = 200);
    // Closes the tag's side: the PC side sees a hang-up.
    void hang_up();
    // In the background: waits for a command (text up to its CR), keeps it
    // in *typed, then sends `reply`. Join the thread before reading *typed.
    std::thread answer_command(std::string reply, std::string* typed);

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};
