// Shared by the fuzz targets: running a tool with what it prints captured, reporting a
// broken invariant, and splitting an input into an argument vector.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "output_capture.h"

// Arguments separated by NUL bytes after a header of header_size bytes; argv[0] is the
// program name. A first byte of 0xFF in the header gives an empty argument vector instead.
struct fuzz_arguments {
    std::vector<std::string> storage;
    std::vector<char*> argv;
    int argc;
};
fuzz_arguments split_arguments(const std::uint8_t* data, std::size_t size, std::size_t header_size,
                               const char* program_name);

std::uint32_t little_endian_32(const std::uint8_t* bytes);

struct tool_run {
    int status;
    captured_output output;
};
// Runs a tool's entry with its standard output and error captured.
tool_run run_tool(int (*entry)(int, char*[]), fuzz_arguments& arguments);

// When an invariant does not hold: reports it on the fuzzer's own standard error, then
// aborts so that libFuzzer keeps the input.
void require(bool holds, const char* what, const fuzz_arguments& arguments);
