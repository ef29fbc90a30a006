#include "scanner_fixture.h"

namespace {

std::string probe_call(int address) {
    char text[128];
    std::snprintf(text, sizeof text,
                  "DeviceIoControl(device, 0x01161c00, in=[%02x 00 ff]/3, out=buffer/1, returned, "
                  "no overlapped)",
                  address);
    return text;
}

TEST_F(ScannerTest, SendsOneWellFormedRequestPerAddressAndReadsTheErrorOnlyAfterAFailure) {
    captured_run run = scan({"s", "0x17", "e", "0x19"});
    EXPECT_EQ(fake_kernel32_calls(),
              (std::vector<std::string>{open_call, probe_call(0x17), "GetLastError() = 55",
                                        probe_call(0x18), probe_call(0x19), "GetLastError() = 55",
                                        "CloseHandle(device)"}));
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

TEST_F(ScannerTest, EarlyStopClosesTheHandleAndReportsTheWholeErrorNumber) {
    fake_set_probe_answer(0x1a, 0xdeadbeef);
    captured_run run = scan({});
    EXPECT_EQ(fake_probed_addresses(), address_range(0x18, 0x1a));
    EXPECT_EQ(fake_kernel32_calls().back(), "CloseHandle(device)");
    EXPECT_EQ(fake_stdout_bytes_at_close(), 0);
    EXPECT_EQ(run.err, "Error: the scan stopped at address 0x1a, error 3735928559\n");
    EXPECT_EQ(run.status, -1);
}

} // namespace
