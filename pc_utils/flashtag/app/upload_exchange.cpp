// The script upload on the line. After "load "_TXfer_"" is answered "OK",
// the tag takes the script as a raw byte stream: "1" first for plain text
// (a tokenised script starts with its own 0xFA), then the bytes one write
// at a time with a 20 ms pause every 100 indices, which is the pace the
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
// *bytes_sent their count.
int32_t stream_script_bytes(const char* port, const uint8_t* script, uint32_t length,
                            const upload_observer& observer, uint8_t* data_checksum,
                            uint32_t* bytes_sent)
{
    bool plain = length == 0 || script[0] != TOKENISED_MARK;
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
        *bytes_sent = ++sent;
        if (i % PROGRESS_EVERY == 0 && !observer.progress(observer.context, i, length)) {
            return APP_ESTOPPED;
        }
        if (i % PAUSE_EVERY == 0) {
            platform_sleep_ms(PAUSE_MS);
            ++pauses;
        }
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
