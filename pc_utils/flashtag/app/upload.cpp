// flashtag's upload: the script file read whole, the exchange with the tag
// (upload_exchange.cpp) with the progress bar, and the outcome in words.
#include "app.h"
#include "command_line.h"
#include "common/bytes.h"
#include "platform/platform.h"
#include "tag/tag.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

constexpr uint64_t BAR_CELLS = 50;

// Filled once per run.
uint8_t script[APP_SCRIPT_SIZE];
uint8_t metadata[APP_METADATA_SIZE];

// flashtag's upload shows its stages and the bar on the console.
void print_step(void*, upload_step step)
{
    printf(step == UPLOAD_SENDING_SCRIPT ? "Sending Script...\n" : "\n\nSending Metadata...\n");
}

bool print_bar(void*, uint32_t done, uint32_t total)
{
    print_progress(done, total);
    return true;
}

}  // namespace

namespace {

// The name without a final ".bas" (in any case): its length.
size_t stem_length(const char* filename)
{
    size_t len = strlen(filename);
    if (len >= 4 && filename[len - 4] == '.' && ascii_lower(filename[len - 3]) == 'b' &&
        ascii_lower(filename[len - 2]) == 'a' && ascii_lower(filename[len - 1]) == 's') {
        len -= 4;
    }
    return len;
}

}  // namespace

bool make_full_name(const char* filename, char* fullname, size_t size)
{
    size_t len = stem_length(filename);
    if (len + 4 >= size) return false;
    snprintf(fullname, size, "%.*s.bas", static_cast<int>(len), filename);
    return true;
}

long read_script_file(const char* program, const char* filename, char* fullname, uint8_t* buffer,
                      FILE* messages)
{
    if (!make_full_name(filename, fullname, APP_FILENAME_SIZE)) {
        fprintf(messages, "%s: Error: File name \"%.*s\" leaves no room for \".bas\" "
                "(at most %d characters before it)\n",
                program, static_cast<int>(stem_length(filename)), filename,
                static_cast<int>(APP_FILENAME_SIZE - 5));
        return -1;
    }
    // Only a regular file is a script: a directory cannot be read, and a pipe
    // or device could keep the program waiting for ever.
    FILE* infile = platform_regular_file(fullname) ? platform_open_file(fullname, "rb") : nullptr;
    if (infile == nullptr) {
        fprintf(messages, "%s: Error: File not found \"%s\"\n", program, fullname);
        return -1;
    }
    size_t length = fread(buffer, 1, APP_SCRIPT_SIZE, infile);
    bool too_long = length == APP_SCRIPT_SIZE && fgetc(infile) != EOF;
    bool failed = ferror(infile) != 0;
    fclose(infile);
    if (failed) {
        fprintf(messages, "%s: Error: Can't read file \"%s\"\n", program, fullname);
        return -1;
    }
    if (too_long) {
        fprintf(messages, "%s: Error: Script file \"%s\" is larger than %lu bytes\n", program,
                fullname, static_cast<unsigned long>(APP_SCRIPT_SIZE));
        return -1;
    }
    return static_cast<long>(length);
}

size_t format_progress(char* line, uint32_t done, uint32_t total)
{
    uint64_t percent = total == 0 ? 0 : static_cast<uint64_t>(done) * 100 / total;
    if (percent > 100) percent = 100;
    const bar_glyphs& g = platform_bar_glyphs();

    // At most 1 + 52 glyphs of up to 3 bytes + 18 characters: the line
    // always fits; the bounds below only make sure of it.
    size_t n = 0;
    auto append = [&](const char* text) { append_piece(line, PROGRESS_LINE_SIZE, &n, text); };
    append("\r");
    append(g.edge);
    for (uint64_t j = 0; j < BAR_CELLS; ++j) append(j < percent / 2 ? g.filled : g.empty);
    append(g.edge);
    line[n] = '\0';
    int tail = snprintf(line + n, PROGRESS_LINE_SIZE - n, "%7lu (%d%%)",
                        static_cast<unsigned long>(done), static_cast<int>(percent));
    if (tail > 0) n = std::min(n + static_cast<size_t>(tail), PROGRESS_LINE_SIZE - 1);
    return n;
}

void print_progress(uint32_t done, uint32_t total)
{
    char line[PROGRESS_LINE_SIZE];
    size_t n = format_progress(line, done, total);
    platform_write_progress(line, n);
}

int32_t transfer_script(const char* port, const char* filename, bool auto_run)
{
    char fullname[APP_FILENAME_SIZE];
    long length = read_script_file("flashtag", filename, fullname, script, stdout);
    if (length < 0) return APP_ELOAD;

    uint8_t metadata_checksum = 0;
    size_t metadata_length =
        build_metadata(fullname, auto_run ? 1 : 0, metadata, &metadata_checksum);

    const upload_observer console{nullptr, print_step, print_bar};
    uint32_t sent = 0;
    int32_t result = send_upload(port, script, static_cast<uint32_t>(length), metadata,
                                 metadata_length, console, &sent);
    // Before the script, only the load command can give APP_ELOAD.
    if (result == APP_ELOAD) {
        printf("flashtag: Error: The tag refused to receive a script\n");
        print_port_failure("flashtag", port, APP_ELOAD);
    }
    return result;
}

int upload_stage(const char* port, const char* filename, bool auto_run)
{
    platform_fine_timer(true);
    int32_t result = transfer_script(port, filename, auto_run);
    platform_fine_timer(false);

    if (result == 0) {
        (void)tag_disconnect(port);
        printf("\n---- SUCCESS ----\n");
        printf("The script has been written to the tag's flash memory.\n");
        printf("Re-boot the tag to %s it.\n", auto_run ? "run" : "load");
        return 0;
    }
    // APP_ELOAD has said what went wrong already, or has nothing to say.
    if (result != APP_ELOAD) {
        printf("flashtag: Error: Failed to load script file (error %d)\n", result);
        print_port_failure("flashtag", port, result);
    }
    (void)tag_disconnect(port);
    return 1;
}
