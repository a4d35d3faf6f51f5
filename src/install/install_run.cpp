#include "install/install_run.h"

#include <cstdint>
#include <exception>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "install/install_error.h"
#include "install/script.h"
#include "install/tool_ending.h"

namespace veltrin::install {

std::string PayloadFolder(const std::string& appFolder, std::string_view archiveName) {
    return appFolder + "\\" + std::string(archiveName);
}

std::string ScriptPath(const std::string& appFolder) { return appFolder + "\\Install.dat"; }

std::string ToolPath(const std::string& appFolder) { return appFolder + "\\Install.plug"; }

std::string LogPath(const std::string& appFolder) { return appFolder + "\\Install.log"; }

std::string ToolCommandLine(const std::string& appFolder) {
    return "\"" + ToolPath(appFolder) + "\" -script \"" + ScriptPath(appFolder) + "\"";
}

namespace {

class Run {
public:
    Run(const RunPaths& paths, PayloadLister& lister, InstallHost& host)
        : paths_(paths), lister_(lister), host_(host) {}

    // Every ending keeps its place in the run, except one: a path the code
    // page cannot hold is found before Install.dat is created, so that the
    // script of an earlier install stays as it was. For the player.img
    // folder that means a look at its names before the script is created; a
    // folder that cannot be listed still stops the run where it is listed,
    // after block 1.
    void Execute() {
        const std::string gta3 = PayloadFolder(paths_.appFolder, ArchiveName(Block::Gta3));
        const std::string player = PayloadFolder(paths_.appFolder, ArchiveName(Block::Player));
        PointAt(gta3, Failure::Gta3PayloadFolder);
        // The application folder first: every payload path starts with it.
        RequireWritable(paths_.appFolder, PathPart::ApplicationFolder);
        RequireWritable(paths_.gameFolder, PathPart::GameFolder);
        RequireWritableNames(gta3, Snapshot());
        if (const auto later = lister_.Peek(player)) RequireWritableNames(player, *later);
        host_.CreateScript(ScriptPath(paths_.appFolder));
        WriteBlock(Block::Gta3);
        PointAt(player, Failure::PlayerPayloadFolder);
        // A name added since the look ahead still stops the run here.
        RequireWritableNames(player, Snapshot());
        WriteBlock(Block::Player);
        host_.CloseScript();
        RunTool();
    }

private:
    // "Install Success !" only once the tool says so: any other ending is
    // the failure report's, with the tool's ending in words.
    void RunTool() {
        std::uint32_t status = 0;
        try {
            status = host_.RunTool(ToolPath(paths_.appFolder), ToolCommandLine(paths_.appFolder));
        } catch (const InstallError&) {
            throw;
        } catch (const std::runtime_error& e) {
            throw InstallError(Failure::ToolFailed, LogPath(paths_.appFolder),
                               std::string("The installer could not wait for the archive tool to end: ") + e.what());
        }
        if (status != 0) throw InstallError(Failure::ToolFailed, LogPath(paths_.appFolder), ToolEndingText(status));
    }

    void PointAt(const std::string& folder, Failure unreadable) {
        try {
            lister_.Point(folder);
        } catch (const PayloadListError& e) {
            throw InstallError(e.tooMany() ? Failure::TooManyPayloadFiles : unreadable, folder, e.reason());
        }
    }

    [[nodiscard]] std::vector<std::string> Snapshot() const {
        std::vector<std::string> names;
        for (int i = 0; i < lister_.Count(); ++i) names.push_back(lister_.NameAt(i));
        return names;
    }

    // The script must name every payload file exactly; a name that the code
    // page cannot hold would send the tool to another file.
    void RequireWritableNames(const std::string& folder, const std::vector<std::string>& names) const {
        for (const auto& name : names) RequireWritable(folder + "\\" + name, PathPart::ModFile);
    }

    void RequireWritable(const std::string& path, PathPart part) const {
        if (!host_.CanEncode(path))
            throw InstallError(Failure::NotRepresentable, path, FirstUnwritableName(path), part);
    }

    // The first name along the path (a folder's or the file's) that the code
    // page cannot hold; empty when each name alone can be held.
    [[nodiscard]] std::string FirstUnwritableName(std::string_view path) const {
        size_t start = 0;
        while (start < path.size()) {
            size_t end = path.find('\\', start);
            if (end == std::string_view::npos) end = path.size();
            const std::string_view name = path.substr(start, end - start);
            if (!name.empty() && !host_.CanEncode(name)) return std::string(name);
            start = end + 1;
        }
        return {};
    }

    // Each line goes to the file the moment it is made; both loops walk the
    // lister's snapshot.
    void WriteBlock(Block block) {
        const BlockNames names{[this] { return lister_.Count(); }, [this](int i) { return lister_.NameAt(i); }};
        BlockLines(block, paths_.gameFolder, paths_.appFolder, names,
                   [this](const std::string& line) { host_.WriteScriptLine(line); });
    }

    const RunPaths& paths_;
    PayloadLister& lister_;
    InstallHost& host_;
};

}  // namespace

int RunInstall(const RunPaths& paths, PayloadLister& lister, InstallHost& host) {
    try {
        Run(paths, lister, host).Execute();
    } catch (const InstallError& error) {
        host.ShowFailure(FailureText(error));
        return static_cast<int>(error.failure());
    } catch (const std::exception& error) {
        const InstallError unexpected(Failure::Unexpected, paths.appFolder, error.what());
        host.ShowFailure(FailureText(unexpected));
        return static_cast<int>(Failure::Unexpected);
    }
    host.ShowSuccess();
    return kExitSuccess;
}

}  // namespace veltrin::install
