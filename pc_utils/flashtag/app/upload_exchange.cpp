// The script upload on the line. After "load "_TXfer_"" is answered "OK",
// the tag takes the script as a raw byte stream: "1" first for plain text
// (a tokenised script starts with its own 0xFA), then the bytes with a 20 ms
// pause after index 0 and after every multiple of 100, which is the pace the
// tag's console keeps up with. The tag sends nothing until, after a quiet
// spell, it asks for the metadata record with a line starting "M"; the
// record goes out with one checksum byte over script and record, and the
// tag's last line says whether the script reached its flash.
#include "app.h"
#include "platform/platform.h"
#include "serial/serial.h"
#include "tag/tag.h"

#include <cstring>

namespace {

// A tokenised script starts with its own 0xFA; plain text goes after a "1",
// which tells the tag to tokenise it.
constexpr uint8_t TOKENISED_MARK = 0xFA;
constexpr uint8_t PLAIN_TEXT_MARK = '1';
constexpr uint32_t PROGRESS_EVERY = 20;
constexpr uint32_t PAUSE_EVERY = 100;
constexpr uint32_t PAUSE_MS = 20;

// The record and its checksum byte, as one write: each thread its own.
thread_local uint8_t record[APP_METADATA_SIZE + 1];

// Streams the script bytes; *data_checksum gets their sum modulo 256,
// *bytes_sent their count. What lies between two pauses goes in one write:
// the tag's UART takes the bytes back to back however they were written,
// and on a USB serial adapter each write waits for a USB transfer (about a
// 1 ms frame), which would stretch a byte-a-write upload many times over.
int32_t stream_script_bytes(const char* port, const uint8_t* script, uint32_t length,
                            const upload_observer& observer, uint8_t* data_checksum,
                            uint32_t* bytes_sent)
{
    bool plain = length == 0 || script[0] != TOKENISED_MARK;
    // The bytes since the last pause (and the "1" before the first), and
    // the indices among them at which the bar is drawn once they are out.
    // A CR left out at a multiple of 100 leaves out its pause too, and the
    // stretch runs on to the next: it then goes in more than one write.
    uint8_t chunk[PAUSE_EVERY + 1];
    uint32_t chunk_length = 0;
    uint32_t draws[PAUSE_EVERY / PROGRESS_EVERY + 1];
    uint32_t draw_count = 0;
    constexpr uint32_t MAX_DRAWS = sizeof draws / sizeof draws[0];
    if (plain) {
        tag_trace("> 1 (plain text follows)");
        chunk[chunk_length++] = PLAIN_TEXT_MARK;
    }
    uint8_t sum = 0;
    uint32_t sent = 0, pauses = 0;
    for (uint32_t i = 0; i < length; ++i) {
        // Plain text goes with LF line ends: the CR of a CR LF pair is left
        // out (a CR elsewhere, the last byte included, is sent).
        if (plain && script[i] == '\r' && i + 1 < length && script[i + 1] == '\n') ++i;
        chunk[chunk_length++] = script[i];
        sum = static_cast<uint8_t>(sum + script[i]);
        ++sent;
        if (i % PROGRESS_EVERY == 0) draws[draw_count++] = i;
        bool pause = i % PAUSE_EVERY == 0;
        bool full = chunk_length == sizeof chunk || draw_count == MAX_DRAWS;
        if (!pause && !full && i + 1 < length) continue;
        int32_t result = serial_write(port, chunk, chunk_length);
        if (result != 0) return result;
        *bytes_sent = sent;
        chunk_length = 0;
        for (uint32_t d = 0; d < draw_count; ++d) {
            if (!observer.progress(observer.context, draws[d], length)) return APP_ESTOPPED;
        }
        draw_count = 0;
        if (pause) {
            platform_sleep_ms(PAUSE_MS);
            ++pauses;
        }
    }
    // An empty plain-text script is the "1" alone.
    if (chunk_length > 0) {
        int32_t result = serial_write(port, chunk, chunk_length);
        if (result != 0) return result;
    }
    observer.progress(observer.context, length, length);
    tag_trace("> %s script: %lu of the file's %lu bytes sent, %lu pauses of %lu ms, "
              "data checksum 0x%02X",
              plain ? "plain-text" : "tokenised", static_cast<unsigned long>(sent),
              static_cast<unsigned long>(length), static_cast<unsigned long>(pauses),
              static_cast<unsigned long>(PAUSE_MS), static_cast<unsigned>(sum));
    *data_checksum = sum;
    return 0;
}

}  // namespace

int32_t send_upload(const char* port, const uint8_t* script, uint32_t length,
                    const uint8_t* metadata, size_t metadata_length,
                    const upload_observer& observer, uint32_t* bytes_sent)
{
    *bytes_sent = 0;
    char response[TAG_LONG_REPLY];
    int32_t result = tag_command(port, "load \"_TXfer_\"", response, sizeof response);
    if (result != 0) return result;
    if (strncmp(response, "OK", 2) != 0) return APP_ELOAD;

    observer.step(observer.context, UPLOAD_SENDING_SCRIPT);
    uint8_t data_checksum = 0;
    result = stream_script_bytes(port, script, length, observer, &data_checksum, bytes_sent);
    if (result != 0) return result;

    // Raw lines from here on: the tag puts nothing in front of them.
    tag_await_reply_to("the script data");
    result = tag_read_line(port, response, sizeof response);
    if (result != 0) return result;
    if (response[0] != 'M') return APP_ENOM;

    observer.step(observer.context, UPLOAD_SENDING_METADATA);
    uint8_t sum = data_checksum;
    for (size_t i = 0; i < metadata_length; ++i) sum = static_cast<uint8_t>(sum + metadata[i]);
    memcpy(record, metadata, metadata_length);
    record[metadata_length] = sum;
    tag_trace("> metadata record: %lu bytes and checksum byte 0x%02X",
              static_cast<unsigned long>(metadata_length), static_cast<unsigned>(sum));
    tag_await_reply_to("the metadata record");
    result = serial_write(port, record, static_cast<uint32_t>(metadata_length + 1));
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
