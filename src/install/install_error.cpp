#include "install/install_error.h"

namespace veltrin::install {
namespace {

// What a NotRepresentable report says: which path, which name in it, and
// what the player can do about it.
std::string UnwritableText(const InstallError& error) {
    const std::string path = "\"" + error.path() + "\"";
    const std::string name = error.reason().empty() ? "" : " (\"" + error.reason() + "\")";
    switch (error.part()) {
    case PathPart::ApplicationFolder:
        return "The folder " + path + " holding the installer has a name in its path that this system's code page " +
               "cannot hold" + name +
               ", so the archive tool could not find the mod's files. Rename that folder, or move the installer's "
               "folder to one with a plainer name.";
    case PathPart::GameFolder:
        return "The game folder " + path + " has a name in its path that this system's code page cannot hold" + name +
               ", so the archive tool could not find the game's archives. Rename that folder, or move the game to "
               "one with a plainer name.";
    case PathPart::ModFile:
        return "The mod file " + path + " has a name that this system's code page cannot hold" + name +
               ", so the archive tool could not find it. Rename that file.";
    case PathPart::Unknown:
        break;
    }
    return "The path " + path +
           " has characters that the system's code page cannot hold, so the archive tool could not find it. Rename "
           "it, or move the game or the mod to a folder with a plainer name.";
}

}  // namespace

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
        text = UnwritableText(error);
        reason.clear();
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

std::string DiskFullReason(const std::string& systemMessage, std::uint64_t freeBytes) {
    std::string text = systemMessage;
    if (!text.empty() && text.back() != '.') text += '.';
    if (!text.empty()) text += ' ';
    return text + "The disk has " + SizeText(freeBytes) + " free; make room there and install again.";
}

std::string SizeText(std::uint64_t bytes) {
    constexpr std::uint64_t kKb = 1024;
    constexpr std::uint64_t kMb = kKb * 1024;
    constexpr std::uint64_t kGb = kMb * 1024;
    if (bytes < kKb) return "less than 1 KB";
    if (bytes < kMb) return std::to_string(bytes / kKb) + " KB";
    // One decimal, rounded down: 1.8 MB is at least 1.8 MB.
    const auto withTenths = [](std::uint64_t value, std::uint64_t unit, const char* name) {
        const std::uint64_t tenths = value / unit * 10 + value % unit * 10 / unit;
        return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " " + name;
    };
    if (bytes < kGb) return withTenths(bytes, kMb, "MB");
    return withTenths(bytes, kGb, "GB");
}

}  // namespace veltrin::install
