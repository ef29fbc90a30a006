#include <gtest/gtest.h>

#include <string>

#include "captured_run.h"
#include "presence_grid.h"

namespace {

std::string print_grid(const std::int32_t (&table)[SMBUS_ADDRESS_COUNT]) {
    testing::internal::CaptureStdout();
    print_presence_grid(table);
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

const std::string header =
    "      0   1   2   3   4   5   6   7   8   9   a   b   c   d   e   f  \n";
const std::string empty_cells =
    "--  --  --  --  --  --  --  --  --  --  --  --  --  --  --  --  \n";

TEST(PresenceGrid, PrintsTheWorkedExampleByteForByte) {
    std::int32_t table[SMBUS_ADDRESS_COUNT] = {};
    table[0x18] = 1;
    table[0x20] = 1;
    EXPECT_EQ(print_grid(table),
              lines({"      0   1   2   3   4   5   6   7   8   9   a   b   c   d   e   f  ",
                     " 0   --  --  --  --  --  --  --  --  --  --  --  --  --  --  --  --  ",
                     "10   --  --  --  --  --  --  --  --  18  --  --  --  --  --  --  --  ",
                     "20   20  --  --  --  --  --  --  --  --  --  --  --  --  --  --  --  ",
                     "30   --  --  --  --  --  --  --  --  --  --  --  --  --  --  --  --  ",
                     "40   --  --  --  --  --  --  --  --  --  --  --  --  --  --  --  --  ",
                     "50   --  --  --  --  --  --  --  --  --  --  --  --  --  --  --  --  ",
                     "60   --  --  --  --  --  --  --  --  --  --  --  --  --  --  --  --  ",
                     "70   --  --  --  --  --  --  --  --  --  --  --  --  --  --  --  --  "}));
}

TEST(PresenceGrid, EmptyTablePrintsOnlyAbsentCells) {
    std::int32_t table[SMBUS_ADDRESS_COUNT] = {};
    EXPECT_EQ(print_grid(table), header + " 0   " + empty_cells + "10   " + empty_cells + "20   " +
                                     empty_cells + "30   " + empty_cells + "40   " + empty_cells +
                                     "50   " + empty_cells + "60   " + empty_cells + "70   " +
                                     empty_cells);
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
        std::size_t row_start = header.size() + c.row_index * c.row.size();
        ASSERT_EQ(grid.size(), header.size() + 8 * (5 + empty_cells.size())) << c.address;
        EXPECT_EQ(grid.substr(row_start, c.row.size()), c.row) << c.address;
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
