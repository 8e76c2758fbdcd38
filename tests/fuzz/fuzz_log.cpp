// Whatever a tag answers to the log size and readout commands. The first
// four input bytes choose the range asked for; the rest is the tag's side,
// starting with its answer to the version query (whose third number
// chooses text or binary records).
#include "fake_serial.h"
#include "tag/tag.h"

#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4) return 0;
    uint32_t first = static_cast<uint32_t>(data[0] | data[1] << 8 | data[2] << 16);
    uint32_t count = data[3] % 16;
    fake_serial_feed(data + 4, size - 4);
    uint32_t firmware = 0, third = 0;
    bool new_console = false;
    if (tag_connect("COM4", &firmware, &third, &new_console) != 0) return 0;
    uint32_t used = 0, capacity = 0;
    tag_get_log_size("COM4", &used, &capacity);
    std::vector<std::string> records;
    int32_t result = tag_read_log("COM4", first, count, records);
    // Never more records than asked for; fewer only when the tag selected
    // fewer (a range past the log's end) or the readout failed.
    if (records.size() > count) __builtin_trap();
    if (result == 0 && records.size() != count) {
        std::string tag_side(reinterpret_cast<const char*>(data + 4), size - 4);
        if (tag_side.find("Selected") == std::string::npos) __builtin_trap();
    }
    for (const std::string& r : records) {
        if (r.size() >= TAG_LONG_REPLY) __builtin_trap();
    }
    tag_disconnect("COM4");
    return 0;
}
