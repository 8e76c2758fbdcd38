// The help text.
#include "app.h"

#include <cstdio>

void print_usage()
{
    static const char* const lines[] = {
        "flashtag: flashtag does 3 things:\n",
        "flashtag:   1. Connects to a Corvela tag in a support board.\n",
        "flashtag:   2. Transfers a BASIC script to the tag from a PC file.\n",
        "flashtag:   3. Writes the script into the flash memory on the tag.\n",
        "flashtag:      On re-boot, the script will be re-loaded from flash\n",
        "flashtag:      and optionally started running (see -r option below).\n",
        "flashtag:\n",
        "flashtag: Usage is \"flashtag [options] <filename>\"\n",
        "flashtag:\n",
        "flashtag: The BASIC script filename must end in .bas.  It can be a tokenised\n",
        "flashtag: file produced using save \"filename\" with a PC version of Quorbel\n",
        "flashtag: or a plain text file which will be tokensied when loaded.\n",
        "flashtag:\n",
        "flashtag: Options: -c <COM port number>  Use specified COM port to connect\n",
        "flashtag:                                to the tag.  Without this option,\n",
        "flashtag:                                flashtag will search for a tag.\n",
        "flashtag:          -r Automatically run the script on tag power-up.\n",
        "flashtag:             Without -r the script will be loaded but won't run.\n",
        "flashtag:          -h Display this help text\n",
        "flashtag:          -v Trace the serial line on stderr (ports, commands\n",
        "flashtag:             and replies), for finding out why a run fails.\n",
        "flashtag:          -l List the serial ports of this computer and exit.\n",
        "flashtag:          -c also takes socket://HOST:PORT and rfc2217://HOST:PORT.\n",
        "flashtag:          -c also takes a USB adapter: usb:VID:PID[:SERIAL] or usb@JACK.\n",
    };
    for (const char* line : lines) printf("%s", line);
}
