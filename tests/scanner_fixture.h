// Fresh scanner state and a fresh stand-in card for every case; no case may leave a call
// behind that real Windows would refuse.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "captured_run.h"
#include "fake_kernel32.h"
#include "smbus_scan.h"

// The scanner with its arguments as typed, as its native main runs it.
inline int run_typed_scan(int argc, char* argv[]) {
    return run_smbus_scan(argc, argv, nullptr);
}

class ScannerTest : public testing::Test {
  protected:
    void SetUp() override {
        start_address = default_start_address;
        end_address = default_end_address;
        fake_kernel32_reset();
    }
    void TearDown() override { EXPECT_EQ(fake_kernel32_violations(), std::vector<std::string>{}); }

    static captured_run scan(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), "smbus_scan");
        return run_captured(run_typed_scan, arguments);
    }
};

inline const std::string open_call =
    "CreateFileW(\\\\.\\RURIDODAV, 0xc0000000, 3, null, 3, 0x0, null)";

inline std::vector<int> address_range(int first, int last) {
    std::vector<int> addresses;
    for (int address = first; address <= last; ++address) {
        addresses.push_back(address);
    }
    return addresses;
}
