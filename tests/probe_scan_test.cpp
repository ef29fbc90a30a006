#include "scanner_fixture.h"

namespace {

const std::string open_call = "CreateFileW(\\\\.\\RURIDODAV, 0xc0000000, 3, null, 3, 0x0, null)";

std::string probe_call(int address) {
    char text[128];
    std::snprintf(text, sizeof text,
                  "DeviceIoControl(device, 0x01161c00, in=[%02x 00 ff]/3, out=buffer/1, returned, "
                  "no overlapped)",
                  address);
    return text;
}

int count_absent_cells(const std::string& grid) {
    int cells = 0;
    for (std::size_t at = grid.find("--  "); at != std::string::npos;
         at = grid.find("--  ", at + 4)) {
        ++cells;
    }
    return cells;
}

TEST_F(ScannerTest, SendsOneWellFormedRequestPerAddressAndReadsTheErrorOnlyAfterAFailure) {
    captured_run run = scan({"s", "0x17", "e", "0x19"});
    EXPECT_EQ(fake_kernel32_calls(),
              (std::vector<std::string>{open_call, probe_call(0x17), "GetLastError() = 55",
                                        probe_call(0x18), probe_call(0x19), "GetLastError() = 55",
                                        "CloseHandle(device)"}));
    EXPECT_EQ(run.status, 0);
}

TEST_F(ScannerTest, DefaultRunProbesTheCardAndPrintsTheWorkedExample) {
    captured_run run = scan({});
    EXPECT_EQ(fake_probed_addresses(), address_range(0x18, 0x27));
    EXPECT_EQ(run.out,
              lines({"      0   1   2   3   4   5   6   7   8   9   a   b   c   d   e   f  ",
                     " 0   --  --  --  --  --  --  --  --  --  --  --  --  --  --  --  --  ",
                     "10   --  --  --  --  --  --  --  --  18  --  --  --  --  --  --  --  ",
                     "20   20  --  --  --  --  --  --  --  --  --  --  --  --  --  --  --  ",
                     "30   --  --  --  --  --  --  --  --  --  --  --  --  --  --  --  --  ",
                     "40   --  --  --  --  --  --  --  --  --  --  --  --  --  --  --  --  ",
                     "50   --  --  --  --  --  --  --  --  --  --  --  --  --  --  --  --  ",
                     "60   --  --  --  --  --  --  --  --  --  --  --  --  --  --  --  --  ",
                     "70   --  --  --  --  --  --  --  --  --  --  --  --  --  --  --  --  "}));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
}

TEST_F(ScannerTest, HandleIsClosedOnceBeforeAnythingIsPrinted) {
    captured_run run = scan({"s", "0", "e", "0x7f"});
    EXPECT_EQ(fake_kernel32_calls().back(), "CloseHandle(device)");
    EXPECT_EQ(fake_stdout_bytes_at_close(), 0);
    EXPECT_EQ(run.status, 0);
}

TEST_F(ScannerTest, FullRangeScanMarksEveryAnsweringAddress) {
    fake_set_all_probe_answers(0);
    fake_set_probe_answer(0x00, ERROR_DEV_NOT_EXIST);
    fake_set_probe_answer(0x45, ERROR_DEV_NOT_EXIST);
    captured_run run = scan({"s", "0", "e", "0x7f"});
    EXPECT_EQ(fake_probed_addresses(), address_range(0, 0x7f));
    EXPECT_NE(run.out.find("\n 0   --   1   2   3"), std::string::npos);
    EXPECT_NE(run.out.find("\n40   40  41  42  43  44  --  46"), std::string::npos);
    EXPECT_NE(run.out.find("7e  7f  \n"), std::string::npos);
    EXPECT_EQ(run.status, 0);
}

TEST_F(ScannerTest, EveryAddressAbsentGivesAnEmptyGrid) {
    fake_set_all_probe_answers(ERROR_DEV_NOT_EXIST);
    captured_run run = scan({});
    EXPECT_EQ(fake_probed_addresses(), address_range(0x18, 0x27));
    EXPECT_EQ(count_absent_cells(run.out), 128);
    EXPECT_EQ(run.status, 0);
}

struct early_stop_case {
    std::vector<std::string> arguments;
    int failing_address;
    DWORD error;
    std::vector<int> probed;
    const char* message;
};

TEST_F(ScannerTest, AnyOtherErrorStopsTheScanPrintsWhatWasFoundAndFails) {
    const early_stop_case cases[] = {
        {{}, 0x18, 121, {0x18}, "Error: the scan stopped at address 0x18, error 121\n"},
        {{},
         0x20,
         31,
         address_range(0x18, 0x20),
         "Error: the scan stopped at address 0x20, error 31\n"},
        {{},
         0x27,
         1167,
         address_range(0x18, 0x27),
         "Error: the scan stopped at address 0x27, error 1167\n"},
        {{"s", "5", "e", "5"},
         5,
         0xdeadbeef,
         {5},
         "Error: the scan stopped at address 0x05, error 3735928559\n"},
        {{"s", "0", "e", "0x7f"},
         0x7f,
         2,
         address_range(0, 0x7f),
         "Error: the scan stopped at address 0x7f, error 2\n"},
    };
    for (const early_stop_case& c : cases) {
        SetUp();
        fake_set_probe_answer(c.failing_address, c.error);
        captured_run run = scan(c.arguments);
        EXPECT_EQ(fake_probed_addresses(), c.probed) << c.failing_address;
        EXPECT_EQ(fake_kernel32_calls().back(), "CloseHandle(device)") << c.failing_address;
        EXPECT_EQ(run.err, c.message);
        EXPECT_EQ(run.status, -1) << c.failing_address;
        EXPECT_EQ(run.out.size(), 9u * 70u) << c.failing_address;
        // What was found before the stop is still shown; the failed address is not.
        bool card_found = c.failing_address > 0x18;
        EXPECT_EQ(run.out.find("18  ") != std::string::npos, card_found) << c.failing_address;
    }
}

TEST_F(ScannerTest, StopAtTheMiddleLeavesTheRestUnprobedAndAbsent) {
    fake_set_probe_answer(0x20, 121);
    fake_set_probe_answer(0x21, 0);
    captured_run run = scan({});
    EXPECT_EQ(fake_probed_addresses(), address_range(0x18, 0x20));
    EXPECT_NE(run.out.find("\n10   --  --  --  --  --  --  --  --  18  "), std::string::npos);
    EXPECT_NE(run.out.find("\n20   --  --  --"), std::string::npos);
}

TEST_F(ScannerTest, MissingDeviceSaysSoAndNothingElse) {
    const std::vector<std::vector<std::string>> command_lines = {{}, {"s", "0", "e", "0x7f"}};
    for (const std::vector<std::string>& arguments : command_lines) {
        SetUp();
        fake_set_device_present(false);
        captured_run run = scan(arguments);
        EXPECT_EQ(run.out, "INVALID_HANDLE_VALUE");
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.status, -1);
        EXPECT_EQ(fake_kernel32_calls(), std::vector<std::string>{open_call});
    }
}

} // namespace
