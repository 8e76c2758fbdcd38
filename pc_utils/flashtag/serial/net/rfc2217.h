// The Com Port Control Option of RFC 2217 on a network port's telnet
// connection: the negotiation as the port opens (the option, then the line
// settings, each acknowledged as asked or noted as not), and the requests
// after it (DTR, a purge of what the server holds).
#pragma once

#include "net_port.h"

#include <cstddef>
#include <cstdint>

constexpr uint8_t PURGE_SERVER_RECEIVE = 1;  // what the server has from the device
constexpr uint8_t CONTROL_NO_FLOW = 1, CONTROL_DTR_ON = 8, CONTROL_DTR_OFF = 9;

// Asks for the option (and binary transmission both ways), then sets the
// line. Settings the server does not acknowledge in time are noted and the
// port is used all the same; one it acknowledges with another value fails.
int32_t rfc2217_negotiate(net_port& p, const serial_line& line);
// A request of the Com Port Control Option, with its value.
int32_t rfc2217_request(net_port& p, uint8_t request, const uint8_t* value, size_t length);
