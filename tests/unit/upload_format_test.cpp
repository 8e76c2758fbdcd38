// What the upload puts on the console and on the wire besides the script:
// the progress bar's bytes and the metadata record's layout.
#include "app/app.h"
#include "platform/platform.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>

namespace {

std::string bar(uint32_t done, uint32_t total)
{
    char line[PROGRESS_LINE_SIZE];
    size_t n = format_progress(line, done, total);
    EXPECT_EQ(line[n], '\0');
    return std::string(line, n);
}

std::string cells(const char* glyph, int count)
{
    std::string s;
    for (int i = 0; i < count; ++i) s += glyph;
    return s;
}

uint32_t u32_at(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0] | p[1] << 8 | p[2] << 16) | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

TEST(ProgressBar, DrawsCellsPerTwoPercentAndTheIndexReached)
{
    const bar_glyphs& g = platform_bar_glyphs();
    EXPECT_EQ(bar(1234, 5000), std::string("\r") + g.edge + cells(g.filled, 12) +
                                   cells(g.empty, 38) + g.edge + "   1234 (24%)");
    EXPECT_EQ(bar(0, 0), std::string("\r") + g.edge + cells(g.empty, 50) + g.edge + "      0 (0%)");
    EXPECT_EQ(bar(100000, 100000),
              std::string("\r") + g.edge + cells(g.filled, 50) + g.edge + " 100000 (100%)");
    // An index past the total (CR skipping) never draws more than full.
    EXPECT_EQ(bar(7, 5), std::string("\r") + g.edge + cells(g.filled, 50) + g.edge + "      7 (100%)");
    EXPECT_EQ(bar(4294967295u, 1).substr(bar(4294967295u, 1).size() - 17), "4294967295 (100%)");
}

TEST(Metadata, RecordLayoutForAFileThatExists)
{
    const char* path = "metadata_test.bas";
    FILE* f = fopen(path, "wb");
    ASSERT_NE(f, nullptr);
    fclose(f);
    struct stat st {};
    ASSERT_EQ(stat(path, &st), 0);
    char user[100];
    platform_user_name(user, sizeof user);
    std::string u(user);

    static uint8_t record[APP_METADATA_SIZE];
    uint8_t checksum = 0;
    uint32_t before = static_cast<uint32_t>(time(nullptr));
    size_t n = build_metadata(path, 1, record, &checksum);
    remove(path);

    ASSERT_EQ(n, 12 + u.size() + strlen(path));
    EXPECT_EQ(record[0], 0x01);
    EXPECT_GE(u32_at(record + 1), before);
    EXPECT_LE(u32_at(record + 1), before + 5);
    EXPECT_EQ(u32_at(record + 5), static_cast<uint32_t>(st.st_mtime));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(record + 9)), u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(record + 10 + u.size())), path);
    EXPECT_EQ(record[n - 1], 1);
    uint8_t sum = 0;
    for (size_t i = 0; i < n; ++i) sum = static_cast<uint8_t>(sum + record[i]);
    EXPECT_EQ(checksum, sum);
}

TEST(Metadata, BaseNameAfterEitherSlashAndZeroTimeWithoutAFile)
{
    char user[100];
    platform_user_name(user, sizeof user);
    size_t name_at = 10 + strlen(user);
    static uint8_t record[APP_METADATA_SIZE];
    uint8_t checksum;
    for (const char* full : {"C:\\x\\prog.bas", "dir/sub\\prog.bas", "no/such/dir/prog.bas"}) {
        size_t n = build_metadata(full, 0, record, &checksum);
        EXPECT_STREQ(reinterpret_cast<char*>(record + name_at), "prog.bas") << full;
        EXPECT_EQ(n, name_at + 9 + 1);
        EXPECT_EQ(record[n - 1], 0);
        EXPECT_EQ(u32_at(record + 5), 0u) << "no file, no time";
    }
    for (const char* whole : {"C:prog.bas", "prog.bas"}) {
        build_metadata(whole, 0, record, &checksum);
        EXPECT_STREQ(reinterpret_cast<char*>(record + name_at), whole);
    }
}
