// The Com Port Control Option's negotiation and requests (rfc2217.h).
#include "rfc2217.h"

#include "platform/platform.h"

#include <cstdio>

using namespace telnet;

namespace {

constexpr uint8_t PARITY_NONE = 1;  // the option's own codes: none 1, odd 2, even 3

// How long the server has to take the option, and then to acknowledge the
// line settings (some servers never acknowledge some of them), on top of
// the round trip.
constexpr uint64_t OPTION_WAIT_MS = 2000;
constexpr uint64_t SETTINGS_WAIT_MS = 500;

const char* const REQUEST_NAMES[] = {"", "baud rate", "data size", "parity", "stop size", "control"};

uint32_t value_of(const uint8_t* bytes, size_t length)
{
    uint32_t v = 0;
    for (size_t i = 0; i < length; ++i) v = v << 8 | bytes[i];
    return v;
}

// A line setting in the option's codes as a user reads it: with its unit
// ("9600 baud", "even parity") or bare ("115200", "none").
void setting_words(uint8_t request, uint32_t v, bool with_unit, char* text, size_t size)
{
    static const char* const parities[] = {"?", "none", "odd", "even", "mark", "space"};
    static const char* const stops[] = {"?", "1", "2", "1.5"};
    static const char* const flows[] = {"?", "none", "XON/XOFF", "hardware"};
    const char* word = "";
    switch (request) {
    case SET_PARITY: word = v < 6 ? parities[v] : "?"; break;
    case SET_STOPSIZE: word = v < 4 ? stops[v] : "?"; break;
    case SET_CONTROL: word = v < 4 ? flows[v] : "?"; break;
    default: break;
    }
    char number[16];
    snprintf(number, sizeof number, "%lu", static_cast<unsigned long>(v));
    if (word[0] == '\0' || word[0] == '?') word = number;
    static const char* const units[] = {"", " baud", " data bits", " parity", " stop bits",
                                        " flow control"};
    snprintf(text, size, "%s%s", word, with_unit ? units[request] : "");
}

// Each setting the server acknowledged must be the one asked for: a server
// that will not take 115200 8N1 would pass the tag's bytes garbled.
int32_t check_acknowledged(const net_port& p, const uint8_t (&asked)[MAX_KEPT_REQUEST + 1][MAX_VALUE],
                           const size_t (&length)[MAX_KEPT_REQUEST + 1])
{
    for (uint8_t request = SET_BAUDRATE; request <= MAX_KEPT_REQUEST; ++request) {
        if ((p.in.answered & 1u << request) == 0) continue;
        char why[128];
        if (p.in.answer_length[request] != length[request]) {
            snprintf(why, sizeof why, "the server answered the %s with %u bytes, not %u",
                     REQUEST_NAMES[request], p.in.answer_length[request],
                     static_cast<unsigned>(length[request]));
            return serial_fail(SERIAL_FAULT_SETTINGS, "RFC 2217", 0, why);
        }
        uint32_t got = value_of(p.in.answer[request], length[request]);
        uint32_t want = value_of(asked[request], length[request]);
        if (got == want) continue;
        char set[48], not_set[48];
        setting_words(request, got, true, set, sizeof set);
        setting_words(request, want, false, not_set, sizeof not_set);
        snprintf(why, sizeof why, "the server set %s, not %s", set, not_set);
        return serial_fail(SERIAL_FAULT_SETTINGS, "RFC 2217", 0, why);
    }
    return SERIAL_OK;
}

}  // namespace

int32_t rfc2217_negotiate(net_port& p, const serial_line& line)
{
    uint8_t offers[OFFER_SIZE];
    int32_t result = net_port_send(p, offers, offer(p.in, offers), SERIAL_CONNECT_TIMEOUT_MS);
    if (result != SERIAL_OK) return result;
    result = net_port_receive_until(p, platform_now_ms() + OPTION_WAIT_MS + 2 * p.round_trip_ms, "telnet",
                           [&p] { return p.in.com_port_taken || p.in.com_port_refused; });
    if (result != SERIAL_OK) return result;
    if (!p.in.com_port_taken) {
        return serial_fail(SERIAL_FAULT_NO_RFC2217, "telnet", 0,
                           p.in.com_port_refused ? "the server refused the Com Port Control Option"
                           : p.in.commands >= NET_COMMAND_STREAM_BYTES
                               ? "a stream of telnet commands, and no answer to the Com Port "
                                 "Control Option"
                               : "no answer to the Com Port Control Option");
    }
    net_port_note(p, "; the server took the Com Port Control Option");

    static const uint8_t parity_codes[] = {1, 2, 3};  // none, odd, even
    uint8_t asked[MAX_KEPT_REQUEST + 1][MAX_VALUE] = {};
    size_t length[MAX_KEPT_REQUEST + 1] = {0, 4, 1, 1, 1, 1};
    for (size_t i = 0; i < 4; ++i) asked[SET_BAUDRATE][i] = static_cast<uint8_t>(line.baud >> (24 - 8 * i));
    asked[SET_DATASIZE][0] = line.data_bits;
    asked[SET_PARITY][0] = line.parity < 3 ? parity_codes[line.parity] : PARITY_NONE;
    asked[SET_STOPSIZE][0] = line.stop_bits;
    asked[SET_CONTROL][0] = CONTROL_NO_FLOW;
    uint64_t sent = platform_now_ms();
    for (uint8_t request = SET_BAUDRATE; request <= SET_CONTROL && result == SERIAL_OK; ++request) {
        result = rfc2217_request(p, request, asked[request], length[request]);
    }
    if (result != SERIAL_OK) return result;
    const uint32_t all = 1u << SET_BAUDRATE | 1u << SET_DATASIZE | 1u << SET_PARITY |
                         1u << SET_STOPSIZE | 1u << SET_CONTROL;
    uint64_t wait = SETTINGS_WAIT_MS + 2 * p.round_trip_ms;
    bool first = true;
    result = net_port_receive_until(p, sent + wait, "telnet", [&] {
        // The first answer needed a round trip through the server.
        uint64_t took = platform_now_ms() - sent;
        if (first && p.in.answered != 0 && took <= NET_MAX_ROUND_TRIP_MS && took > p.round_trip_ms) {
            p.round_trip_ms = took;
        }
        first = first && p.in.answered == 0;
        return (p.in.answered & all) == all;
    });
    if (result == SERIAL_OK) result = check_acknowledged(p, asked, length);
    if (result != SERIAL_OK) return result;
    net_port_note(p, "; asked for %lu baud, %u data bits, %s parity, %u stop bit%s, no flow control",
         static_cast<unsigned long>(line.baud), line.data_bits,
         line.parity == 0 ? "no" : line.parity == 1 ? "odd" : "even", line.stop_bits,
         line.stop_bits == 1 ? "" : "s");
    if ((p.in.answered & all) == all) {
        net_port_note(p, ", each acknowledged as asked");
    } else {
        net_port_note(p, "; not acknowledged within %lu ms, going on without:",
             static_cast<unsigned long>(wait));
        for (uint8_t request = SET_BAUDRATE; request <= SET_CONTROL; ++request) {
            if ((p.in.answered & 1u << request) == 0) net_port_note(p, " %s", REQUEST_NAMES[request]);
        }
    }
    return SERIAL_OK;
}

int32_t rfc2217_request(net_port& p, uint8_t request, const uint8_t* value, size_t length)
{
    uint8_t out[REQUEST_SIZE];
    return net_port_send(p, out, encode_request(request, value, length, out),
                      SERIAL_CONNECT_TIMEOUT_MS);
}
