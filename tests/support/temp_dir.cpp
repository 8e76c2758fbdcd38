#include "temp_dir.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <system_error>

TempDir::TempDir()
{
    const char* tmp = getenv("TMPDIR");
    std::string templ = std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") +
                        "/flashtag-test-XXXXXX";
    if (mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp");
    path_ = templ;
}

TempDir::~TempDir()
{
    std::error_code error;
    std::filesystem::remove_all(path_, error);
    if (error) fprintf(stderr, "cannot remove %s: %s\n", path_.c_str(), error.message().c_str());
}

PortDir::PortDir() { setenv("FLASHTAG_PORT_DIR", path().c_str(), 1); }

PortDir::~PortDir() { unsetenv("FLASHTAG_PORT_DIR"); }
