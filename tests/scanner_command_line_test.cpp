#include "case_tables.h"
#include "scanner_fixture.h"

namespace {

std::string scanner_usage(const std::string& program) {
    return usage_text(load_case_file("scanner_cases.json")["usage"], program);
}

TEST_F(ScannerTest, UsageNamesTheProgramAsItWasInvoked) {
    std::vector<std::string> arguments = {"C:\\tools\\smbus_scan.exe", "x"};
    captured_run run = run_captured(run_smbus_scan, arguments);
    EXPECT_EQ(run.out, scanner_usage("C:\\tools\\smbus_scan.exe"));
    EXPECT_EQ(run.status, -1);
}

TEST_F(ScannerTest, AnEmptyArgumentVectorProbesNothing) {
    captured_run run = run_captured(run_smbus_scan, {});
    EXPECT_EQ(run.out, scanner_usage("smbus_scan"));
    EXPECT_EQ(run.status, -1);
    EXPECT_EQ(fake_kernel32_calls(), std::vector<std::string>{});
}

} // namespace
