// What the tools print, built once for the C++ tests and fuzz targets; the case tables
// hold the rest of each expected text.
#pragma once

#include <cstdio>
#include <set>
#include <string>
#include <vector>

// The grid with the shown addresses written into their cells, the others "--".
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

// Joins lines, each with its line end.
inline std::string lines(const std::vector<std::string>& texts) {
    std::string joined;
    for (const std::string& text : texts) {
        joined += text + "\n";
    }
    return joined;
}
