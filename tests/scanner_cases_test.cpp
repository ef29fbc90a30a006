#include <cstdio>

#include "case_tables.h"
#include "scanner_fixture.h"

// Linked with --wrap (tests/CMakeLists.txt): every write and flush of the scanner poisons the
// stand-in's last error, as the Windows runtime may, so that an error read after the
// INVALID_HANDLE_VALUE is written, or after its flush, no longer says why the open failed.
// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" {
std::size_t __real_fwrite(const void* data, std::size_t size, std::size_t count, std::FILE* stream);
int __real_fputs(const char* text, std::FILE* stream);
int __real_fputc(int character, std::FILE* stream);
int __real_fflush(std::FILE* stream);

std::size_t __wrap_fwrite(const void* data, std::size_t size, std::size_t count,
                          std::FILE* stream) {
    fake_poison_last_error();
    return __real_fwrite(data, size, count, stream);
}
int __wrap_fputs(const char* text, std::FILE* stream) {
    fake_poison_last_error();
    return __real_fputs(text, stream);
}
int __wrap_fputc(int character, std::FILE* stream) {
    fake_poison_last_error();
    return __real_fputc(character, stream);
}
int __wrap_fflush(std::FILE* stream) {
    fake_poison_last_error();
    return __real_fflush(stream);
}
}
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)

namespace {

class ScannerCaseTest : public ScannerTest, public testing::WithParamInterface<table_case> {};

TEST_P(ScannerCaseTest, BehavesAsTheTableSays) {
    const json& table = GetParam().table;
    const json& entry = GetParam().entry;

    fake_set_all_probe_answers(ERROR_DEV_NOT_EXIST);
    std::set<int> present = {0x18, 0x20};
    if (entry.contains("present")) {
        present.clear();
        for (const json& address : entry["present"]) {
            present.insert(hex_address(address));
        }
    }
    for (int address : present) {
        fake_set_probe_answer(address, 0);
    }
    int fail_address = -1;
    if (entry.contains("fail")) {
        fail_address = hex_address(entry["fail"]["address"]);
        std::string kind = entry["fail"]["with"].get<std::string>();
        fake_set_probe_answer(fail_address, table["failures"][kind]["error"].get<DWORD>());
    }
    fake_set_open_error(entry.value("open_error", DWORD{0}));

    std::vector<int> probed;
    std::set<int> shown;
    if (entry.contains("probed")) {
        probed = address_range(hex_address(entry["probed"][0]), hex_address(entry["probed"][1]));
        for (int address : probed) {
            if (present.count(address) != 0 && address != fail_address) {
                shown.insert(address);
            }
        }
    }

    std::vector<std::string> arguments = case_arguments(entry);
    const std::string program = entry.value("program", "smbus_scan");
    arguments.insert(arguments.begin(), program);
    std::vector<std::wstring> typed = case_typed_arguments(entry);
    typed.insert(typed.begin(), as_typed(program));
    std::vector<const wchar_t*> typed_argv;
    typed_argv.reserve(typed.size() + 1);
    for (const std::wstring& argument : typed) {
        typed_argv.push_back(argument.c_str());
    }
    typed_argv.push_back(nullptr);
    captured_run run = run_captured(
        [&typed_argv](int argc, char* argv[]) {
            return run_smbus_scan(argc, argv, typed_argv.data());
        },
        arguments, case_streams(entry));

    std::string expected_out =
        entry.contains("out_text")
            ? entry["out_text"].get<std::string>()
            : expected_text(entry, "out", table["usage"], program, grid_showing(shown));
    EXPECT_EQ(run.out, expected_out);
    EXPECT_EQ(run.err, expected_text(entry, "err", table["usage"], program, ""));
    EXPECT_EQ(run.status, entry["status"].get<int>());
    EXPECT_EQ(fake_probed_addresses(), probed);
    if (!entry.contains("probed")) {
        // A rejected line opens nothing; a device that won't open is only tried, and its
        // error read.
        std::vector<std::string> expected_calls;
        if (entry.value("out_text", "").rfind("INVALID_HANDLE_VALUE", 0) == 0) {
            expected_calls = {open_call, "GetLastError() = " +
                                             std::to_string(entry.value("open_error", DWORD{0}))};
        }
        EXPECT_EQ(fake_kernel32_calls(), expected_calls);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, ScannerCaseTest,
                         testing::ValuesIn(load_cases("scanner_cases.json")), case_test_name);

} // namespace
