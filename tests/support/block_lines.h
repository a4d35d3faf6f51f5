#pragma once
// A block's lines for a list of names, made by the install run's own code
// (install::BlockLines), for tests and benchmarks that need a script's text.
#include <string>
#include <string_view>
#include <vector>

#include "install/script.h"

namespace veltrin::install::testing {

inline std::vector<std::string> BlockLinesOf(Block block, std::string_view gameFolder, std::string_view appFolder,
                                             const std::vector<std::string>& names) {
    std::vector<std::string> lines;
    const BlockNames list{[&] { return static_cast<int>(names.size()); },
                          [&](int i) { return names.at(static_cast<size_t>(i)); }};
    BlockLines(block, gameFolder, appFolder, list, [&](const std::string& line) { lines.push_back(line); });
    return lines;
}

}  // namespace veltrin::install::testing
