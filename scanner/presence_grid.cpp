#include <cstdio>

#include "presence_grid.h"

namespace {
constexpr int grid_columns = 16;
}

void print_presence_grid(const std::int32_t presence_table[SMBUS_ADDRESS_COUNT]) {
    std::printf("     ");
    for (int column = 0; column < grid_columns; ++column) {
        std::printf("%2x  ", column);
    }
    std::printf("\n");

    for (int row_base = 0; row_base < SMBUS_ADDRESS_COUNT; row_base += grid_columns) {
        std::printf("%2x   ", row_base);
        for (int column = 0; column < grid_columns; ++column) {
            int address = row_base + column;
            if (presence_table[address] == 1) {
                std::printf("%2x  ", address);
            } else {
                std::printf("--  ");
            }
        }
        std::printf("\n");
    }
}
