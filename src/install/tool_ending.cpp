#include "install/tool_ending.h"

#include <cstdio>

#include "tool/common/exit_status.h"

namespace veltrin::install {
namespace {

using tool::ExitStatus;

// The words for each status a script run ends with; empty for the others.
const char* Words(std::uint32_t status) {
    switch (static_cast<ExitStatus>(status)) {
    case ExitStatus::Usage:
        return "it did not understand the command line it was started with";
    case ExitStatus::ScriptUnreadable:
        return "it could not read the install script Install.dat";
    case ExitStatus::ScriptInvalid:
        return "a line of the install script Install.dat is not one it runs";
    case ExitStatus::NotFound:
        return "an archive of the game or a file of the mod was not found";
    case ExitStatus::NotAnArchive:
        return "an archive of the game is not one it can read (not version 2, or damaged)";
    case ExitStatus::Locked:
        return "an archive of the game is in use by another program; close the game and install again";
    case ExitStatus::AccessDenied:
        return "Windows refused access to the game's files; let the tool go on with administrator rights, or move "
               "the game out of Program Files";
    case ExitStatus::DiskFull:
        return "there is not enough free space on the game's disk; make room there and install again";
    case ExitStatus::Rejected:
        return "a file of the mod cannot be stored in an archive (its name, or its size)";
    case ExitStatus::Io:
        return "a file could not be read or written, or its install record cannot be trusted";
    case ExitStatus::ArchiveChanged:
        return "another program changed an archive while it worked; close that program and install again";
    case ExitStatus::OtherInstall:
        return "this folder holds the backups of another install; undo that one with Undo.cmd, or unpack a fresh "
               "copy of the mod";
    case ExitStatus::Ok:
    case ExitStatus::VerifyProblems:
    case ExitStatus::UnsafeName:
    case ExitStatus::ModProblems:
    case ExitStatus::ModFilesLeftOut:
        break;
    }
    return "";
}

}  // namespace

std::string ToolEndingText(std::uint32_t status) {
    // A crash ends a program with an exception code such as 0xC0000005.
    if (status >= 0x80000000u) {
        char code[16];
        std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(status));
        return "The archive tool ended unexpectedly (status " + std::string(code) + ").";
    }
    const std::string words = Words(status);
    if (words.empty()) return "The archive tool ended unexpectedly (status " + std::to_string(status) + ").";
    return "The archive tool ended with status " + std::to_string(status) + ": " + words + ".";
}

}  // namespace veltrin::install
