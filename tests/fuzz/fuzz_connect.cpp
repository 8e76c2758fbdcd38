// Whatever a device answers to connecting and to the node-ID commands.
#include "fake_serial.h"
#include "tag/tag.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fake_serial_feed(data, size);
    uint32_t firmware = 0, third = 0;
    bool new_console = false;
    if (tag_connect("COM4", &firmware, &third, &new_console) == 0) {
        uint8_t node_id = 0;
        if (tag_get_node_id("COM4", &node_id) == 0) tag_set_node_id("COM4", node_id);
        tag_disconnect("COM4");
    }
    return 0;
}
