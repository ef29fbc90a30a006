#include "fuzz_support.h"

#include "captured_run.h"

#include <sanitizer/common_interface_defs.h>

#include <cstdio>
#include <cstdlib>

tool_run run_tool(int (*entry)(int, char*[]), fuzz_arguments& arguments) {
    // Sanitizer reports must reach the real standard error even mid-capture.
    static const bool reports_reach_stderr = [] {
        __sanitizer_set_report_fd(
            reinterpret_cast<void*>(static_cast<std::intptr_t>(uncaptured_stderr())));
        return true;
    }();
    (void)reports_reach_stderr;
    capture_begin();
    int status = entry(arguments.argc, arguments.argv.data());
    return {status, capture_end()};
}

void require(bool holds, const char* what, const fuzz_arguments& arguments) {
    if (holds) {
        return;
    }
    std::fprintf(stderr, "invariant broken: %s\narguments:", what);
    for (const std::string& argument : arguments.storage) {
        std::fprintf(stderr, " [%s]", argument.c_str());
    }
    std::fprintf(stderr, "\n");
    std::abort();
}

std::uint32_t little_endian_32(const std::uint8_t* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

fuzz_arguments split_arguments(const std::uint8_t* data, std::size_t size, std::size_t header_size,
                               const char* program_name) {
    fuzz_arguments result;
    bool empty_vector = size > 0 && data[0] == 0xFF;
    if (!empty_vector) {
        result.storage.emplace_back(program_name);
        if (size > header_size) {
            std::string rest(reinterpret_cast<const char*>(data + header_size), size - header_size);
            std::size_t start = 0;
            for (std::size_t nul = rest.find('\0'); nul != std::string::npos;
                 nul = rest.find('\0', start)) {
                result.storage.push_back(rest.substr(start, nul - start));
                start = nul + 1;
            }
            result.storage.push_back(rest.substr(start));
        }
    }
    result.argv = argument_vector(result.storage);
    result.argc = static_cast<int>(result.storage.size());
    return result;
}
