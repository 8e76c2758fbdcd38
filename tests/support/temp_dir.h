// Test support: scratch directories.
#pragma once

#include <string>

// A fresh directory under $TMPDIR, removed with its content at destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// A scratch directory of port links (COM5 -> a pseudo-terminal) that the
// serial driver uses for as long as it lives: FLASHTAG_PORT_DIR names it.
class PortDir : public TempDir {
public:
    PortDir();
    ~PortDir();
};
