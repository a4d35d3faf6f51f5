#pragma once
// The archive tool as a process: found after the installer started it, given
// the Enter key its console waits for, or run directly for a command.
#include <windows.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace veltrin::e2e::test {

using namespace std::chrono_literals;

// Ids of the running processes whose program is Install.plug.
std::vector<DWORD> ToolProcesses();

// Types Enter into the console of that process (attaching to it for the
// moment), as a player would press it in the tool's window.
bool TypeEnterInto(DWORD processId);

// What the console window of that process shows, row after row (rows end
// with a line feed, trailing spaces dropped); empty when it cannot be read.
std::wstring ConsoleText(DWORD processId);

struct ToolEnd {
    DWORD status = 0;
    bool prompted = false;  // its window asked for Enter, and got it
    std::wstring screen;    // what its window showed last
};
// Waits for the process to end; when its window asks for Enter, Enter is
// typed into it. Nothing when it did not end in time.
std::optional<ToolEnd> FinishTool(DWORD processId, std::chrono::milliseconds limit = 180s);

// Starts the command line in a console window of its own, as Explorer starts
// a double-clicked .cmd file (cmd.exe /c), in that working folder. Returns
// the process handle (the caller closes it), or nullptr when it did not start.
HANDLE StartInOwnConsole(const std::wstring& commandLine, const std::filesystem::path& folder);

struct ToolRun {
    DWORD status = 0;
    std::string output;  // what it printed (UTF-8)
};
// Runs Install.plug with these arguments, standard input empty and output
// into a file, without a console window; waits for it to end.
ToolRun RunTool(const std::filesystem::path& tool, const std::vector<std::wstring>& args,
                const std::filesystem::path& scratch);

}  // namespace veltrin::e2e::test
