// Drives smbus_scan from a fuzzed argument vector against a fuzzed card, and checks what
// must hold whatever the input. Input: a flags byte (bit 0: no device; 0xFF: an empty
// argument vector), 16 bytes of present-address bits, the address whose probe fails and
// its error (4 bytes, little-endian; 0 or an address above 0x7f: none), then the
// arguments separated by NUL bytes.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "expected_output.h"
#include "fake_kernel32.h"
#include "fuzz_support.h"
#include "smbus_scan.h"

namespace {

constexpr std::size_t header_size = 22;
const std::string empty_grid = grid_showing({});
const std::size_t grid_size = empty_grid.size();
const std::string grid_header = empty_grid.substr(0, empty_grid.find('\n') + 1);

void set_up_card(const std::uint8_t* header) {
    fake_kernel32_reset();
    fake_set_open_error((header[0] & 1) != 0 ? ERROR_FILE_NOT_FOUND : 0);
    for (int address = 0; address < 128; ++address) {
        bool present = (header[1 + address / 8] >> (address % 8)) & 1;
        fake_set_probe_answer(address, present ? 0 : ERROR_DEV_NOT_EXIST);
    }
    DWORD error = little_endian_32(header + 18);
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

    // The arguments as typed: natively UTF-8, each byte of a character beyond ASCII above 0x7f.
    auto [status, output] = run_tool(
        [](int argc, char* argv[]) { return run_smbus_scan(argc, argv, nullptr); }, arguments);

    require(fake_kernel32_violations().empty(), "a call that Windows would refuse", arguments);
    require(status == 0 || status == -1, "exit status other than 0 or -1", arguments);

    long opens = count_calls("CreateFileW");
    long closes = count_calls("CloseHandle");
    bool named_a_range = arguments.argc == 1 || arguments.argc == 5;
    require(opens <= 1, "device opened more than once", arguments);
    require(named_a_range || opens == 0, "device opened for a rejected command line", arguments);

    std::vector<int> probed = fake_probed_addresses();
    for (std::size_t i = 0; i < probed.size(); ++i) {
        require(probed[i] >= 0 && probed[i] <= 0x7f, "probe outside 0x00..0x7f", arguments);
        require(probed[i] >= start_address && probed[i] <= end_address,
                "probe outside the validated range", arguments);
        require(i == 0 || probed[i] > probed[i - 1], "addresses not strictly ascending", arguments);
    }
    if (!probed.empty() && arguments.argc == 5) {
        const std::vector<std::string>& words = arguments.storage;
        require(words[1].rfind('s', 0) == 0 && words[3].rfind('e', 0) == 0,
                "probes after a wrong keyword", arguments);
        long long named_start = std::strtoll(words[2].c_str(), nullptr, 0);
        long long named_end = std::strtoll(words[4].c_str(), nullptr, 0);
        require(probed.front() == named_start, "scan did not start at the address named",
                arguments);
        require(probed.back() <= named_end && named_end <= 0x7f, "probes past the end named",
                arguments);
    }

    bool opened = opens == 1 && fake_stdout_bytes_at_close() >= 0;
    if (opens == 1 && closes == 0) {
        require(output.out == "INVALID_HANDLE_VALUE",
                "something printed after INVALID_HANDLE_VALUE", arguments);
        require(status == -1, "a missing device did not fail the run", arguments);
        require(probed.empty(), "probes without a device", arguments);
    }
    if (opened) {
        require(closes == 1, "handle not closed exactly once", arguments);
        require(fake_kernel32_calls().back() == "CloseHandle(device)", "a call after the close",
                arguments);
        require(fake_stdout_bytes_at_close() == 0, "output before the handle was closed",
                arguments);
        require(output.out.size() == grid_size && output.out.rfind(grid_header, 0) == 0,
                "no complete grid after an open device", arguments);
    }
    const std::vector<std::string>& words = arguments.storage;
    bool version_asked = arguments.argc == 2 && (words[1] == "-v" || words[1] == "--version");
    if (version_asked) {
        require(status == 0 && opens == 0 && output.out == "smbus_scan " PELK_TOOL_VERSION "\n",
                "-v alone did not print the version, and only that", arguments);
    } else if (status == 0) {
        require(opened && output.out.size() == grid_size, "exit 0 without a full grid", arguments);
        require(output.err.empty(), "exit 0 with an error on standard error", arguments);
    }
    return 0;
}
