// Every result code of the program, in one table. Each operation that can
// fail returns one of them, and its caller passes it up unchanged. Users
// see the numbers ("Failed to load script file (error 16)") and scripts may
// rely on them: a number never changes meaning. 12 and 101 are not used.
#pragma once

#include <cstdint>

enum : int32_t {
    SERIAL_OK = 0,          // success, in every module
    SERIAL_EINVAL = 1,      // a bad port name or stop-bit count
    SERIAL_EIO = 2,         // an OS call failed, or fewer bytes moved than asked
    TAG_EVERSION = 10,      // the version reply does not begin with "V"
    APP_ELOAD = 11,         // no script file, or the tag would not receive one
    APP_ENOM = 13,          // the tag did not ask for the metadata record
    APP_ECHECKSUM = 14,     // the tag reported an error of the "C" kind
    APP_EFLASH = 15,        // the tag reported an error of the "F" kind
    APP_EREPLY = 16,        // any other final reply
    APP_ENOTAG = 100,       // the port scan found no tag
    TAG_ELOGSELECT = 102,   // the log selection was not confirmed
    TAG_ELOGEND = 103,      // the log transfer did not end with "OK"
    APP_ESTOPPED = 104,     // the upload was stopped by its caller (an interrupt)
    FLEET_ENODE_ID = 105,   // tagfleet could not give the tag a node ID from its pool
};
