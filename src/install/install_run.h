#pragma once
// The install run: list the payload, write Install.dat, start the archive
// tool and wait for it, report. It ends the program's work either way: the
// caller exits with the status it returns.
#include <string>

#include "install/install_host.h"
#include "install/payload_lister.h"

namespace veltrin::install {

struct RunPaths {
    std::string gameFolder;  // the folder list's current path
    std::string appFolder;   // the folder holding Install.exe
};

// Returns the exit status: 0 after "Install Success !" (the tool ended with
// 0), otherwise the Failure's value after the failure report.
[[nodiscard]] int RunInstall(const RunPaths& paths, PayloadLister& lister, InstallHost& host);

// Paths the run derives from the application folder by plain concatenation.
std::string PayloadFolder(const std::string& appFolder, std::string_view archiveName);
std::string ScriptPath(const std::string& appFolder);
std::string ToolPath(const std::string& appFolder);
std::string LogPath(const std::string& appFolder);  // the tool's log beside the script
// The tool's own path in quotes, then -script and the quoted script path.
std::string ToolCommandLine(const std::string& appFolder);

}  // namespace veltrin::install
