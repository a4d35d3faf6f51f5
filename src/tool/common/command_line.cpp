#include "tool/common/command_line.h"

namespace veltrin::tool {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

std::vector<std::string> SplitCommandLine(std::string_view line) {
    if (line.empty()) return {};
    size_t pos = 0;
    std::string program;
    if (line[0] == '"') {
        const size_t close = line.find('"', 1);
        program = std::string(line.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1));
        pos = close == std::string_view::npos ? line.size() : close + 1;
    } else {
        while (pos < line.size() && !IsBlank(line[pos])) ++pos;
        program = std::string(line.substr(0, pos));
    }
    std::vector<std::string> args = SplitArguments(line.substr(pos));
    args.insert(args.begin(), std::move(program));
    return args;
}

std::vector<std::string> SplitArguments(std::string_view line) {
    std::vector<std::string> args;
    size_t pos = 0;
    while (pos < line.size() && IsBlank(line[pos])) ++pos;
    if (pos >= line.size()) return args;

    // quotes counts the quotes of the current run: 1 means inside a quoted
    // part; a third quote in a row inside one stands for a literal quote.
    std::string arg;
    size_t backslashes = 0;
    int quotes = 0;
    while (pos < line.size()) {
        const char c = line[pos];
        if (IsBlank(c) && quotes == 0) {
            args.push_back(std::move(arg));
            arg.clear();
            backslashes = 0;
            while (pos < line.size() && IsBlank(line[pos])) ++pos;
            if (pos >= line.size()) return args;
            continue;
        }
        if (c == '\\') {
            arg += c;
            ++backslashes;
            ++pos;
            continue;
        }
        if (c != '"') {
            arg += c;
            backslashes = 0;
            ++pos;
            continue;
        }
        // A quote: halve the backslashes before it.
        arg.resize(arg.size() - backslashes / 2);
        if (backslashes % 2 == 1) {
            arg.back() = '"';  // the odd backslash escapes the quote
        } else {
            ++quotes;
        }
        backslashes = 0;
        ++pos;
        while (pos < line.size() && line[pos] == '"') {
            if (++quotes == 3) {
                arg += '"';
                quotes = 0;
            }
            ++pos;
        }
        if (quotes == 2) quotes = 0;
    }
    args.push_back(std::move(arg));
    return args;
}

std::string JoinArguments(const std::vector<std::string>& arguments) {
    std::string line;
    for (const std::string& arg : arguments) {
        if (!line.empty()) line += ' ';
        if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) {
            line += arg;
            continue;
        }
        line += '"';
        size_t backslashes = 0;
        for (const char c : arg) {
            if (c == '\\') {
                ++backslashes;
                continue;
            }
            // Before a quote each backslash is doubled and the quote escaped.
            line.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
            backslashes = 0;
            line += c;
        }
        line.append(backslashes * 2, '\\');
        line += '"';
    }
    return line;
}

}  // namespace veltrin::tool
