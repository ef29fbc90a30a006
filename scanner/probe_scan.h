// Walks an address range on the card's SMBus, one probe request per address.
#pragma once

#include <cstdint>

#include "smbus_probe.h"

struct scan_outcome {
    bool device_opened;
    std::uint32_t open_error; // when the device did not open
    bool stopped_early;
    std::int32_t stop_address;
    std::uint32_t stop_error;
};

// Fills presence_table (index = address) for first..last, which must lie within
// 0x00..0x7F. Prints "INVALID_HANDLE_VALUE" when the device won't open.
scan_outcome probe_scan(std::int32_t first, std::int32_t last,
                        std::int32_t presence_table[SMBUS_ADDRESS_COUNT]);
