#include "tool/elevation/elevation.h"

#include <algorithm>
#include <set>

#include "archive/archive_error.h"
#include "archive/names.h"
#include "text/path_text.h"

namespace veltrin::tool {
namespace {

class PlaceCheck {
public:
    PlaceCheck(archive::FileSystem& fs, std::vector<DeniedPlace>& denied) : fs_(fs), denied_(denied) {}

    // False when the run would stop at this file for another reason.
    bool File(const std::string& path) {
        if (fs_.MarkedReadOnly(path)) {
            Deny(DeniedPlace::Kind::ReadOnly, path);
            return true;
        }
        try {
            fs_.CheckWritable(path);
        } catch (const archive::ArchiveError& error) {
            if (error.kind() != archive::ErrorKind::AccessDenied) return false;
            Deny(DeniedPlace::Kind::File, path);
        }
        return true;
    }

    // A file that is not there has nothing to remove; one the system refuses
    // otherwise (in use) is left to the run.
    void RemovedFile(const std::string& path) {
        try {
            if (!fs_.Exists(path)) return;
            if (fs_.MarkedReadOnly(path)) {
                Deny(DeniedPlace::Kind::ReadOnly, path);
                return;
            }
            fs_.CheckWritable(path);
        } catch (const archive::ArchiveError& error) {
            if (error.kind() == archive::ErrorKind::AccessDenied) Deny(DeniedPlace::Kind::File, path);
        }
    }

    void Folder(const std::string& folder) {
        if (folder.empty() || !checked_.insert(archive::FoldedName(folder)).second) return;
        std::string existing = folder;
        try {
            // A parent that the path names again (a root) ends the climb.
            for (int depth = 0; !fs_.Exists(existing); ++depth) {
                const std::string parent(text::FolderOf(existing));
                if (parent.empty() || parent == existing || depth > 255) return;
                existing = parent;
            }
        } catch (const archive::ArchiveError& error) {
            if (error.kind() == archive::ErrorKind::AccessDenied)
                Deny(existing == folder ? DeniedPlace::Kind::Folder : DeniedPlace::Kind::NewFolder, folder);
            return;
        }
        try {
            fs_.CheckCanCreateIn(existing);
        } catch (const archive::ArchiveError& error) {
            if (error.kind() != archive::ErrorKind::AccessDenied) return;
            // The mark explains the refusal; the folder that carries it is named.
            if (fs_.MarkedReadOnly(existing))
                Deny(DeniedPlace::Kind::ReadOnly, existing);
            else
                Deny(existing == folder ? DeniedPlace::Kind::Folder : DeniedPlace::Kind::NewFolder, folder);
        }
    }

private:
    void Deny(DeniedPlace::Kind kind, const std::string& path) {
        if (deniedKeys_.insert(archive::FoldedName(path)).second) denied_.push_back({kind, path});
    }

    archive::FileSystem& fs_;
    std::vector<DeniedPlace>& denied_;
    std::set<std::string> checked_;
    std::set<std::string> deniedKeys_;
};

bool IsYes(std::string_view answer) {
    while (!answer.empty() && (answer.front() == ' ' || answer.front() == '\t')) answer.remove_prefix(1);
    while (!answer.empty() && (answer.back() == ' ' || answer.back() == '\t')) answer.remove_suffix(1);
    const std::string folded = archive::FoldedName(std::string(answer));
    return folded == "y" || folded == "yes";
}

}  // namespace

std::vector<DeniedPlace> DeniedPlaces(const std::vector<WritePlace>& places, archive::FileSystem& fs) {
    std::vector<DeniedPlace> denied;
    PlaceCheck check(fs, denied);
    for (const auto& place : places) {
        if (place.kind == WritePlace::Kind::File) {
            if (!check.File(place.path)) break;
        } else if (place.kind == WritePlace::Kind::RemovedFile) {
            check.RemovedFile(place.path);
        } else {
            check.Folder(place.path);
        }
    }
    return denied;
}

std::string DeniedText(const DeniedPlace& place, bool withWindows) {
    std::string what;
    switch (place.kind) {
    case DeniedPlace::Kind::File:
        what = "change " + place.path;
        break;
    case DeniedPlace::Kind::Folder:
        what = "create files in " + place.path;
        break;
    case DeniedPlace::Kind::NewFolder:
        what = "create the folder " + place.path;
        break;
    case DeniedPlace::Kind::ReadOnly:
        // Where it comes from is not Program Files, and so is not said.
        return place.path + " is marked read-only (" +
               (withWindows ? "Properties, untick Read-only" : "give its owner write permission") + ").";
    }
    return (withWindows ? "Windows does not let this account " : "The system does not let this account ") + what +
           (withWindows ? " (it is probably in Program Files)." : ".");
}

std::optional<ExitStatus> CheckWriteAccess(const std::vector<std::string>& arguments,
                                           const std::vector<WritePlace>& places, archive::FileSystem& fs,
                                           Console& console, ConsoleReport& report, AdminRights& rights) {
    const auto denied = DeniedPlaces(places, fs);
    if (denied.empty()) return std::nullopt;

    const bool elevates = rights.CanElevate();
    for (const auto& place : denied) report.Line(DeniedText(place, elevates));
    const auto refuse = [&report](const std::string& why) {
        report.Line("error: " + why);
        report.Line("nothing was changed");
        report.Line("failed");
        return ExitStatus::AccessDenied;
    };
    const std::string advice = "access denied: run as administrator or move the game out of Program Files";
    if (std::any_of(denied.begin(), denied.end(),
                    [](const DeniedPlace& place) { return place.kind == DeniedPlace::Kind::ReadOnly; }))
        return refuse(
            "access denied: take the read-only mark off what is named above and run again (administrator rights do "
            "not lift it)");
    if (!elevates) return refuse("access denied");
    if (rights.IsElevated()) return refuse("access denied, even with administrator rights");
    if (!console.CanAsk()) return refuse(advice);
    const auto answer = console.Ask(kElevateQuestion);
    if (!answer) {
        console.Write("\n");
        return refuse(advice);
    }
    if (!IsYes(*answer)) return refuse(advice);

    report.Line("starting Install.plug again with administrator rights, in a window of its own");
    report.DetachLog();  // the new run writes the log
    const RelaunchResult result = rights.RelaunchElevated(arguments);
    switch (result.outcome) {
    case RelaunchResult::Outcome::Finished:
        report.Line("the administrator's window finished with status " + std::to_string(result.status));
        return static_cast<ExitStatus>(result.status);
    case RelaunchResult::Outcome::Refused:
        return refuse("administrator rights were not given");
    case RelaunchResult::Outcome::Failed:
        break;
    }
    return refuse("Install.plug could not be started with administrator rights: " + result.why);
}

}  // namespace veltrin::tool
