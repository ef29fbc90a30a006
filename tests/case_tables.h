// The command-line cases that both the native suites and the Windows suite run, read from
// tests/cases, and what they expect printed.
#pragma once

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <set>
#include <string>
#include <vector>

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

// The empty grid with the shown addresses written into their cells.
inline std::string grid_showing(const std::set<int>& shown) {
    std::vector<std::string> rows = {
        "      0   1   2   3   4   5   6   7   8   9   a   b   c   d   e   f  "};
    const char* labels[] = {" 0", "10", "20", "30", "40", "50", "60", "70"};
    for (const char* label : labels) {
        std::string row = std::string(label) + "   ";
        for (int cell = 0; cell < 16; ++cell) {
            row += "--  ";
        }
        rows.push_back(row);
    }
    for (int address : shown) {
        char cell[3];
        std::snprintf(cell, sizeof cell, "%2x", address);
        auto position = static_cast<std::size_t>(address);
        rows[1 + position / 16].replace(5 + 4 * (position % 16), 2, cell);
    }
    std::string text;
    for (const std::string& row : rows) {
        text += row + "\n";
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
            for (const json& usage_line : usage) {
                std::string usage_text = usage_line.get<std::string>();
                std::size_t at = usage_text.find("{program}");
                if (at != std::string::npos) {
                    usage_text.replace(at, 9, program);
                }
                text += usage_text + "\n";
            }
        } else {
            text += value + "\n";
        }
    }
    return text;
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
