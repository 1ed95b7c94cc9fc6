// A scripted target at the byte level, for the negotiation through the engine's real text
// exchange: every write is recorded as header and data bytes, and each timed header read and
// each data read is served from prepared responses. A response header is completed at read time
// with the task tag of the last request, as a target echoes it.
#pragma once

#include "driver/engine/engine.h"

#include <deque>
#include <string>
#include <vector>

namespace wire {

struct Sent {
    std::vector<UCHAR> header;
    std::string data; // as written, padding included
};

struct Response {
    std::vector<UCHAR> header; // 48 bytes; bytes 16-19 are filled with the request's tag
    std::string data;          // read with the untimed read, padding included
};

struct Target {
    std::vector<Sent> sent;
    std::deque<Response> responses;
    Response current; // the response whose header was read last
    int breaks = 0;
    int failSends = 0; // the next n writes fail
};

Target& target();
void reset();

} // namespace wire
