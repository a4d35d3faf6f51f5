#pragma once
// Everything the install run needs from the operating system. The Win32
// implementation is WinInstallHost; tests use fakes.
#include <cstdint>
#include <string>
#include <string_view>

namespace veltrin::install {

class InstallHost {
public:
    virtual ~InstallHost() = default;
    // True when the text survives the conversion to the script's code page
    // unchanged.
    [[nodiscard]] virtual bool CanEncode(std::string_view text) const = 0;
    // Creates the script anew (an older file is truncated). Throws InstallError.
    virtual void CreateScript(const std::string& path) = 0;
    // Writes one line and its CR LF to the file at once. Throws InstallError.
    virtual void WriteScriptLine(std::string_view line) = 0;
    // Throws InstallError.
    virtual void CloseScript() = 0;
    // Starts the program with that command line, shown maximised and focused,
    // in the installer's own working folder, and waits for it to end while
    // the window stays responsive. Returns its exit status. Throws
    // InstallError (ToolLaunch) when it cannot be started, and
    // std::runtime_error when its end cannot be awaited.
    virtual std::uint32_t RunTool(const std::string& program, const std::string& commandLine) = 0;
    // Modal boxes; they return when the user dismisses them.
    virtual void ShowSuccess() = 0;
    virtual void ShowFailure(const std::string& text) = 0;
};

}  // namespace veltrin::install
