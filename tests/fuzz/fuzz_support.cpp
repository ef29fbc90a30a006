#include "fuzz_support.h"

#include <sanitizer/common_interface_defs.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {

int scratch_out = -1;
int scratch_err = -1;
int real_out = -1;
int real_err = -1;

int scratch_file() {
    std::FILE* file = std::tmpfile();
    if (file == nullptr) {
        std::perror("tmpfile");
        std::abort();
    }
    return fileno(file);
}

void prepare() {
    if (scratch_out >= 0) {
        return;
    }
    scratch_out = scratch_file();
    scratch_err = scratch_file();
    real_out = dup(STDOUT_FILENO);
    real_err = dup(STDERR_FILENO);
    // Sanitizer reports must reach the real standard error even mid-capture.
    __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<std::intptr_t>(real_err)));
}

std::string contents(int fd) {
    std::string text;
    char buffer[4096];
    off_t offset = 0;
    for (ssize_t got; (got = pread(fd, buffer, sizeof buffer, offset)) > 0; offset += got) {
        text.append(buffer, static_cast<std::size_t>(got));
    }
    return text;
}

void rewind_scratch(int fd) {
    if (ftruncate(fd, 0) != 0 || lseek(fd, 0, SEEK_SET) != 0) {
        std::perror("scratch file");
        std::abort();
    }
}

// Points file descriptors 1 and 2 at empty scratch files until capture_end().
void capture_begin() {
    prepare();
    std::fflush(stdout);
    std::fflush(stderr);
    rewind_scratch(scratch_out);
    rewind_scratch(scratch_err);
    dup2(scratch_out, STDOUT_FILENO);
    dup2(scratch_err, STDERR_FILENO);
}

captured_output capture_end() {
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(real_out, STDOUT_FILENO);
    dup2(real_err, STDERR_FILENO);
    return {contents(scratch_out), contents(scratch_err)};
}

} // namespace

tool_run run_tool(int (*entry)(int, char*[]), fuzz_arguments& arguments) {
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
    for (std::string& argument : result.storage) {
        result.argv.push_back(argument.data());
    }
    result.argv.push_back(nullptr);
    result.argc = static_cast<int>(result.storage.size());
    return result;
}
