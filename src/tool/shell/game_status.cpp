#include "tool/shell/game_status.h"

#include <algorithm>
#include <map>
#include <optional>
#include <set>

#include "archive/archive.h"
#include "archive/archive_error.h"
#include "archive/layout_restore.h"
#include "archive/names.h"
#include "archive/sha256.h"
#include "install/folder_listing.h"
#include "install/payload_folders.h"
#include "text/ascii.h"
#include "text/counted.h"
#include "text/path_text.h"
#include "tool/common/error_text.h"
#include "tool/common/platform.h"
#include "tool/common/read_only_file_system.h"
#include "tool/common/utc_time.h"
#include "tool/runs/game_layers.h"
#include "tool/runs/game_pending.h"
#include "tool/runs/game_record.h"
#include "tool/runs/game_record_run.h"
#include "tool/runs/loader_folder.h"
#include "tool/runs/originals_store.h"

namespace veltrin::tool {
namespace {

// One archive of the game, its record and what holding it against the
// archive found.
struct ArchiveView {
    std::string shown;  // "models\gta3.img"
    std::string path;
    GameRecord record;
    std::string unread;             // why the archive could not be held against the record; empty when it was
    std::set<std::string> changed;  // folded names another program changed since their top layer
    // The newest install, undone now, gives the archive back byte for byte:
    // nothing else changed it and the layout from before it is kept.
    bool newestComesBackWhole = false;
};

// An install as the game knows it: its parts in each archive's record,
// joined by the application folders they share.
struct InstallView {
    std::vector<std::string> folders;
    uint64_t time = 0;
    std::string computer;
    std::vector<std::pair<size_t, size_t>> parts;  // archive, install in its record
};

// The most entries listed for one install in one archive.
constexpr size_t kEntriesListed = 200;

constexpr std::string_view kInterrupted =
    "an earlier save of it was interrupted, and the next install or undo settles it first";

char SeparatorOf(std::string_view path) {
    const size_t last = path.find_last_of("\\/");
    return last != std::string_view::npos ? path[last] : PathSeparator();
}

std::string Trimmed(std::string folder) {
    while (folder.size() > 1 && text::IsPathSeparator(folder.back()) && folder.size() > text::RootLength(folder))
        folder.pop_back();
    return folder;
}

// Finds what another program changed, as every run holds the record against
// the archive (game_layers.h): entries whose bytes are not what their top
// layer put in, and whether the layout could still be given back.
void HoldAgainstArchive(ArchiveView& view, archive::FileSystem& fs) {
    try {
        const auto opened = archive::Archive::Open(view.path, fs);
        // Read again against the archive's directory, which its layouts
        // are written against.
        GameRecord held =
            ReadGameRecord(fs, GameRecordPathFor(view.path), &opened.CurrentDirectory()).value_or(view.record);
        const HeldAgainst found = HoldAgainst(held, opened);
        for (const std::string& name : found.changed) view.changed.insert(archive::FoldedName(name));
        const bool asLeft = held.left && opened.CurrentState() == *held.left;
        if (asLeft && found.changed.empty() && !held.installs.empty()) {
            const KeptLayout& before =
                held.installs.size() == 1 && held.layout ? held.layout : held.installs.back().layoutBefore;
            view.newestComesBackWhole = before && archive::WhyLayoutCannotBeGivenBack(*before).empty();
        }
    } catch (const WouldChange&) {
        view.unread = kInterrupted;
    } catch (const archive::ArchiveError& error) {
        view.unread = DescribeError(error);
    } catch (const RecordError& error) {
        view.unread = std::string("its layouts cannot be read against it: ") + error.what();
    }
}

// The installs of every archive, joined where they share an application
// folder, oldest first.
std::vector<InstallView> JoinInstalls(const std::vector<ArchiveView>& views) {
    std::vector<InstallView> installs;
    for (size_t a = 0; a < views.size(); ++a) {
        for (size_t i = 0; i < views[a].record.installs.size(); ++i) {
            const GameInstall& install = views[a].record.installs[i];
            const auto same = std::find_if(installs.begin(), installs.end(), [&](const InstallView& known) {
                return std::any_of(known.folders.begin(), known.folders.end(),
                                   [&](const std::string& folder) { return install.From(folder); });
            });
            InstallView* joined = same != installs.end() ? &*same : &installs.emplace_back();
            if (joined->parts.empty()) {
                joined->time = install.time;
                joined->computer = install.computer;
            }
            joined->time = std::min(joined->time, install.time);
            for (const std::string& folder : install.folders)
                if (std::none_of(joined->folders.begin(), joined->folders.end(),
                                 [&](const std::string& known) { return text::EqualIgnoringAsciiCase(known, folder); }))
                    joined->folders.push_back(folder);
            joined->parts.emplace_back(a, i);
        }
    }
    std::stable_sort(installs.begin(), installs.end(),
                     [](const InstallView& x, const InstallView& y) { return x.time < y.time; });
    return installs;
}

// The number (from 1) the install of that record has in the game's list.
size_t NumberOf(const std::vector<InstallView>& installs, size_t archiveIndex, size_t installIndex) {
    for (size_t n = 0; n < installs.size(); ++n)
        for (const auto& part : installs[n].parts)
            if (part == std::pair{archiveIndex, installIndex}) return n + 1;
    return 0;
}

class StatusWriter {
public:
    StatusWriter(const std::vector<ArchiveView>& views, const std::vector<InstallView>& installs,
                 archive::FileSystem& fs, Report& report)
        : views_(views), installs_(installs), fs_(fs), report_(report) {
        // Which installs touch each name, oldest first, per archive.
        for (const ArchiveView& view : views_) {
            touching_.emplace_back();
            for (size_t i = 0; i < view.record.installs.size(); ++i)
                for (const InstallLayer& layer : view.record.installs[i].entries)
                    touching_.back()[layer.name].push_back(i);
        }
    }

    void Install(size_t number) {
        const InstallView& install = installs_[number - 1];
        std::string line = "install " + std::to_string(number) + ": from " + install.folders.front() + ", " +
                           UtcTimeText(install.time);
        if (!install.computer.empty()) line += ", on " + install.computer;
        report_.Line(line);
        for (size_t f = 1; f < install.folders.size() && f <= kNamesInALine; ++f)
            report_.Line("  also from " + install.folders[f]);
        if (install.folders.size() > kNamesInALine + 1)
            report_.Line("  also from " +
                         text::Counted(install.folders.size() - kNamesInALine - 1, "other folder", "other folders"));
        for (const auto& [a, i] : install.parts) Part(a, i);
    }

private:
    const std::vector<ArchiveView>& views_;
    const std::vector<InstallView>& installs_;
    archive::FileSystem& fs_;
    Report& report_;
    std::vector<archive::FoldedMap<std::vector<size_t>>> touching_;

    void Part(size_t a, size_t i) {
        const ArchiveView& view = views_[a];
        const GameInstall& install = view.record.installs[i];
        report_.Line("  " + view.shown + ": " + text::Counted(install.entries.size(), "entry", "entries"));
        for (size_t e = 0; e < install.entries.size() && e < kEntriesListed; ++e)
            report_.Line("    " + install.entries[e].name + ": " + Undo(a, i, install.entries[e]));
        if (install.entries.size() > kEntriesListed)
            report_.Line("    and " + text::Counted(install.entries.size() - kEntriesListed, "entry", "entries") +
                         " more");
        if (i + 1 == view.record.installs.size() && view.newestComesBackWhole &&
            std::all_of(install.entries.begin(), install.entries.end(),
                        [&](const InstallLayer& layer) { return !layer.before || Kept(a, *layer.before); }))
            report_.Line("    the undo gives " + view.shown + " back byte for byte as it was before " +
                         (i == 0 ? "the first install" : "this install"));
    }

    // What undoing install i would do to the entry of its layer now.
    std::string Undo(size_t a, size_t i, const InstallLayer& layer) {
        const ArchiveView& view = views_[a];
        const std::string folded = archive::FoldedName(layer.name);
        if (view.changed.count(folded))
            return "it changed since (another program, or the game repaired or updated); the undo leaves it as it is";
        std::optional<size_t> below;
        std::optional<size_t> above;
        for (const size_t j : touching_[a].at(layer.name)) {
            if (j < i) below = j;
            if (j > i && !above) above = j;
        }
        const std::string gives = Gives(a, layer, below);
        if (!above) return "the undo " + gives;
        const std::string next = "install " + std::to_string(NumberOf(installs_, a, *above));
        return next + " put it in since; the undo leaves it as it is, and " + next + "'s undo then " + gives;
    }

    // Whether the originals store beside the archive holds the content whole.
    bool Kept(size_t a, const StoredContent& content) {
        try {
            return OriginalsStore(fs_, views_[a].path).Has(content);
        } catch (const archive::ArchiveError&) {
            return false;
        }
    }

    std::string Gives(size_t a, const InstallLayer& layer, std::optional<size_t> below) {
        if (!layer.before) return "removes it (it was not in the archive before)";
        std::string gives =
            below ? "gives back what install " + std::to_string(NumberOf(installs_, a, *below)) + " put in"
                  : std::string("gives back the game's own bytes");
        if (!Kept(a, *layer.before))
            gives += ", but they are missing from " + views_[a].shown + std::string(kOriginalsSuffix);
        return gives;
    }
};

}  // namespace

std::vector<std::string> ArchivesToShow(const std::vector<std::string>& otherNames) {
    std::vector<std::string> names(install::kPayloadFolders.begin(), install::kPayloadFolders.end());
    for (const std::string& name : otherNames)
        if (std::none_of(names.begin(), names.end(),
                         [&](const std::string& known) { return text::EqualIgnoringAsciiCase(known, name); }))
            names.push_back(name);
    return names;
}

ExitStatus ShowGameStatus(const std::string& gameFolder, const std::vector<std::string>& archives,
                          archive::FileSystem& system, Report& report) {
    ReadOnlyFileSystem fs(system);
    const std::string game = Trimmed(gameFolder);
    const char separator = SeparatorOf(game);
    const std::string models = std::string(install::kModelsFolder) + separator;
    ExitStatus status = ExitStatus::Ok;
    std::vector<ArchiveView> views;
    bool anyArchive = false;
    for (const std::string& name : archives) {
        ArchiveView view;
        view.shown = models + name;
        view.path = game + separator + view.shown;
        anyArchive = anyArchive || fs.Exists(view.path);
        const std::string recordPath = GameRecordPathFor(view.path);
        try {
            std::optional<GameRecord> record = ReadGameRecord(fs, recordPath);
            if (!record) continue;
            view.record = std::move(*record);
        } catch (const RecordError& error) {
            report.Line("error: " + recordPath + " cannot be trusted: " + error.what());
            status = ExitStatus::Io;
            continue;
        } catch (const archive::ArchiveError& error) {
            report.Line("error: " + recordPath + " cannot be read: " + DescribeError(error));
            status = ExitStatus::Io;
            continue;
        }
        if (fs.Exists(GamePendingPathFor(view.path))) {
            view.unread = kInterrupted;  // the record may describe the archive before that save
            try {
                CheckGamePending(fs, view.path);
            } catch (const std::exception& error) {
                // No run settles it: each stops before it changes anything.
                report.Line("error: " + GamePendingPathFor(view.path) +
                            ", the record waiting for an interrupted save, cannot be trusted: " + error.what());
                view.unread =
                    "an earlier save of it was interrupted, and the record waiting for it cannot be "
                    "trusted; installs and undos stop until it is moved aside";
                status = ExitStatus::Io;
            }
        } else {
            HoldAgainstArchive(view, fs);
        }
        views.push_back(std::move(view));
    }
    if (!anyArchive && views.empty() && status == ExitStatus::Ok) {
        report.Line("error: no game in " + game + ": neither " + models + std::string(install::kPayloadFolders[0]) +
                    " nor " + models + std::string(install::kPayloadFolders[1]) + " is there");
        return ExitStatus::NotFound;
    }
    const std::vector<InstallView> installs = JoinInstalls(views);
    report.Line(installs.empty()
                    ? "nothing is installed in " + game
                    : text::Counted(installs.size(), "install", "installs") + " in " + game + ", oldest first");
    for (const ArchiveView& view : views) {
        if (!view.unread.empty()) report.Line(view.shown + ": not held against the archive: " + view.unread);
        if (!view.changed.empty()) {
            std::vector<std::string> names;
            std::set<std::string> named;
            for (const GameInstall& install : view.record.installs)
                for (const InstallLayer& layer : install.entries) {
                    const std::string folded = archive::FoldedName(layer.name);
                    if (view.changed.count(folded) && named.insert(folded).second) names.push_back(layer.name);
                }
            report.Line(view.shown + ": " + text::Counted(view.changed.size(), "entry", "entries") +
                        " changed since the installs put them in (another program, or the game repaired or "
                        "updated): " +
                        text::ListedUpTo(names, kNamesInALine));
        }
    }
    StatusWriter writer(views, installs, fs, report);
    for (size_t number = 1; number <= installs.size(); ++number) writer.Install(number);
    std::map<std::string, std::string> putIn;
    for (const ArchiveView& view : views)
        for (const GameInstall& install : view.record.installs)
            for (const InstallLayer& layer : install.entries)
                putIn.emplace(archive::FoldedName(layer.name), layer.name + " in " + view.shown);
    ReportHidingFiles(report, FilesHidingEntries(game, putIn, separator, install::ListFolder), "the installs");
    report.Line("nothing was changed");
    return status;
}

}  // namespace veltrin::tool
