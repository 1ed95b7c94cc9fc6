// The steps of `quevi run`: their syntax, and carrying them out on one bus through the host's
// SCSI pass-through and configuration tool, each giving one JSON object.
#pragma once

#include "tool/host.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace quevi::cli {

enum class StepKind {
    Inquiry,
    ReadCap,
    Tur,
    Read,
    Write,
    Abort,
    Query,
    Text,
    Reset,
    Remove,
    Sleep,
    Events
};

struct Step {
    StepKind kind = StepKind::Tur;
    uint8_t lun = 0;
    uint32_t lba = 0;
    uint16_t count = 0;
    uint32_t seed = 0;
    uint32_t ms = 0; // abort delay, sleep
    std::string text;
};

// One step as written on the command line; nullopt with a message when it does not read. A step
// that names no LUN goes to `lun`.
std::optional<Step> parseStep(const std::string& word, std::string& error, uint8_t lun = 0);

// Byte i of a write step's data.
inline uint8_t patternByte(uint32_t seed, uint64_t i) {
    return static_cast<uint8_t>((seed + i + (i >> 9)) & 0xFF);
}

class StepRunner {
public:
    // Once `stop` is set, a sleep step ends early and no step prints its line.
    StepRunner(tool::Host& host, uint8_t bus, uint32_t ipAddress,
               const std::atomic<bool>* stop = nullptr)
        : host_(host), bus_(bus), ipAddress_(ipAddress), stop_(stop) {}

    // Runs one step and prints its JSON line(s) to stdout; false when a request did not complete
    // within the host's wait (the run cannot go on).
    bool run(const Step& step);

private:
    bool scsiStep(const Step& step);
    bool abortStep(const Step& step);
    void print(const nlohmann::ordered_json& line);

    tool::Host& host_;
    uint8_t bus_;
    uint32_t ipAddress_;
    const std::atomic<bool>* stop_;
    std::map<uint8_t, uint32_t> blockSize_; // from the last successful readcap of each LUN
};

} // namespace quevi::cli
