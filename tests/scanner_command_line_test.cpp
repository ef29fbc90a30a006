#include "scanner_fixture.h"

namespace {

const char* const start_keyword_error =
    "Error: the start address parameter error, please check it and try again";
const char* const start_unrecognized = "Error: the start address parameter can't be recognized";
const char* const end_keyword_error =
    "Error: the end address parameter error, please check it and try again";
const char* const end_unrecognized = "Error: the end address parameter can't be recognized";
const char* const out_of_scale = "Error: The address is out of scale";
const char* const start_is_big = "Error: The start address is big";

struct rejected_case {
    std::vector<std::string> arguments;
    const char* error_line; // nullptr: the usage text alone
};

TEST_F(ScannerTest, RejectedCommandLinesPrintOneErrorAndUsageAndProbeNothing) {
    const rejected_case cases[] = {
        {{"s"}, nullptr},
        {{"s", "20"}, nullptr},
        {{"s", "20", "e"}, nullptr},
        {{"s", "20", "e", "30", "x"}, nullptr},
        {{"S", "20", "E", "30"}, start_keyword_error},
        {{"x", "20", "e", "30"}, start_keyword_error},
        {{"", "20", "e", "30"}, start_keyword_error},
        {{"S", "zz", "E", "zz"}, start_keyword_error},
        {{"s", "zz", "e", "30"}, start_unrecognized},
        {{"s", "", "e", "30"}, start_unrecognized},
        {{"s", "  ", "e", "30"}, start_unrecognized},
        {{"s", "-", "e", "30"}, start_unrecognized},
        {{"s", "zz", "x", "zz"}, start_unrecognized},
        {{"s", "2147483648", "e", "30"}, start_unrecognized},
        {{"s", "-2147483649", "e", "30"}, start_unrecognized},
        {{"s", "99999999999999999999", "e", "30"}, start_unrecognized},
        {{"s", "-99999999999999999999", "e", "30"}, start_unrecognized},
        {{"s", "0x100000000", "e", "30"}, start_unrecognized},
        {{"s", "20", "E", "30"}, end_keyword_error},
        {{"s", "20", "", "30"}, end_keyword_error},
        // An end address that can't be read stops the run: no range nobody asked for.
        {{"s", "20", "e", "zz"}, end_unrecognized},
        {{"s", "50", "e", "zz"}, end_unrecognized},
        {{"s", "0", "e", "zz"}, end_unrecognized},
        {{"s", "20", "e", "2147483648"}, end_unrecognized},
        {{"s", "20", "e", "-2147483649"}, end_unrecognized},
        {{"s", "20", "e", "128"}, out_of_scale},
        {{"s", "20", "e", "0x80"}, out_of_scale},
        {{"s", "20", "e", "2147483647"}, out_of_scale},
        {{"s", "-3", "e", "10"}, out_of_scale},
        {{"s", "-1", "e", "0"}, out_of_scale},
        {{"s", "-2147483648", "e", "0x7f"}, out_of_scale},
        {{"s", "200", "e", "300"}, out_of_scale},
        {{"s", "40", "e", "30"}, start_is_big},
        {{"s", "0", "e", "-1"}, start_is_big},
        {{"s", "2147483647", "e", "5"}, start_is_big},
        {{"s", "0x7f", "e", "0x7e"}, start_is_big},
    };
    for (const rejected_case& c : cases) {
        SetUp();
        captured_run run = scan(c.arguments);
        std::string expected =
            (c.error_line ? lines({c.error_line}) : "") + usage_text("smbus_scan");
        std::string label = testing::PrintToString(c.arguments);
        EXPECT_EQ(run.out, expected) << label;
        EXPECT_EQ(run.err, "") << label;
        EXPECT_EQ(run.status, -1) << label;
        EXPECT_EQ(fake_kernel32_calls(), std::vector<std::string>{}) << label;
    }
}

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

struct accepted_case {
    std::vector<std::string> arguments;
    int first;
    int last;
};

TEST_F(ScannerTest, AcceptedCommandLinesProbeExactlyTheRangeTheyName) {
    const accepted_case cases[] = {
        {{}, 0x18, 0x27},
        {{"s", "0x10", "e", "0x1f"}, 0x10, 0x1f},
        {{"s", "0X10", "e", "0X1F"}, 0x10, 0x1f},
        {{"s", "030", "e", "40"}, 24, 40},
        {{"s", "5", "e", "5"}, 5, 5},
        {{"start", "20", "end", "30"}, 20, 30},
        {{"sz", "20", "ex", "30"}, 20, 30},
        {{"s", "20", "e", "0x7f"}, 20, 0x7f},
        {{"s", "24abc", "e", "30junk"}, 24, 30},
        {{"s", " \t24", "e", "  30"}, 24, 30},
        {{"s", "+24", "e", "+0x1e"}, 24, 30},
        {{"s", "-0", "e", "0"}, 0, 0},
        {{"s", "0", "e", "127"}, 0, 127},
        {{"s", "0x7f", "e", "0x7f"}, 0x7f, 0x7f},
        {{"s", "09", "e", "10"}, 0, 10}, // octal stops at the 9
    };
    for (const accepted_case& c : cases) {
        SetUp();
        captured_run run = scan(c.arguments);
        std::string label = testing::PrintToString(c.arguments);
        EXPECT_EQ(fake_probed_addresses(), address_range(c.first, c.last)) << label;
        EXPECT_EQ(run.status, 0) << label;
        EXPECT_EQ(run.err, "") << label;
        EXPECT_EQ(start_address, c.first) << label;
        EXPECT_EQ(end_address, c.last) << label;
        // The grid alone: a header and eight rows of 70 characters each.
        EXPECT_EQ(run.out.size(), 9u * 70u) << label;
    }
}

} // namespace
