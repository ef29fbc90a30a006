// Runs a tool's entry in-process with its own argument vector and captures what it prints.
#pragma once

#include <gtest/gtest.h>

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

// Joins lines, each with its line end.
inline std::string lines(const std::vector<std::string>& texts) {
    std::string joined;
    for (const std::string& text : texts) {
        joined += text + "\n";
    }
    return joined;
}
