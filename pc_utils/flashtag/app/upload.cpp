// The script upload. After "load "_TXfer_"" is answered "OK", the tag takes
// the script as a raw byte stream: "1" first for plain text (a tokenised
// script starts with its own 0xFA), then the bytes one write at a time with a
// 20 ms pause every 100 indices, which is the pace the tag's console keeps up
// with. The tag sends nothing until, after a quiet spell, it asks for the
// metadata record with a line starting "M"; the record goes out with one
// checksum byte over script and record, and the tag's last line says
// whether the script reached its flash.
#include "app.h"
#include "command_line.h"
#include "common/bytes.h"
#include "platform/platform.h"
#include "serial/serial.h"
#include "tag/tag.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

namespace {

// A tokenised script starts with its own 0xFA; plain text goes after a "1",
// which tells the tag to tokenise it.
constexpr uint8_t TOKENISED_MARK = 0xFA;
constexpr uint8_t PLAIN_TEXT_MARK = '1';
constexpr uint32_t PROGRESS_EVERY = 20;
constexpr uint32_t PAUSE_EVERY = 100;
constexpr uint32_t PAUSE_MS = 20;
constexpr uint64_t BAR_CELLS = 50;

// Filled once per run.
uint8_t script[APP_SCRIPT_SIZE];
uint8_t metadata[APP_METADATA_SIZE];

// Only a regular file is a script: a directory cannot be read, and a pipe
// or device could keep the program waiting for ever.
bool is_regular_file(const char* path)
{
    struct stat st {};
    return stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

// "prog", "prog.bas" and "prog.BAS" all name prog.bas; false when the name
// leaves no room for the extension.
bool make_full_name(char* filename, char* fullname, size_t size)
{
    size_t len = strlen(filename);
    if (len >= 4 && filename[len - 4] == '.' && ascii_lower(filename[len - 3]) == 'b' &&
        ascii_lower(filename[len - 2]) == 'a' && ascii_lower(filename[len - 1]) == 's') {
        len -= 4;
        filename[len] = '\0';
    }
    if (len + 4 >= size) return false;
    snprintf(fullname, size, "%.*s.bas", static_cast<int>(len), filename);
    return true;
}

// Reads the whole file into the script buffer: its length, or -1 after an
// error message. A file larger than a tag takes is refused, not cut.
long read_script(const char* fullname)
{
    FILE* infile = is_regular_file(fullname) ? fopen(fullname, "rb") : nullptr;
    if (infile == nullptr) {
        printf("flashtag: Error: File not found \"%s\"\n", fullname);
        return -1;
    }
    size_t length = fread(script, 1, sizeof script, infile);
    bool too_long = length == sizeof script && fgetc(infile) != EOF;
    bool failed = ferror(infile) != 0;
    fclose(infile);
    if (failed) {
        printf("flashtag: Error: Can't read file \"%s\"\n", fullname);
        return -1;
    }
    if (too_long) {
        printf("flashtag: Error: Script file \"%s\" is larger than %lu bytes\n", fullname,
               static_cast<unsigned long>(sizeof script));
        return -1;
    }
    return static_cast<long>(length);
}

// Streams the script bytes; *data_checksum gets their sum modulo 256.
int32_t stream_script_bytes(const char* port, uint32_t length, uint8_t* data_checksum)
{
    bool plain = script[0] != TOKENISED_MARK;
    if (plain) {
        const uint8_t mark = PLAIN_TEXT_MARK;
        tag_trace("> 1 (plain text follows)");
        int32_t result = serial_write(port, &mark, 1);
        if (result != 0) return result;
    }
    uint8_t sum = 0;
    uint32_t sent = 0, pauses = 0;
    for (uint32_t i = 0; i < length; ++i) {
        // Plain text goes with LF line ends: the CR of a CR LF pair is left
        // out (a CR elsewhere, the last byte included, is sent).
        if (plain && script[i] == '\r' && i + 1 < length && script[i + 1] == '\n') ++i;
        int32_t result = serial_write(port, &script[i], 1);
        if (result != 0) return result;
        sum = static_cast<uint8_t>(sum + script[i]);
        ++sent;
        if (i % PROGRESS_EVERY == 0) print_progress(i, length);
        if (i % PAUSE_EVERY == 0) {
            platform_sleep_ms(PAUSE_MS);
            ++pauses;
        }
    }
    print_progress(length, length);
    tag_trace("> %s script: %lu of the file's %lu bytes sent, %lu pauses of %lu ms, "
              "data checksum 0x%02X",
              plain ? "plain-text" : "tokenised", static_cast<unsigned long>(sent),
              static_cast<unsigned long>(length), static_cast<unsigned long>(pauses),
              static_cast<unsigned long>(PAUSE_MS), static_cast<unsigned>(sum));
    *data_checksum = sum;
    return 0;
}

}  // namespace

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

int32_t transfer_script(const char* port, char* filename, bool auto_run)
{
    char fullname[APP_FILENAME_SIZE];
    if (!make_full_name(filename, fullname, sizeof fullname)) {
        printf("flashtag: Error: File name \"%s\" leaves no room for \".bas\" "
               "(at most %d characters before it)\n",
               filename, static_cast<int>(sizeof fullname - 5));
        return APP_ELOAD;
    }
    long length = read_script(fullname);
    if (length < 0) return APP_ELOAD;

    uint8_t metadata_checksum = 0;
    size_t metadata_length =
        build_metadata(fullname, auto_run ? 1 : 0, metadata, &metadata_checksum);

    char response[TAG_LONG_REPLY];
    int32_t result = tag_command(port, "load \"_TXfer_\"", response, sizeof response);
    if (result != 0) return result;
    if (strncmp(response, "OK", 2) != 0) {
        printf("flashtag: Error: The tag refused to receive a script\n");
        print_port_failure("flashtag", port, APP_ELOAD);
        return APP_ELOAD;
    }

    printf("Sending Script...\n");
    uint8_t data_checksum = 0;
    result = stream_script_bytes(port, static_cast<uint32_t>(length), &data_checksum);
    if (result != 0) return result;

    // Raw lines from here on: the tag puts nothing in front of them.
    tag_await_reply_to("the script data");
    result = tag_read_line(port, response, sizeof response);
    if (result != 0) return result;
    if (response[0] != 'M') return APP_ENOM;

    printf("\n\nSending Metadata...\n");
    metadata[metadata_length] = static_cast<uint8_t>(data_checksum + metadata_checksum);
    tag_trace("> metadata record: %lu bytes and checksum byte 0x%02X",
              static_cast<unsigned long>(metadata_length),
              static_cast<unsigned>(metadata[metadata_length]));
    tag_await_reply_to("the metadata record");
    result = serial_write(port, metadata, static_cast<uint32_t>(metadata_length + 1));
    if (result != 0) return result;

    result = tag_read_line(port, response, sizeof response);
    if (result != 0) return result;
    if (response[0] == 'O' && response[1] == 'K') return 0;
    // An error reply reads "E001C ..." or "E002F ...": its fifth character
    // tells a checksum error (C) from a flash error (F).
    if (response[0] == 'E' && strlen(response) >= 5) {
        if (response[4] == 'C') return APP_ECHECKSUM;
        if (response[4] == 'F') return APP_EFLASH;
    }
    return APP_EREPLY;
}

int upload_stage(const char* port, char* filename, bool auto_run)
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
