// Whatever a tag answers during an upload: to connecting, to the load
// command, after the script data ("M") and after the metadata record.
#include "app/app.h"
#include "fake_serial.h"
#include "tag/tag.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

char script_name[APP_FILENAME_SIZE];
char script_path[APP_FILENAME_SIZE + 4];

void remove_script() { remove(script_path); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // An empty script: the replies are what is fuzzed, and an empty script
    // streams without the 20 ms pauses.
    const char* tmp = getenv("TMPDIR");
    snprintf(script_name, sizeof script_name, "%s/flashtag-fuzz-%d",
             tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp", static_cast<int>(getpid()));
    snprintf(script_path, sizeof script_path, "%s.bas", script_name);
    FILE* f = fopen(script_path, "wb");
    if (f == nullptr) return 1;
    fclose(f);
    atexit(remove_script);
    if (freopen("/dev/null", "w", stdout) == nullptr) return 1;  // the bar and messages
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fake_serial_feed(data, size);
    uint32_t firmware = 0, third = 0;
    bool new_console = false;
    if (tag_connect("COM4", &firmware, &third, &new_console) != 0) return 0;
    char filename[APP_FILENAME_SIZE];
    memcpy(filename, script_name, sizeof filename);
    int status = upload_stage("COM4", filename, size % 2 == 0);
    // Success needs the tag's "M" line and a final line beginning "OK".
    if (status == 0 && (memchr(data, 'M', size) == nullptr || memmem(data, size, "OK", 2) == nullptr))
        __builtin_trap();
    return 0;
}
