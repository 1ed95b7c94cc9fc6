// The driver's event message table: ids, number of insertion strings, and texts exactly as the
// event viewer shows them (%1 the driver's name, %2 and %3 the insertion strings).
#pragma once

#include <cstdint>

constexpr uint32_t QUEV_INTERNAL_ERROR = 0x404F0001;
constexpr uint32_t QUEV_BUS_RESET = 0x804F0007;
constexpr uint32_t QUEV_CONFIG_NOT_APPLIED = 0x804F000A;
constexpr uint32_t QUEV_UNLOADED = 0xC04F0002;
constexpr uint32_t QUEV_TOO_MANY_TARGETS = 0xC04F0003;
constexpr uint32_t QUEV_CONFIG_INTERNAL_ERROR = 0xC04F0004;
constexpr uint32_t QUEV_DUPLICATE_ADDRESS = 0xC04F0005;
constexpr uint32_t QUEV_CONNECT_FAILED = 0xC04F0006;
constexpr uint32_t QUEV_CONFIG_NOT_FOUND = 0xC04F0008;
constexpr uint32_t QUEV_LOGIN_REJECTED = 0xC04F0009;
constexpr uint32_t QUEV_RELOGIN_REJECTED = 0xC04F000B;

struct QUEV_MESSAGE {
    uint32_t id;
    uint32_t insertionStrings;
    const char* text;
};

constexpr int QUEV_MESSAGE_COUNT = 11;
extern const QUEV_MESSAGE quevMessageTable[QUEV_MESSAGE_COUNT];

// The entry for an id, or null when the id is not in the table.
const QUEV_MESSAGE* quevFindMessage(uint32_t id);
