#include "install/install_error.h"

namespace veltrin::install {
namespace {

// The report's parts: a sentence that ends in a colon, the path on the line
// after it, then paragraphs.
struct Report {
    std::string headline;
    std::string path;
    std::string reason;  // the system's words, made a sentence
    std::string advice;
};

std::string Sentence(std::string text) {
    if (!text.empty() && text.back() != '.') text += '.';
    return text;
}

std::string Joined(const Report& report, std::string_view closing) {
    std::string text = report.headline + ":\n" + report.path;
    for (const std::string* paragraph : {&report.reason, &report.advice})
        if (!paragraph->empty()) text += "\n\n" + Sentence(*paragraph);
    return text + "\n\n" + std::string(closing);
}

// What a NotRepresentable report says: which path, which name in it, and
// what the player can do about it.
Report UnwritableReport(const InstallError& error) {
    const std::string name = error.reason().empty() ? "" : " (\"" + error.reason() + "\")";
    switch (error.part()) {
    case PathPart::ApplicationFolder:
        return {
            "The folder holding the installer has a name in its path that this system's code page cannot hold" + name,
            error.path(), "",
            "The archive tool could not find the mod's files there. Rename that folder, or move the installer's "
            "folder to one with a plainer name."};
    case PathPart::GameFolder:
        return {"The game folder has a name in its path that this system's code page cannot hold" + name, error.path(),
                "",
                "The archive tool could not find the game's archives there. Rename that folder, or move the game to "
                "one with a plainer name."};
    case PathPart::ModFile:
        return {"The mod file has a name that this system's code page cannot hold" + name, error.path(), "",
                "The archive tool could not find it. Rename that file."};
    case PathPart::Unknown:
        break;
    }
    return {"This has characters that the system's code page cannot hold", error.path(), "",
            "The archive tool could not find it. Rename it, or move the game or the mod to a folder with a plainer "
            "name."};
}

}  // namespace

std::string FailureText(const InstallError& error) {
    constexpr std::string_view kNothing = "Nothing was installed.";
    const std::string& path = error.path();
    const std::string& reason = error.reason();
    switch (error.failure()) {
    case Failure::Gta3PayloadFolder:
    case Failure::PlayerPayloadFolder:
        return Joined({"The mod's files could not be listed in the folder", path, reason, ""}, kNothing);
    case Failure::ScriptCreate:
        return Joined({"The install script could not be created", path, reason, ""}, kNothing);
    case Failure::ScriptWrite:
        return Joined({"The install script could not be written", path, reason, ""}, kNothing);
    case Failure::TooManyPayloadFiles:
        return Joined(
            {"The folder holds more mod files than the installer can handle (at most 32767)", path, reason, ""},
            kNothing);
    case Failure::ToolLaunch:
        return Joined({"The archive tool cannot be started", path, reason, ""}, kNothing);
    case Failure::NotRepresentable:
        return Joined(UnwritableReport(error), kNothing);
    case Failure::ToolFailed:
        // The tool may have changed the game: its own lines say how far it got.
        return "The install did not finish.\n\n" + Sentence(reason) +
               "\n\nThe archive tool's window and Install.log beside Install.exe say what was changed and what was "
               "not:\n" +
               path;
    case Failure::Unexpected:
        break;
    }
    return "The installation stopped unexpectedly." + (reason.empty() ? "" : "\n\n" + Sentence(reason)) + "\n\n" +
           std::string(kNothing);
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
