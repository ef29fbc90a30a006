// Prints the presence table as 8 rows of 16 addresses.
#pragma once

#include <cstdint>

#include "smbus_probe.h"

void print_presence_grid(const std::int32_t presence_table[SMBUS_ADDRESS_COUNT]);
