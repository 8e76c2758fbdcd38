// Receiving a script, as the tag does after "OK" to the load command.
//
// The first byte tells the form: "1" announces plain text (not part of the
// script), 0xFA is the first byte of a tokenised script. The PC sends no
// length: the data ends when the line has been quiet for a while. The tag
// then asks for the metadata record with "M"; the record is
//   0x01, upload time (4), file time (4), user NUL, file name NUL, auto-run,
// followed by a checksum byte: the sum of the script bytes and the record's
// bytes, modulo 256.
#include "tagsim.h"

#include <cstdio>
#include <ctime>
#include <string>
#include <unistd.h>

namespace {

constexpr int FIRST_BYTE_MS = 5000;
constexpr int METADATA_BYTE_MS = 2000;

struct receiver {
    sim_tag& tag;
    long count = 0;  // bytes taken since the load command's "OK"
    sig_atomic_t insertion = tag_insertions;  // the tag that takes the script

    // A tag taken out (or another put in) takes nothing more.
    bool gone() const { return tag_out != 0 || tag_insertions != insertion; }
    // Next upload byte, or -1 on time-out or when the tag is gone; hangs up
    // when told to.
    int next(int timeout_ms)
    {
        if (tag.opt.hangup_after >= 0 && count >= tag.opt.hangup_after) hang_up(tag);
        if (gone()) return -1;
        int b = line_read_byte(tag.line, timeout_ms);
        if (b >= 0) ++count;
        return gone() ? -1 : b;
    }
    // A NUL-terminated text of the record, at most `max` bytes.
    bool text(std::string& out, size_t max)
    {
        for (;;) {
            int b = next(METADATA_BYTE_MS);
            if (b < 0 || out.size() >= max) return false;
            if (b == 0) return true;
            out += static_cast<char>(b);
        }
    }
};

uint32_t u32_le(const unsigned char* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void save(const std::string& path, const std::string& content)
{
    if (path.empty()) return;
    if (FILE* f = fopen(path.c_str(), "wb")) {
        fwrite(content.data(), 1, content.size(), f);
        fclose(f);
    }
}

double now_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1e6;
}

unsigned sum_of(const std::string& bytes)
{
    unsigned sum = 0;
    for (char c : bytes) sum += static_cast<unsigned char>(c);
    return sum;
}

}  // namespace

[[noreturn]] void hang_up(sim_tag& tag)
{
    close(tag.line.fd);
    if (!tag.opt.link.empty()) unlink(tag.opt.link.c_str());
    _exit(0);
}

void receive_script(sim_tag& tag)
{
    receiver rx{tag};
    int first = rx.next(FIRST_BYTE_MS);
    if (first < 0) return;
    std::string data, gaps;
    if (first != '1') data += static_cast<char>(first);
    // When each script byte came: the pauses the PC makes show as gaps.
    double last = first != '1' ? now_ms() : 0.0;
    for (int b = 0; (b = rx.next(tag.opt.quiet_ms)) >= 0;) {
        double now = now_ms();
        if (!data.empty()) gaps += std::to_string(now - last) + "\n";
        last = now;
        data += static_cast<char>(b);
    }
    if (rx.gone()) return;
    save(tag.opt.save_script, data);
    save(tag.opt.save_gaps, gaps);

    line_send(tag.line, tag.opt.m_line);

    unsigned char head[9];
    for (auto& h : head) {
        int b = rx.next(METADATA_BYTE_MS);
        if (b < 0) return;
        h = static_cast<unsigned char>(b);
    }
    std::string user, name;
    if (!rx.text(user, 100) || !rx.text(name, 200)) return;
    int auto_run = rx.next(METADATA_BYTE_MS);
    int checksum = auto_run < 0 ? -1 : rx.next(METADATA_BYTE_MS);
    if (checksum < 0) return;

    std::string record(reinterpret_cast<const char*>(head), sizeof head);
    record += user + '\0' + name + '\0' + static_cast<char>(auto_run);
    bool sum_ok = ((sum_of(data) + sum_of(record)) & 0xFF) == static_cast<unsigned>(checksum);

    char meta[512];
    snprintf(meta, sizeof meta,
             "form: %s\nmarker: %u\nupload_time: %u\nfile_time: %u\nuser: %s\nfile: %s\n"
             "auto_run: %d\nchecksum: %s\n",
             first == '1' ? "plain" : "tokenised", head[0], u32_le(head + 1), u32_le(head + 5),
             user.c_str(), name.c_str(), auto_run, sum_ok ? "ok" : "bad");
    save(tag.opt.save_meta, meta);

    std::string final_reply = !tag.opt.final_reply.empty() ? tag.opt.final_reply
                              : sum_ok                     ? "OK"
                                                           : "E001C checksum mismatch";
    if (rx.gone()) return;
    line_send(tag.line, final_reply);
    note_event(tag, "final " + final_reply);
    if (final_reply == "OK") tag.auto_run = auto_run == 1;
}
