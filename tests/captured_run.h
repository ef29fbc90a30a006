// Runs a tool's entry in-process with its own argument vector and captures what it prints.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

struct captured_run {
    int status;
    std::string out;
    std::string err;
};

// An argv for the arguments, ending in a null pointer as main's does.
inline std::vector<char*> argument_vector(std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 1);
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    return argv;
}

template <typename Entry>
captured_run run_captured(Entry entry, const std::vector<std::string>& arguments) {
    std::vector<std::string> storage = arguments;
    std::vector<char*> argv = argument_vector(storage);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int status = entry(static_cast<int>(storage.size()), argv.data());
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    return {status, out, err};
}

// Runs the entry with standard error in a file and standard output in the same file, as a
// script's "2>&1" gives ("merged"), or on a device that is always full ("stdout_full").
// What the file holds comes back as out when merged, as err otherwise.
template <typename Entry>
captured_run run_redirected(Entry entry, const std::vector<std::string>& arguments,
                            const std::string& streams) {
    std::vector<std::string> storage = arguments;
    std::vector<char*> argv = argument_vector(storage);
    std::FILE* file = std::tmpfile();
    int out_target = streams == "merged" ? dup(fileno(file)) : open("/dev/full", O_WRONLY);
    int null_device = open("/dev/null", O_WRONLY);
    std::fflush(stdout);
    std::fflush(stderr);
    int saved_out = dup(STDOUT_FILENO);
    int saved_err = dup(STDERR_FILENO);
    dup2(out_target, STDOUT_FILENO);
    dup2(fileno(file), STDERR_FILENO);

    int status = entry(static_cast<int>(storage.size()), argv.data());

    // As at exit; then drop what a failed write left buffered, so no later test sees it.
    std::fflush(stdout);
    dup2(null_device, STDOUT_FILENO);
    std::fflush(stdout);
    std::clearerr(stdout);
    std::fflush(stderr);
    dup2(saved_out, STDOUT_FILENO);
    dup2(saved_err, STDERR_FILENO);
    for (int fd : {saved_out, saved_err, out_target, null_device}) {
        close(fd);
    }
    std::string text;
    std::rewind(file);
    for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) {
        text += static_cast<char>(c);
    }
    std::fclose(file);
    if (streams == "merged") {
        return {status, text, ""};
    }
    return {status, "", text};
}

// Joins lines, each with its line end.
inline std::string lines(const std::vector<std::string>& texts) {
    std::string joined;
    for (const std::string& text : texts) {
        joined += text + "\n";
    }
    return joined;
}
