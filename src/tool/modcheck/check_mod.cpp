#include "tool/modcheck/check_mod.h"

#include <algorithm>
#include <map>
#include <set>
#include <string_view>
#include <vector>

#include "archive/archive.h"
#include "archive/names.h"
#include "install/folder_listing.h"
#include "install/payload_folders.h"
#include "install/payload_lister.h"
#include "install/payload_rules.h"
#include "text/ascii.h"
#include "text/counted.h"
#include "tool/common/error_text.h"
#include "tool/common/platform.h"
#include "tool/modcheck/leftovers.h"
#include "tool/modcheck/renderware_check.h"

namespace veltrin::tool {
namespace {

constexpr std::string_view kRefused = "the archive tool refuses the install script, so nothing is installed";

// CJ's body and clothes; the game blends their textures pixel by pixel.
constexpr std::string_view kBlendedFolder = install::kPayloadFolders[1];
static_assert(kBlendedFolder == "player.img");
constexpr std::string_view kBlendedFormat =
    "the game blends CJ's clothing textures pixel by pixel and assumes 32 bits per pixel, uncompressed";

// "The name is empty." as a clause: "the name is empty".
std::string Clause(std::string sentence) {
    if (!sentence.empty() && sentence.back() == '.') sentence.pop_back();
    if (!sentence.empty()) sentence.front() = text::LowerAscii(sentence.front());
    return sentence;
}

std::string Join(const std::vector<std::string>& parts) {
    std::string text;
    for (const auto& part : parts) text += (text.empty() ? "" : "; ") + part;
    return text;
}

// Why the installer leaves an entry of a payload folder out.
std::string LeftOutReason(const install::FolderEntry& entry) {
    if (entry.isFolder) return "a folder: the installer takes only the files that lie directly in a payload folder";
    if (entry.hidden) return "a hidden file: the installer leaves hidden files out";
    if (entry.system) return "a system file: the installer leaves system files out";
    const std::string folded = archive::FoldedName(entry.name);
    const size_t dot = folded.find_last_of('.');
    const std::string extension = dot == std::string::npos ? "" : folded.substr(dot);
    std::string kind;
    if (extension == ".col")
        kind = "collision data (.col)";
    else if (extension == ".ifp")
        kind = "animations (.ifp)";
    else if (extension == ".ipl")
        kind = "item placements of a map (.ipl)";
    else if (extension == ".ide")
        kind = "item definitions (.ide)";
    else if (extension.empty() || extension == ".")
        kind = "a file without an extension";
    else
        kind = "a " + extension + " file";
    return kind + ": this installer puts only models (.dff) and texture dictionaries (.txd) into the archives";
}

StreamKind KindOf(const std::string& name) {
    return archive::FoldedName(name).ends_with(".txd") ? StreamKind::TextureDictionary : StreamKind::Model;
}

struct FolderTally {
    std::string_view archive;
    bool listed = false;
    size_t installed = 0;
    size_t leftOut = 0;
};

class ModCheck {
public:
    ModCheck(archive::FileSystem& fs, Report& report) : fs_(fs), report_(report) {}

    void Folder(const std::string& appFolder, std::string_view archiveName) {
        FolderTally& tally = folders_.emplace_back(FolderTally{archiveName});
        const std::string folder = appFolder + PathSeparator() + std::string(archiveName);
        report_.Line(folder);
        std::vector<install::FolderEntry> entries;
        try {
            entries = install::ListFolder(folder);
        } catch (const install::PayloadListError& error) {
            Problem("the installer cannot list the mod's files in it and stops before changing anything: " +
                    Clause(error.reason()));
            return;
        }
        const std::vector<std::string> payload = install::SelectPayload(entries);
        if (payload.size() > install::kMaxPayloadNames) {
            Problem("it holds " + std::to_string(payload.size()) + " mod files, more than the installer takes (" +
                    std::to_string(install::kMaxPayloadNames) + "): it stops before changing anything");
            return;
        }
        tally.listed = true;
        payloadFiles_ += payload.size();
        const std::set<std::string> chosen(payload.begin(), payload.end());
        std::map<std::string, std::vector<std::string>> sameFolded;
        for (const auto& name : payload) sameFolded[archive::FoldedName(name)].push_back(name);

        std::sort(entries.begin(), entries.end(),
                  [](const auto& a, const auto& b) { return install::PayloadNameLess(a.name, b.name); });
        for (const auto& entry : entries) {
            if (chosen.count(entry.name) == 0) {
                FileLine("left out", entry.name, LeftOutReason(entry));
                ++tally.leftOut;
                continue;
            }
            if (File(folder + PathSeparator() + entry.name, entry.name, sameFolded[archive::FoldedName(entry.name)],
                     archiveName == kBlendedFolder))
                ++tally.installed;
        }
        if (payload.empty())
            Warning("it holds no model or texture dictionary: the install leaves the game's " +
                    std::string(archiveName) + " as it is");
    }

    // What a trial install left in the application folder: the zip must not
    // carry it to players.
    void Leftovers(const std::string& appFolder) {
        const auto found = FindLeftovers(appFolder);
        if (found.empty()) return;
        report_.Line(appFolder);
        for (const auto& leftover : found)
            FileLine("PROBLEM", leftover.path,
                     leftover.what + ": it must not ship; remove it, or zip a clean copy of the release");
        problems_ += found.size();
        leftovers_ += found.size();
    }

    ExitStatus Finish() {
        const bool allListed = std::all_of(folders_.begin(), folders_.end(), [](const auto& f) { return f.listed; });
        if (allListed && payloadFiles_ == 0)
            Problem("neither payload folder holds a model or texture dictionary: the install would change nothing");
        size_t leftOut = 0;
        for (const auto& folder : folders_) {
            leftOut += folder.leftOut;
            report_.Line(std::string(folder.archive) + ": " +
                         (folder.listed ? text::Counted(folder.installed, "file", "files") + " to install, " +
                                              std::to_string(folder.leftOut) + " left out"
                                        : "cannot be listed"));
        }
        report_.Line(text::Counted(problems_, "problem", "problems") + ", " +
                     text::Counted(warnings_, "warning", "warnings"));
        if (problems_ > leftovers_) {
            report_.Line("not ready: the install would stop, or the game would fail on a file; fix the problems");
            return ExitStatus::ModProblems;
        }
        if (problems_ > 0) {
            report_.Line(
                "not ready: the folder holds what trying the package here left, which players must not get; while "
                "the mod is in your game, undo it first with Undo.cmd; then remove what is left, or zip a clean copy "
                "of the release");
            return ExitStatus::ModProblems;
        }
        if (leftOut > 0) {
            report_.Line("not ready: the install works, but leaves out the files marked \"left out\"");
            return ExitStatus::ModFilesLeftOut;
        }
        report_.Line("ready: every file will be installed");
        return ExitStatus::Ok;
    }

private:
    // Checks one payload file; true when nothing in it stops the install or
    // breaks the game. In the blended folder a texture dictionary's textures
    // must be of the format the game blends.
    bool File(const std::string& path, const std::string& name, const std::vector<std::string>& sameFolded,
              bool blended) {
        std::vector<std::string> problems;
        std::vector<std::string> warnings;
        if (const std::string problem = archive::NameProblem(name); !problem.empty())
            problems.push_back(Clause(problem) + ": " + std::string(kRefused));
        if (const std::string problem = CodePageProblem(name); !problem.empty())
            problems.push_back("the installer cannot write the name into its script: " + problem);
        for (const auto& other : sameFolded)
            if (other != name)
                problems.push_back("its name differs only in case from " + other +
                                   ": a Windows folder holds only one of the two (unpacking the zip keeps one), "
                                   "and an archive holds one entry for both names");
        std::string description;
        try {
            const auto file = fs_.Open(path, archive::OpenMode::Read);
            const uint64_t size = file->Size();
            if (size > archive::kMaxEntryBytes) {
                problems.push_back("it is " + std::to_string(size) + " bytes, more than one entry holds (" +
                                   std::to_string(archive::kMaxEntrySectors) + " sectors, " +
                                   std::to_string(archive::kMaxEntryBytes) +
                                   " bytes): the archive tool stops the install at it, and the archive it was to go "
                                   "into stays unchanged");
            } else {
                std::vector<uint8_t> bytes(static_cast<size_t>(size));
                file->ReadAt(0, bytes);
                const StreamCheck stream = CheckRenderWareStream(bytes, KindOf(name));
                if (!stream.problem.empty()) problems.push_back(stream.problem);
                if (!stream.warning.empty()) warnings.push_back(stream.warning);
                if (blended && stream.problem.empty() && KindOf(name) == StreamKind::TextureDictionary) {
                    const auto textures = TexturesNotBlendable(bytes);
                    warnings.insert(warnings.end(), textures.begin(), textures.end());
                    if (!textures.empty()) warnings.back() += ": " + std::string(kBlendedFormat);
                }
                description = stream.description + ", " + text::Counted(size, "byte", "bytes");
            }
        } catch (const archive::ArchiveError& error) {
            problems.push_back("it cannot be read: " + DescribeError(error));
        }
        problems_ += problems.size();
        warnings_ += warnings.size();
        if (!problems.empty()) {
            problems.insert(problems.end(), warnings.begin(), warnings.end());
            FileLine("PROBLEM", name, Join(problems));
            return false;
        }
        if (!warnings.empty()) {
            warnings.insert(warnings.begin(), description);
            FileLine("warning", name, Join(warnings));
        } else {
            FileLine("ok", name, description);
        }
        return true;
    }

    // The tag in a column of its own, then the text.
    void Tagged(std::string_view tag, const std::string& text) {
        std::string line = "  " + std::string(tag);
        line.resize(std::max<size_t>(line.size() + 1, 11), ' ');
        report_.Line(line + text);
    }
    void FileLine(std::string_view tag, const std::string& name, const std::string& text) {
        Tagged(tag, name + ": " + text);
    }
    void Problem(const std::string& text) {
        ++problems_;
        Tagged("PROBLEM", text);
    }
    void Warning(const std::string& text) {
        ++warnings_;
        Tagged("warning", text);
    }

    archive::FileSystem& fs_;
    Report& report_;
    std::vector<FolderTally> folders_;
    size_t payloadFiles_ = 0;
    size_t problems_ = 0;
    size_t leftovers_ = 0;  // among the problems
    size_t warnings_ = 0;
};

}  // namespace

ExitStatus CheckMod(const std::string& appFolder, archive::FileSystem& fs, Report& report) {
    report.Line("checking the mod in " + appFolder + " (nothing is written)");
    ModCheck check(fs, report);
    for (const auto archiveName : install::kPayloadFolders) check.Folder(appFolder, archiveName);
    check.Leftovers(appFolder);
    return check.Finish();
}

}  // namespace veltrin::tool
