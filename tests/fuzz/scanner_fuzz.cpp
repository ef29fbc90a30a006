// Drives smbus_scan from a fuzzed argument vector against a fuzzed card, and checks what
// must hold whatever the input. Input: a flags byte (bit 0: no device; 0xFF: an empty
// argument vector), 16 bytes of present-address bits, the address whose probe fails and
// its error (4 bytes, little-endian; 0 or an address above 0x7f: none), then the
// arguments separated by NUL bytes.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fake_kernel32.h"
#include "fuzz_support.h"
#include "smbus_scan.h"

namespace {

constexpr std::size_t header_size = 22;
constexpr std::size_t grid_size = std::size_t{9} * 70;
const char* const grid_header =
    "      0   1   2   3   4   5   6   7   8   9   a   b   c   d   e   f  \n";

void set_up_card(const std::uint8_t* header) {
    fake_kernel32_reset();
    fake_set_device_present((header[0] & 1) == 0);
    for (int address = 0; address < 128; ++address) {
        bool present = (header[1 + address / 8] >> (address % 8)) & 1;
        fake_set_probe_answer(address, present ? 0 : ERROR_DEV_NOT_EXIST);
    }
    DWORD error = static_cast<DWORD>(header[18]) | static_cast<DWORD>(header[19]) << 8 |
                  static_cast<DWORD>(header[20]) << 16 | static_cast<DWORD>(header[21]) << 24;
    if (header[17] < 128 && error != 0) {
        fake_set_probe_answer(header[17], error);
    }
}

long count_calls(const char* prefix) {
    const std::vector<std::string>& calls = fake_kernel32_calls();
    return std::count_if(calls.begin(), calls.end(),
                         [prefix](const std::string& call) { return call.rfind(prefix, 0) == 0; });
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::uint8_t header[header_size] = {};
    std::copy_n(data, std::min(size, header_size), header);
    set_up_card(header);
    fuzz_arguments arguments = split_arguments(data, size, header_size, "smbus_scan");
    start_address = default_start_address;
    end_address = default_end_address;

    capture_begin();
    int status = run_smbus_scan(arguments.argc, arguments.argv.data());
    captured_output output = capture_end();

    auto check = [&](bool holds, const char* what) {
        if (!holds) {
            invariant_broken(what, arguments.storage);
        }
    };
    check(fake_kernel32_violations().empty(), "a call that Windows would refuse");
    check(status == 0 || status == -1, "exit status other than 0 or -1");

    long opens = count_calls("CreateFileW");
    long closes = count_calls("CloseHandle");
    bool named_a_range = arguments.argc == 1 || arguments.argc == 5;
    check(opens <= 1, "device opened more than once");
    check(named_a_range || opens == 0, "device opened for a rejected command line");

    std::vector<int> probed = fake_probed_addresses();
    for (std::size_t i = 0; i < probed.size(); ++i) {
        check(probed[i] >= 0 && probed[i] <= 0x7f, "probe outside 0x00..0x7f");
        check(probed[i] >= start_address && probed[i] <= end_address,
              "probe outside the validated range");
        check(i == 0 || probed[i] > probed[i - 1], "addresses not strictly ascending");
    }
    if (!probed.empty() && arguments.argc == 5) {
        const std::vector<std::string>& words = arguments.storage;
        check(words[1].rfind('s', 0) == 0 && words[3].rfind('e', 0) == 0,
              "probes after a wrong keyword");
        long long named_start = std::strtoll(words[2].c_str(), nullptr, 0);
        long long named_end = std::strtoll(words[4].c_str(), nullptr, 0);
        check(probed.front() == named_start, "scan did not start at the address named");
        check(probed.back() <= named_end && named_end <= 0x7f, "probes past the end named");
    }

    bool opened = opens == 1 && fake_stdout_bytes_at_close() >= 0;
    if (opens == 1 && closes == 0) {
        check(output.out == "INVALID_HANDLE_VALUE", "something printed after INVALID_HANDLE_VALUE");
        check(status == -1, "a missing device did not fail the run");
        check(probed.empty(), "probes without a device");
    }
    if (opened) {
        check(closes == 1, "handle not closed exactly once");
        check(fake_kernel32_calls().back() == "CloseHandle(device)", "a call after the close");
        check(fake_stdout_bytes_at_close() == 0, "output before the handle was closed");
        check(output.out.size() == grid_size && output.out.rfind(grid_header, 0) == 0,
              "no complete grid after an open device");
    }
    if (status == 0) {
        check(opened && output.out.size() == grid_size, "exit 0 without a full grid");
        check(output.err.empty(), "exit 0 with an error on standard error");
    }
    return 0;
}
