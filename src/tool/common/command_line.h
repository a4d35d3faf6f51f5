#pragma once
// Splitting a Windows command line into arguments, by the rules that
// CommandLineToArgvW follows. Portable, so both builds test the same rules.
#include <string>
#include <string_view>
#include <vector>

namespace veltrin::tool {

// The program name comes first: up to the next quote when it starts with one,
// else up to the first space or tab, taken as it stands. Every later argument
// follows the quoting rules: 2n backslashes before a quote give n backslashes
// and the quote opens or closes a quoted part; 2n+1 give n backslashes and a
// literal quote; backslashes anywhere else stay as they are; inside a quoted
// part two quotes in a row give one literal quote. An empty line gives no
// arguments.
std::vector<std::string> SplitCommandLine(std::string_view commandLine);

// The arguments after the program name, by the same rules.
std::vector<std::string> SplitArguments(std::string_view arguments);

// The arguments as one command line that SplitArguments (and the system's
// CommandLineToArgvW) splits back into exactly these: an argument with no
// blank or quote stands as it is; any other is quoted, its quotes escaped
// and the backslashes before a quote or the closing quote doubled.
std::string JoinArguments(const std::vector<std::string>& arguments);

}  // namespace veltrin::tool
