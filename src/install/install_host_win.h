#pragma once
// The install run's Win32 side: Install.dat in the system's ANSI code page,
// the archive tool started and waited for, and the message boxes.
#include <windows.h>

#include <string>

#include "install/install_host.h"
#include "win32/unique_handle.h"

namespace veltrin::install {

inline constexpr wchar_t kAppTitle[] = L"VeltrinInstall";

class WinInstallHost : public InstallHost {
public:
    explicit WinInstallHost(HWND owner) : owner_(owner) {}

    [[nodiscard]] bool CanEncode(std::string_view text) const override;
    void CreateScript(const std::string& path) override;
    void WriteScriptLine(std::string_view line) override;
    void CloseScript() override;
    // The owner window is disabled while the tool works (nothing in it can be
    // pressed twice) and keeps its messages flowing: it paints and answers.
    std::uint32_t RunTool(const std::string& program, const std::string& commandLine) override;
    void ShowSuccess() override;
    void ShowFailure(const std::string& text) override;

protected:
    // The one place a message box is shown; tests replace it.
    virtual void ShowBox(const std::wstring& text, UINT style);

private:
    // The system's words for a failed write of the script; on a full disk
    // also the room the disk has left.
    [[nodiscard]] std::string WriteFailureReason(DWORD error) const;
    // Dispatches the thread's messages until the process ends.
    void PumpUntilEnded(HANDLE process) const;

    HWND owner_;
    win32::UniqueHandle script_;
    std::string scriptPath_;
};

// The folder that holds the running program: no trailing backslash, except
// at a drive root ("E:\").
std::string ApplicationFolder();

}  // namespace veltrin::install
