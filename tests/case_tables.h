// The command-line cases that both the native suites and the Windows suite run, read from
// tests/cases, and what they expect printed.
#pragma once

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "expected_output.h"
#include "output_capture.h"

using json = nlohmann::json;

inline json load_case_file(const std::string& name) {
    std::ifstream file(std::string(PELK_CASES_DIR) + "/" + name);
    return json::parse(file);
}

struct table_case {
    json table; // the whole file: usage text, failure kinds
    json entry;
};

inline void PrintTo(const table_case& c, std::ostream* out) {
    *out << c.entry["args"].dump();
}

inline std::vector<table_case> load_cases(const std::string& name) {
    json table = load_case_file(name);
    std::vector<table_case> cases;
    for (const json& entry : table["cases"]) {
        cases.push_back({table, entry});
    }
    return cases;
}

inline std::vector<std::string> case_arguments(const json& entry) {
    return entry["args"].get<std::vector<std::string>>();
}

inline int hex_address(const json& text) {
    return std::stoi(text.get<std::string>(), nullptr, 16);
}

// A table's usage text, with the program's name for {program}.
inline std::string usage_text(const json& usage, const std::string& program) {
    std::string text;
    for (const json& usage_line : usage) {
        std::string line = usage_line.get<std::string>();
        std::size_t at = line.find("{program}");
        if (at != std::string::npos) {
            line.replace(at, 9, program);
        }
        text += line + "\n";
    }
    return text;
}

// Lines joined with line ends; @usage and @grid stand for whole blocks.
inline std::string expected_text(const json& entry, const char* key, const json& usage,
                                 const std::string& program, const std::string& grid) {
    if (!entry.contains(key)) {
        return "";
    }
    std::string text;
    for (const json& line : entry[key]) {
        std::string value = line.get<std::string>();
        if (value == "@grid") {
            text += grid;
        } else if (value == "@usage") {
            text += usage_text(usage, program);
        } else {
            text += value + "\n";
        }
    }
    return text;
}

// Maps a table's "streams" to where standard output goes.
inline output_target case_streams(const json& entry) {
    std::string streams = entry.value("streams", "separate");
    return streams == "merged"        ? output_target::merged
           : streams == "stdout_full" ? output_target::full_device
                                      : output_target::separate;
}

inline std::string case_test_name(const testing::TestParamInfo<table_case>& param_info) {
    std::string name = "case" + std::to_string(param_info.index);
    for (const std::string& argument : case_arguments(param_info.param.entry)) {
        name += "_";
        for (char c : argument) {
            name += std::isalnum(static_cast<unsigned char>(c)) ? c : 'x';
        }
    }
    return name;
}
