// The command-line cases that both the native suites and the Windows suite run, read from
// tests/cases, and what they expect printed.
#pragma once

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "ascii_arguments.h"
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

// An argument as typed (UTF-8 in the tables) as wmain receives it.
inline std::wstring as_typed(const std::string& typed) {
    locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
    locale_t previous = uselocale(utf8);
    std::wstring wide(typed.size() + 1, L'\0');
    std::size_t length = std::mbstowcs(wide.data(), typed.c_str(), wide.size());
    uselocale(previous);
    freelocale(utf8);
    if (length == static_cast<std::size_t>(-1)) {
        ADD_FAILURE() << "not UTF-8: " << typed;
        return {};
    }
    wide.resize(length);
    return wide;
}

// The same as the tools' Windows entry hands it to the program logic: each character beyond
// ASCII a '?'.
inline std::string as_windows_entry_gives(const std::string& typed) {
    std::wstring wide = as_typed(typed);
    std::string ascii(wide.size() + 1, '\0');
    ascii_argument(wide.c_str(), ascii.data());
    ascii.resize(std::strlen(ascii.c_str()));
    return ascii;
}

inline std::vector<std::string> case_arguments(const json& entry) {
    std::vector<std::string> arguments;
    for (const json& argument : entry["args"]) {
        arguments.push_back(as_windows_entry_gives(argument.get<std::string>()));
    }
    return arguments;
}

inline std::vector<std::wstring> case_typed_arguments(const json& entry) {
    std::vector<std::wstring> arguments;
    for (const json& argument : entry["args"]) {
        arguments.push_back(as_typed(argument.get<std::string>()));
    }
    return arguments;
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
            std::size_t at = value.find("{version}");
            if (at != std::string::npos) {
                value.replace(at, 9, PELK_TOOL_VERSION);
            }
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
