// Runs a tool's entry in-process with its own argument vector and captures what it prints.
#pragma once

#include <string>
#include <vector>

#include "expected_output.h"
#include "output_capture.h"

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
captured_run run_captured(Entry entry, const std::vector<std::string>& arguments,
                          output_target target = output_target::separate) {
    std::vector<std::string> storage = arguments;
    std::vector<char*> argv = argument_vector(storage);
    capture_begin(target);
    int status = entry(static_cast<int>(storage.size()), argv.data());
    captured_output output = capture_end();
    return {status, output.out, output.err};
}
