#include "scanner_fixture.h"

namespace {

TEST_F(ScannerTest, UsageNamesTheProgramAsItWasInvoked) {
    std::vector<std::string> arguments = {"C:\\tools\\smbus_scan.exe", "x"};
    captured_run run = run_captured(run_smbus_scan, arguments);
    EXPECT_EQ(run.out, usage_text("C:\\tools\\smbus_scan.exe"));
    EXPECT_EQ(run.status, -1);
}

TEST_F(ScannerTest, AnEmptyArgumentVectorProbesNothing) {
    char* argv[] = {nullptr};
    testing::internal::CaptureStdout();
    int status = run_smbus_scan(0, argv);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), usage_text("smbus_scan"));
    EXPECT_EQ(status, -1);
    EXPECT_EQ(fake_kernel32_calls(), std::vector<std::string>{});
}

} // namespace
