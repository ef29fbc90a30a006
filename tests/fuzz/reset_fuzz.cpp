// Drives kiv_reset from a fuzzed argument vector with a fuzzed library result, and checks
// what must hold whatever the input. Input: a flags byte (0xFF: an empty argument vector),
// the result of the reset operations (4 bytes, little-endian), then the arguments
// separated by NUL bytes.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_support.h"
#include "kiv_reset.h"
#include "option_scanner.h"

namespace {

constexpr std::size_t header_size = 5;

const std::string& log_path() {
    static const std::string path = "/tmp/kiv_reset_fuzz_" + std::to_string(getpid()) + ".log";
    return path;
}

bool starts_with(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

bool is_reset_operation(const std::string& call) {
    return starts_with(call, "pelk_reset ") || call == "pelk_reset_all" ||
           starts_with(call, "pelk_discard ");
}

// Whether some argument reads, as a whole, as this device number.
bool named_on_command_line(const std::vector<std::string>& arguments, long long device_id) {
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const char* text = arguments[i].c_str();
        char* end = nullptr;
        long long value = std::strtoll(text, &end, 10);
        if (end != text && *end == '\0' && value == device_id) {
            return true;
        }
    }
    return false;
}

// A reset may follow only a command line made of known option words other than -h, each
// with a value after it that does not begin with '-', and nothing else.
bool well_formed(const std::vector<std::string>& arguments) {
    for (std::size_t i = 1; i < arguments.size(); i += 2) {
        const std::string& argument = arguments[i];
        if (argument != "-i" && argument != "-d" && argument != "-a") {
            return false;
        }
        if (i + 1 >= arguments.size() || arguments[i + 1].rfind('-', 0) == 0) {
            return false;
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::uint8_t header[header_size] = {};
    std::copy_n(data, std::min(size, header_size), header);
    auto result = static_cast<int>(little_endian_32(header + 1));
    fuzz_arguments arguments = split_arguments(data, size, header_size, "kiv_reset");
    std::remove(log_path().c_str());
    setenv("KIV_STANDIN_LOG", log_path().c_str(), 1);
    setenv("KIV_STANDIN_RESULT", std::to_string(result).c_str(), 1);
    next_arg_index = 1;
    option_value = nullptr;

    auto [status, output] = run_tool(
        [](int argc, char* argv[]) { return run_kiv_reset(argc, argv, nullptr); }, arguments);

    std::vector<std::string> calls = file_lines(log_path());
    if (status == 2) {
        require(calls.empty(), "a library call for a rejected command line", arguments);
        return 0;
    }
    require(!calls.empty() && calls.front() == "pelk_kiv_init", "pelk_kiv_init not first",
            arguments);
    require(std::count(calls.begin(), calls.end(), "pelk_kiv_init") == 1,
            "library initialised twice", arguments);
    long operations = std::count_if(calls.begin(), calls.end(), is_reset_operation);
    long error_strings = std::count_if(calls.begin(), calls.end(), [](const std::string& call) {
        return starts_with(call, "pelk_get_error_string");
    });
    require(operations <= 1, "more than one reset operation", arguments);
    require(status == 0 || status == 1, "unexpected exit status", arguments);
    if (operations == 0) {
        require(status != 1, "failure reported without an operation", arguments);
        require(error_strings == 0, "error string without an operation", arguments);
        require(output.err.rfind("Usage: kiv_reset", 0) == 0,
                "no reset, yet neither help nor a rejection", arguments);
        return 0;
    }

    require(well_formed(arguments.storage), "a reset after an ill-formed command line", arguments);
    const std::string& operation = *std::find_if(calls.begin(), calls.end(), is_reset_operation);
    if (operation != "pelk_reset_all") {
        long long device_id =
            std::strtoll(operation.substr(operation.find(' ') + 1).c_str(), nullptr, 10);
        require(named_on_command_line(arguments.storage, device_id),
                "reset of a device the command line did not name", arguments);
    }
    require(calls.back() == operation || error_strings == 1, "a library call after the operation",
            arguments);
    if (result == 0) {
        require(status == 0 && output.out == "Success\n", "success not reported", arguments);
        require(error_strings == 0, "error string after a success", arguments);
    } else {
        require(status == 1, "failure not reported by the exit status", arguments);
        require(error_strings == 1 &&
                    calls.back() == "pelk_get_error_string " + std::to_string(result),
                "error string not asked once, for the result", arguments);
        require(output.out.rfind("kiv_reset fail for:\t", 0) == 0, "failure prefix missing",
                arguments);
    }
    return 0;
}
