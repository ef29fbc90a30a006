#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "captured_run.h"
#include "kiv_reset.h"
#include "option_scanner.h"

namespace {

const std::string usage = "Usage: kiv_reset -d [io|mcu|hid]\n"
                          "                 -i [device_id], reset device id\n"
                          "                 -h help\n";

class ResetCommandTest : public testing::Test {
  protected:
    void SetUp() override {
        next_arg_index = 1;
        option_value = nullptr;
        log_path = testing::TempDir() + "kiv_standin_calls.log";
        std::remove(log_path.c_str());
        setenv("KIV_STANDIN_LOG", log_path.c_str(), 1);
        unsetenv("KIV_STANDIN_RESULT");
    }
    void TearDown() override { unsetenv("KIV_STANDIN_LOG"); }

    std::vector<std::string> library_calls() const {
        std::vector<std::string> calls;
        std::ifstream log(log_path);
        for (std::string line; std::getline(log, line);) {
            calls.push_back(line);
        }
        return calls;
    }

    std::string log_path;
};

struct reset_case {
    std::vector<std::string> arguments;
    std::vector<std::string> calls_after_init;
};

TEST_F(ResetCommandTest, OptionsChooseExactlyOneOperation) {
    const reset_case cases[] = {
        {{}, {"pelk_reset_all"}},
        {{"-i", "3"}, {"pelk_reset 3"}},
        {{"-a", "3"}, {"pelk_discard 3"}},
        {{"-a", "3", "-i", "5"}, {"pelk_discard 5"}},
        {{"-i", "5", "-a", "3"}, {"pelk_discard 3"}},
        {{"-i", "255"}, {"pelk_reset_all"}},
        {{"-a", "255"}, {"pelk_reset_all"}},
        {{"-a", "3", "-i", "255"}, {"pelk_reset_all"}},
        {{"-i", "300"}, {"pelk_reset 300"}},
        {{"-i", "0"}, {"pelk_reset 0"}},
        {{"-i", "  +7"}, {"pelk_reset 7"}},
        {{"-i", "007"}, {"pelk_reset 7"}},
        {{"-i", "2147483647"}, {"pelk_reset 2147483647"}},
        {{"-d", "mcu", "-i", "2"}, {"pelk_set_device 1", "pelk_reset 2"}},
        {{"-d", "io", "-d", "hid"}, {"pelk_set_device 0", "pelk_set_device 2", "pelk_reset_all"}},
        {{"-d", "usb", "-a", "4"}, {"pelk_set_device 3", "pelk_discard 4"}},
        {{"-i", "4", "-d", "hid"}, {"pelk_set_device 2", "pelk_reset 4"}},
        {{"stray", "-i", "6", "words"}, {"pelk_reset 6"}},
    };
    for (const reset_case& c : cases) {
        SetUp();
        std::vector<std::string> arguments = c.arguments;
        arguments.insert(arguments.begin(), "kiv_reset");
        captured_run run = run_captured(run_kiv_reset, arguments);
        std::vector<std::string> expected_calls = c.calls_after_init;
        expected_calls.insert(expected_calls.begin(), "pelk_kiv_init");
        std::string label = testing::PrintToString(c.arguments);
        EXPECT_EQ(library_calls(), expected_calls) << label;
        EXPECT_EQ(run.out, "Success\n") << label;
        EXPECT_EQ(run.err, "") << label;
        EXPECT_EQ(run.status, 0) << label;
    }
}

struct refused_case {
    std::vector<std::string> arguments;
    std::vector<std::string> calls_after_init;
    std::string out;
    std::string err;
    int status;
};

TEST_F(ResetCommandTest, HelpAndRejectedCommandLinesResetNothing) {
    const refused_case cases[] = {
        {{"-h"}, {}, "", usage, 0},
        {{"-i", "2", "-h"}, {}, "", usage, 0},
        {{"-d", "io", "-h", "-i", "3"}, {"pelk_set_device 0"}, "", usage, 0},
        {{"-d", "MCU"}, {}, "MCU is not supported\n", "", 2},
        {{"-d", "pcie", "-i", "3"}, {}, "pcie is not supported\n", "", 2},
        {{"-d", "io", "-d", "pcie"}, {"pelk_set_device 0"}, "pcie is not supported\n", "", 2},
        {{"--help"}, {}, "", "kiv_reset: unknown option --help\n" + usage, 2},
        {{"-x"}, {}, "", "kiv_reset: unknown option -x\n" + usage, 2},
        {{"-?"}, {}, "", "kiv_reset: unknown option -?\n" + usage, 2},
        {{"-H"}, {}, "", "kiv_reset: unknown option -H\n" + usage, 2},
        {{"-i5"}, {}, "", "kiv_reset: unknown option -i5\n" + usage, 2},
        {{"-"}, {}, "", "kiv_reset: unknown option -\n" + usage, 2},
        {{"-i", "2", "-x", "-i", "3"}, {}, "", "kiv_reset: unknown option -x\n" + usage, 2},
        {{"-d", "hid", "-x"},
         {"pelk_set_device 2"},
         "",
         "kiv_reset: unknown option -x\n" + usage,
         2},
        {{"-i", "-1"}, {}, "", "kiv_reset: option -i needs a value\n" + usage, 2},
        {{"-i"}, {}, "", "kiv_reset: option -i needs a value\n" + usage, 2},
        {{"-a"}, {}, "", "kiv_reset: option -a needs a value\n" + usage, 2},
        {{"-d", "-i", "3"}, {}, "", "kiv_reset: option -d needs a value\n" + usage, 2},
        {{"-i", "abc"}, {}, "", "kiv_reset: invalid device id abc\n" + usage, 2},
        {{"-i", "3x"}, {}, "", "kiv_reset: invalid device id 3x\n" + usage, 2},
        {{"-i", ""}, {}, "", "kiv_reset: invalid device id \n" + usage, 2},
        {{"-i", " "}, {}, "", "kiv_reset: invalid device id  \n" + usage, 2},
        {{"-i", "+"}, {}, "", "kiv_reset: invalid device id +\n" + usage, 2},
        {{"-i", "3 "}, {}, "", "kiv_reset: invalid device id 3 \n" + usage, 2},
        {{"-i", " -3"}, {}, "", "kiv_reset: invalid device id  -3\n" + usage, 2},
        {{"-i", "0x10"}, {}, "", "kiv_reset: invalid device id 0x10\n" + usage, 2},
        {{"-i", "2147483648"}, {}, "", "kiv_reset: invalid device id 2147483648\n" + usage, 2},
        {{"-a", "99999999999999999999"},
         {},
         "",
         "kiv_reset: invalid device id 99999999999999999999\n" + usage,
         2},
        {{"-i", "3", "-a", "x"}, {}, "", "kiv_reset: invalid device id x\n" + usage, 2},
    };
    for (const refused_case& c : cases) {
        SetUp();
        std::vector<std::string> arguments = c.arguments;
        arguments.insert(arguments.begin(), "kiv_reset");
        captured_run run = run_captured(run_kiv_reset, arguments);
        std::vector<std::string> expected_calls = c.calls_after_init;
        expected_calls.insert(expected_calls.begin(), "pelk_kiv_init");
        std::string label = testing::PrintToString(c.arguments);
        EXPECT_EQ(library_calls(), expected_calls) << label;
        EXPECT_EQ(run.out, c.out) << label;
        EXPECT_EQ(run.err, c.err) << label;
        EXPECT_EQ(run.status, c.status) << label;
    }
}

struct failure_case {
    std::vector<std::string> arguments;
    const char* result;
    std::string operation;
};

TEST_F(ResetCommandTest, AFailedOperationPrintsThePrefixThenTheLibrarysOwnDescription) {
    const failure_case cases[] = {
        {{}, "7", "pelk_reset_all"},
        {{"-i", "3"}, "-2", "pelk_reset 3"},
        {{"-a", "3"}, "1", "pelk_discard 3"},
    };
    for (const failure_case& c : cases) {
        SetUp();
        setenv("KIV_STANDIN_RESULT", c.result, 1);
        std::vector<std::string> arguments = c.arguments;
        arguments.insert(arguments.begin(), "kiv_reset");
        captured_run run = run_captured(run_kiv_reset, arguments);
        EXPECT_EQ(library_calls(),
                  (std::vector<std::string>{"pelk_kiv_init", c.operation,
                                            std::string("pelk_get_error_string ") + c.result}));
        EXPECT_EQ(run.out,
                  std::string("kiv_reset fail for:\tboard control error ") + c.result + "\n");
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.status, 1);
    }
}

} // namespace
