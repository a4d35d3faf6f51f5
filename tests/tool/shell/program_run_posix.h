#pragma once
// Runs a program as a process, its standard input at its end, and gathers
// what it prints (standard output and error together): for the tests that
// start the real install-plug.
#include <sys/wait.h>

#include <cstdio>
#include <string>
#include <vector>

namespace veltrin::tool::testing {

inline std::string ShellQuoted(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// Returns the exit status, or -1 when the program could not run or did not exit.
inline int RunProgram(const std::string& program, const std::vector<std::string>& args, std::string& output) {
    std::string command = ShellQuoted(program);
    for (const auto& arg : args) command += " " + ShellQuoted(arg);
    command += " </dev/null 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return -1;
    output.clear();
    char buffer[4096];
    for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, got);
    const int status = ::pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace veltrin::tool::testing
