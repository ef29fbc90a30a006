// Shared by the fuzz targets: capturing what a tool prints on its standard output and
// error for one input, reporting a broken invariant, and splitting an input into an
// argument vector.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct captured_output {
    std::string out;
    std::string err;
};

// Points file descriptors 1 and 2 at empty scratch files until capture_end().
void capture_begin();
captured_output capture_end();

// Reports on the fuzzer's own standard error, then aborts so that libFuzzer keeps the input.
[[noreturn]] void invariant_broken(const char* what, const std::vector<std::string>& arguments);

// Arguments separated by NUL bytes after a header of header_size bytes; argv[0] is the
// program name. A first byte of 0xFF in the header gives an empty argument vector instead.
struct fuzz_arguments {
    std::vector<std::string> storage;
    std::vector<char*> argv;
    int argc;
};
fuzz_arguments split_arguments(const std::uint8_t* data, std::size_t size, std::size_t header_size,
                               const char* program_name);
