// The metadata record that follows a script: when and by whom it was
// loaded, how old the file is, its name and whether the tag runs it at
// power-up. Multi-byte numbers are little-endian:
//   0x01 | upload time u32 | file time u32 | user NUL | base name NUL | auto-run
// Times are seconds since 1970 UTC, low 32 bits.
#include "app.h"
#include "common/bytes.h"
#include "platform/platform.h"

#include <cstring>
#include <ctime>
#include <sys/stat.h>

size_t build_metadata(const char* full_name, uint8_t auto_run, uint8_t* record,
                      uint8_t* checksum)
{
    // Base name: after the last slash or backslash; a drive colon is kept.
    const char* base = full_name;
    for (const char* p = full_name; *p != '\0'; ++p) {
        if (*p == '/' || *p == '\\') base = p + 1;
    }
    struct stat file_time {};
    uint32_t modified = stat(full_name, &file_time) == 0
                            ? static_cast<uint32_t>(file_time.st_mtime)
                            : 0;  // unknown rather than whatever the record held
    uint32_t now = static_cast<uint32_t>(time(nullptr));
    char user[100];
    platform_user_name(user, sizeof user);

    size_t n = 0;
    record[n++] = 0x01;
    put_u32_le(now, record + n);
    n += 4;
    put_u32_le(modified, record + n);
    n += 4;
    // user (< 100) and base name (< 200) always fit the 10000-byte buffer.
    size_t user_len = strlen(user) + 1;
    memcpy(record + n, user, user_len);
    n += user_len;
    size_t base_len = strlen(base) + 1;
    memcpy(record + n, base, base_len);
    n += base_len;
    record[n++] = auto_run;

    uint8_t sum = 0;
    for (size_t i = 0; i < n; ++i) sum = static_cast<uint8_t>(sum + record[i]);
    *checksum = sum;
    return n;
}
