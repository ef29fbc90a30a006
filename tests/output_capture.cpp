#include "output_capture.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace {

int scratch_out = -1;
int scratch_err = -1;
int real_out = -1;
int real_err = -1;
int null_device = -1;
int full_device = -1;
bool merged = false;

int scratch_file() {
    std::FILE* file = std::tmpfile();
    if (file == nullptr) {
        std::perror("tmpfile");
        std::abort();
    }
    // The stream stays open for the whole test run: its descriptor is where the tools'
    // output goes.
    return fileno(file); // NOLINT(clang-analyzer-unix.Stream)
}

void prepare() {
    if (scratch_out >= 0) {
        return;
    }
    scratch_out = scratch_file();
    scratch_err = scratch_file();
    real_out = dup(STDOUT_FILENO);
    real_err = dup(STDERR_FILENO);
    null_device = open("/dev/null", O_WRONLY | O_CLOEXEC);
    full_device = open("/dev/full", O_WRONLY | O_CLOEXEC);
    if (real_out < 0 || real_err < 0 || null_device < 0 || full_device < 0) {
        std::perror("output capture");
        std::abort();
    }
}

void empty_scratch(int fd) {
    if (ftruncate(fd, 0) != 0 || lseek(fd, 0, SEEK_SET) != 0) {
        std::perror("scratch file");
        std::abort();
    }
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

} // namespace

void capture_begin(output_target target) {
    prepare();
    std::fflush(stdout);
    std::fflush(stderr);
    empty_scratch(scratch_out);
    empty_scratch(scratch_err);
    merged = target == output_target::merged;
    int out = target == output_target::separate ? scratch_out : merged ? scratch_err : full_device;
    dup2(out, STDOUT_FILENO);
    dup2(scratch_err, STDERR_FILENO);
}

captured_output capture_end() {
    std::fflush(stdout);
    // After a failed write stdio keeps the bytes and the error: drop both here, so that
    // nothing reaches a later run.
    dup2(null_device, STDOUT_FILENO);
    std::fflush(stdout);
    std::clearerr(stdout);
    std::fflush(stderr);
    dup2(real_out, STDOUT_FILENO);
    dup2(real_err, STDERR_FILENO);
    if (merged) {
        return {contents(scratch_err), ""};
    }
    return {contents(scratch_out), contents(scratch_err)};
}

int uncaptured_stderr() {
    prepare();
    return real_err;
}

std::vector<std::string> file_lines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream file(path);
    for (std::string line; std::getline(file, line);) {
        lines.push_back(line);
    }
    return lines;
}
