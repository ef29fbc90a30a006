#include <cstdlib>

#include "case_tables.h"
#include "program_name.h"
#include "scanner_fixture.h"

namespace {

std::string scanner_usage(const std::string& program) {
    return usage_text(load_case_file("scanner_cases.json")["usage"], program);
}

// The console's code page, the name Windows hands over, and its bytes in that code page:
// U+00E4 is 0x84 in code page 437, 0xe4 in 1252 (the ANSI code page here, which Windows
// uses without a console, code page 0) and c3 a4 in UTF-8.
struct invoked_name {
    UINT console_code_page;
    const wchar_t* wide;
    const char* shown;
};
constexpr invoked_name invoked_names[] = {
    {437, L"C:\\tools\\smbus_scan.exe", "C:\\tools\\smbus_scan.exe"},
    {437, L"C:\\t\u00e4\\smbus_scan.exe", "C:\\t\x84\\smbus_scan.exe"},
    {65001, L"C:\\t\u00e4\\smbus_scan.exe", "C:\\t\xc3\xa4\\smbus_scan.exe"},
    {0, L"C:\\t\u00e4\\smbus_scan.exe", "C:\\t\xe4\\smbus_scan.exe"},
};

TEST_F(ScannerTest, UsageNamesTheProgramAsInvokedInTheConsolesCodePage) {
    for (const invoked_name& name : invoked_names) {
        fake_set_console_output_cp(name.console_code_page);
        char* program = program_name_for_console(name.wide);
        ASSERT_NE(program, nullptr) << name.shown;
        captured_run run = run_captured(run_typed_scan, {program, "x"});
        std::free(program);
        EXPECT_EQ(run.out, scanner_usage(name.shown)) << name.shown;
        EXPECT_EQ(run.status, -1);
    }
}

TEST_F(ScannerTest, AnEmptyArgumentVectorProbesNothing) {
    captured_run run = run_captured(run_typed_scan, {});
    EXPECT_EQ(run.out, scanner_usage("smbus_scan"));
    EXPECT_EQ(run.status, -1);
    EXPECT_EQ(fake_kernel32_calls(), std::vector<std::string>{});
}

} // namespace
