#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "captured_run.h"
#include "case_tables.h"
#include "kiv_reset.h"
#include "option_scanner.h"

namespace {

// The stand-in library appends each call it receives to the file named in KIV_STANDIN_LOG
// and answers the reset operations with KIV_STANDIN_RESULT.
class ResetCaseTest : public testing::TestWithParam<table_case> {
  protected:
    void SetUp() override {
        next_arg_index = 1;
        option_value = nullptr;
        log_path = testing::TempDir() + "kiv_standin_calls.log";
        std::remove(log_path.c_str());
        setenv("KIV_STANDIN_LOG", log_path.c_str(), 1);
        unsetenv("KIV_STANDIN_RESULT");
    }
    void TearDown() override {
        unsetenv("KIV_STANDIN_LOG");
        unsetenv("KIV_STANDIN_RESULT");
    }

    std::string log_path;
};

TEST_P(ResetCaseTest, BehavesAsTheTableSays) {
    const json& table = GetParam().table;
    const json& entry = GetParam().entry;
    if (entry.contains("result")) {
        setenv("KIV_STANDIN_RESULT", std::to_string(entry["result"].get<int>()).c_str(), 1);
    }
    std::vector<std::string> arguments = case_arguments(entry);
    arguments.insert(arguments.begin(), "kiv_reset");

    // The stand-in is linked: there is nothing to load natively.
    captured_run run = run_captured(
        [](int argc, char* argv[]) { return run_kiv_reset(argc, argv, nullptr); }, arguments);

    EXPECT_EQ(file_lines(log_path), entry["calls"].get<std::vector<std::string>>());
    EXPECT_EQ(run.out, expected_text(entry, "out", table["usage"], "kiv_reset", ""));
    EXPECT_EQ(run.err, expected_text(entry, "err", table["usage"], "kiv_reset", ""));
    EXPECT_EQ(run.status, entry["status"].get<int>());
}

INSTANTIATE_TEST_SUITE_P(Table, ResetCaseTest, testing::ValuesIn(load_cases("reset_cases.json")),
                         case_test_name);

} // namespace
