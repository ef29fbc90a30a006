#include <gtest/gtest.h>

#include <string>

#include "captured_run.h"
#include "presence_grid.h"

namespace {

std::string print_grid(const std::int32_t (&table)[SMBUS_ADDRESS_COUNT]) {
    capture_begin();
    print_presence_grid(table);
    return capture_end().out;
}

constexpr std::size_t line_length = 70;

// Written out in full, relying on no builder: it checks the grid and the builders alike.
const std::string worked_example =
    lines({"      0   1   2   3   4   5   6   7   8   9   a   b   c   d   e   f  ",
           " 0   --  --  --  --  --  --  --  --  --  --  --  --  --  --  --  --  ",
           "10   --  --  --  --  --  --  --  --  18  --  --  --  --  --  --  --  ",
           "20   20  --  --  --  --  --  --  --  --  --  --  --  --  --  --  --  ",
           "30   --  --  --  --  --  --  --  --  --  --  --  --  --  --  --  --  ",
           "40   --  --  --  --  --  --  --  --  --  --  --  --  --  --  --  --  ",
           "50   --  --  --  --  --  --  --  --  --  --  --  --  --  --  --  --  ",
           "60   --  --  --  --  --  --  --  --  --  --  --  --  --  --  --  --  ",
           "70   --  --  --  --  --  --  --  --  --  --  --  --  --  --  --  --  "});

TEST(PresenceGrid, PrintsTheWorkedExampleByteForByte) {
    std::int32_t table[SMBUS_ADDRESS_COUNT] = {};
    table[0x18] = 1;
    table[0x20] = 1;
    EXPECT_EQ(print_grid(table), worked_example);
    EXPECT_EQ(grid_showing({0x18, 0x20}), worked_example) << "the tests' own grid builder";
}

TEST(PresenceGrid, EmptyTablePrintsOnlyAbsentCells) {
    std::int32_t table[SMBUS_ADDRESS_COUNT] = {};
    EXPECT_EQ(print_grid(table), grid_showing({}));
}

struct single_cell_case {
    int address;
    std::size_t row_index;
    std::string row;
};

TEST(PresenceGrid, SingleCellsAreSpacePaddedLowercaseHex) {
    const single_cell_case cases[] = {
        {0x05, 0, " 0   --  --  --  --  --   5  --  --  --  --  --  --  --  --  --  --  \n"},
        {0x00, 0, " 0    0  --  --  --  --  --  --  --  --  --  --  --  --  --  --  --  \n"},
        {0x7f, 7, "70   --  --  --  --  --  --  --  --  --  --  --  --  --  --  --  7f  \n"},
        {0x4a, 4, "40   --  --  --  --  --  --  --  --  --  --  4a  --  --  --  --  --  \n"},
    };
    for (const single_cell_case& c : cases) {
        std::int32_t table[SMBUS_ADDRESS_COUNT] = {};
        table[c.address] = 1;
        std::string grid = print_grid(table);
        ASSERT_EQ(grid.size(), 9 * line_length) << c.address;
        EXPECT_EQ(grid.substr((1 + c.row_index) * line_length, line_length), c.row) << c.address;
        EXPECT_EQ(grid, grid_showing({c.address})) << c.address;
    }
}

TEST(PresenceGrid, OnlyAFlagOfOneCountsAsPresent) {
    std::int32_t table[SMBUS_ADDRESS_COUNT] = {};
    table[0x10] = 2;
    table[0x11] = -1;
    std::int32_t empty[SMBUS_ADDRESS_COUNT] = {};
    EXPECT_EQ(print_grid(table), print_grid(empty));
}

} // namespace
