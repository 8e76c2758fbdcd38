#include "telnet.h"

#include <cstring>
#include <initializer_list>

namespace telnet {

namespace {

void queue_reply(reader& r, uint8_t verb, uint8_t option)
{
    if (r.reply_length + 3 > sizeof r.replies) return;
    r.replies[r.reply_length++] = IAC;
    r.replies[r.reply_length++] = verb;
    r.replies[r.reply_length++] = option;
    (verb == WILL ? r.sent_will : verb == WONT ? r.sent_wont : verb == DO ? r.sent_do : r.sent_dont)
        .add(option);
}

// The server says it will, won't, wants us to, or wants us not to use an
// option. Binary transmission and no go-ahead are welcome both ways, the
// Com Port Control Option from this side; anything else (the server's echo
// above all) is declined. Each option is answered once, so that two sides
// never answer each other for ever.
void take_option(reader& r, uint8_t verb, uint8_t option)
{
    bool wanted = option == OPT_BINARY || option == OPT_SGA;
    if (verb == WILL) {
        if (wanted && !r.sent_do.has(option)) queue_reply(r, DO, option);
        if (!wanted && !r.sent_dont.has(option)) queue_reply(r, DONT, option);
    } else if (verb == DO) {
        if (option == OPT_COM_PORT) r.com_port_taken = true;
        wanted = wanted || option == OPT_COM_PORT;
        if (wanted && !r.sent_will.has(option)) queue_reply(r, WILL, option);
        if (!wanted && !r.sent_wont.has(option)) queue_reply(r, WONT, option);
    } else if (verb == DONT && option == OPT_COM_PORT) {
        r.com_port_refused = true;
    }
}

// A whole subnegotiation: the server's answers to requests are noted, with
// the values of those the line settings are checked by; its notifications
// (line and modem state) are of no use here.
void take_suboption(reader& r)
{
    if (r.sub_length < 2 || r.sub[0] != OPT_COM_PORT || r.sub[1] <= SERVER_ANSWER) return;
    unsigned request = r.sub[1] - SERVER_ANSWER;
    if (request >= 32) return;
    r.answered |= 1u << request;
    if (request > MAX_KEPT_REQUEST) return;
    size_t length = r.sub_length - 2;
    memcpy(r.answer[request], r.sub + 2, length < MAX_VALUE ? length : MAX_VALUE);
    r.answer_length[request] = static_cast<uint8_t>(length < 0xFF ? length : 0xFF);
}

void keep_sub(reader& r, uint8_t byte)
{
    if (r.sub_length < sizeof r.sub) r.sub[r.sub_length++] = byte;
}

}  // namespace

void start(reader& r, bool use_telnet)
{
    memset(&r, 0, sizeof r);
    r.telnet = use_telnet;
    r.at = state::DATA;
}

size_t offer(reader& r, uint8_t* out)
{
    const uint8_t offers[OFFER_SIZE] = {IAC, WILL, OPT_COM_PORT, IAC, WILL, OPT_BINARY, IAC, DO,
                                        OPT_BINARY, IAC, WILL, OPT_SGA, IAC, DO, OPT_SGA};
    for (uint8_t option : {OPT_COM_PORT, OPT_BINARY, OPT_SGA}) r.sent_will.add(option);
    for (uint8_t option : {OPT_BINARY, OPT_SGA}) r.sent_do.add(option);
    memcpy(out, offers, sizeof offers);
    return sizeof offers;
}

size_t take(reader& r, const uint8_t* bytes, size_t count, uint8_t* data, size_t room)
{
    size_t n = 0;
    auto put = [&](uint8_t byte) {
        if (n < room) {
            data[n++] = byte;
        } else {
            ++r.dropped;
        }
    };
    for (size_t i = 0; i < count; ++i) {
        uint8_t byte = bytes[i];
        if (!r.telnet) {
            put(byte);
            continue;
        }
        bool was_data = false;
        switch (r.at) {
        case state::DATA:
            if (byte == IAC) {
                r.at = state::COMMAND;
            } else {
                put(byte);
                was_data = true;
            }
            break;
        case state::COMMAND:
            r.at = state::DATA;
            if (byte == IAC) {
                put(IAC);  // a data byte 255, doubled on the wire
                was_data = true;
            } else if (byte >= WILL) {
                r.verb = byte;
                r.at = state::OPTION;
            } else if (byte == SB) {
                r.sub_length = 0;
                r.at = state::SUBOPTION;
            }
            break;  // other commands (NOP, data mark, go-ahead) carry nothing
        case state::OPTION:
            take_option(r, r.verb, byte);
            r.at = state::DATA;
            break;
        case state::SUBOPTION:
            if (byte == IAC) {
                r.at = state::SUBOPTION_IAC;
            } else {
                keep_sub(r, byte);
            }
            break;
        case state::SUBOPTION_IAC:
            if (byte == IAC) {
                keep_sub(r, IAC);
                r.at = state::SUBOPTION;
            } else {
                if (byte == SE) take_suboption(r);
                r.at = state::DATA;
            }
            break;
        }
        if (!was_data) ++r.commands;
    }
    return n;
}

size_t encode_request(uint8_t request, const uint8_t* value, size_t length, uint8_t* out)
{
    size_t n = 0;
    out[n++] = IAC;
    out[n++] = SB;
    out[n++] = OPT_COM_PORT;
    out[n++] = request;
    for (size_t i = 0; i < length && i < MAX_VALUE; ++i) {
        out[n++] = value[i];
        if (value[i] == IAC) out[n++] = IAC;
    }
    out[n++] = IAC;
    out[n++] = SE;
    return n;
}

size_t escape(const uint8_t* in, size_t count, uint8_t* out, size_t size, size_t* taken)
{
    size_t n = 0, i = 0;
    for (; i < count && n + 2 <= size; ++i) {
        out[n++] = in[i];
        if (in[i] == IAC) out[n++] = IAC;
    }
    *taken = i;
    return n;
}

}  // namespace telnet
