// Aligned text tables for the commands' plain output.
#pragma once

#include <algorithm>
#include <iostream>
#include <string>
#include <vector>

namespace quelt_tool {

inline void PrintTable(const std::vector<std::vector<std::string>>& rows, const std::string& indent = "") {
    std::vector<std::size_t> widths;
    for (const auto& row : rows) {
        if (widths.size() < row.size()) widths.resize(row.size(), 0);
        for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
    }
    for (const auto& row : rows) {
        std::string line = indent;
        for (std::size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size()) line += std::string(widths[i] - row[i].size() + 2, ' ');
        }
        while (!line.empty() && line.back() == ' ') line.pop_back();
        std::cout << line << "\n";
    }
}

}  // namespace quelt_tool
