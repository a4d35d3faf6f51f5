#include "install/install_error.h"

namespace veltrin::install {

std::string FailureText(const InstallError& error) {
    const std::string path = "\"" + error.path() + "\"";
    std::string text;
    std::string reason = error.reason();
    switch (error.failure()) {
    case Failure::Gta3PayloadFolder:
    case Failure::PlayerPayloadFolder:
        text = "The mod's files could not be listed in the folder " + path + ".";
        break;
    case Failure::ScriptCreate:
        text = "The install script " + path + " could not be created.";
        break;
    case Failure::ScriptWrite:
        text = "The install script " + path + " could not be written.";
        break;
    case Failure::TooManyPayloadFiles:
        text = "The folder " + path + " holds more mod files than the installer can handle (at most 32767).";
        break;
    case Failure::ToolLaunch:
        // One sentence: what was being started, then why it did not start.
        text = error.path() + " cannot be started" + (reason.empty() ? "" : ": " + reason);
        reason.clear();
        break;
    case Failure::NotRepresentable:
        text = "The path " + path +
               " has characters that the system's code page cannot hold, so the archive tool could not find "
               "it. Rename it, or move the game or the mod to a folder with a plainer name.";
        break;
    case Failure::Unexpected:
        text = "The installation stopped unexpectedly.";
        break;
    }
    if (!reason.empty()) text += "\n\n" + reason;
    if (!text.empty() && text.back() != '.') text += '.';
    text += "\n\nNothing was installed.";
    return text;
}

}  // namespace veltrin::install
