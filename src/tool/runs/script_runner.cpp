#include "tool/runs/script_runner.h"

#include <algorithm>
#include <map>
#include <optional>
#include <set>

#include "archive/archive.h"
#include "archive/archive_error.h"
#include "archive/commit.h"
#include "archive/free_entries.h"
#include "archive/game_table.h"
#include "archive/names.h"
#include "archive/recovery.h"
#include "install/folder_listing.h"
#include "install/payload_folders.h"
#include "text/ascii.h"
#include "text/counted.h"
#include "text/path_text.h"
#include "tool/common/error_text.h"
#include "tool/common/platform.h"
#include "tool/common/publish_group.h"
#include "tool/common/read_only_file_system.h"
#include "tool/common/utc_time.h"
#include "tool/runs/backup_marker.h"
#include "tool/runs/backup_writes.h"
#include "tool/runs/entry_match.h"
#include "tool/runs/folder_link.h"
#include "tool/runs/game_pending.h"
#include "tool/runs/game_record_run.h"
#include "tool/runs/held_archives.h"
#include "tool/runs/install_record.h"
#include "tool/runs/leftovers.h"
#include "tool/runs/loader_folder.h"
#include "tool/runs/moved_game.h"
#include "tool/runs/pending_save.h"
#include "tool/runs/preflight.h"
#include "tool/runs/run_report.h"
#include "tool/runs/script_reader.h"
#include "tool/runs/tried_folder.h"

namespace veltrin::tool {
namespace {

using archive::kPlayerTable;
constexpr std::string_view kPlayerArchive = install::kPayloadFolders[1];
static_assert(kPlayerArchive == "player.img");

// What one archive's block did.
struct ArchiveTally {
    int backedUp = 0;
    int backupsKept = 0;
    int nothingToBackUp = 0;
    int replaced = 0;
    int added = 0;
    int alreadyIn = 0;  // entries that held the file already

    // saved: whether the archive's changes were saved; else the entries
    // are counted as what the save would have replaced and added.
    [[nodiscard]] std::string Text(bool saved = true) const {
        const std::string text = TallyText({{backedUp, "backed up"},
                                            {backupsKept, "backup kept", "backups kept"},
                                            {nothingToBackUp, "with nothing to back up"},
                                            {replaced, saved ? "replaced" : "not replaced"},
                                            {added, saved ? "added" : "not added"}});
        return alreadyIn == 0 ? text : text + ", " + TallyText({{alreadyIn, "held its file already"}});
    }
};

// The folder that holds the script as a player finds it: "C:\" at a drive's
// root rather than "C:".
std::string FolderText(const std::string& scriptPath) {
    if (text::FileNameOf(scriptPath).size() == scriptPath.size()) return "this folder";
    return std::string(text::FolderOf(scriptPath));
}

bool SamePath(std::string_view a, std::string_view b) { return archive::FoldedName(a) == archive::FoldedName(b); }

// One application folder serves one game. A record of another computer's
// install (a test install zipped with the mod), or of an install into
// archives in another folder than those the script opens, stops the run
// before it changes anything (an earlier run's save settled on the way is
// said): the backups beside it are not this game's.
std::optional<ExitStatus> RefuseOtherInstall(const InstallRecord& record, const std::string& computer,
                                             const std::vector<ScriptCommand>& commands, const std::string& scriptPath,
                                             const std::string& recordPath, Report& report, bool changedBefore) {
    if (record.archives.empty()) return std::nullopt;
    const std::string& first = record.archives.front().path;
    const std::string backups(text::FolderOf(recordPath));
    const auto refuse = [&](const std::string& why, const std::string& whose, const std::string& what) {
        report.Line("error: this folder holds another install's backups: " + why);
        report.Line("  one folder serves one game: the backups in " + backups + " are the originals of " + whose);
        report.Line("  " + what);
        report.Line(std::string(NothingChangedLine(changedBefore)));
        report.Line("failed");
        return ExitStatus::OtherInstall;
    };
    if (!record.computer.empty() && !computer.empty() && !text::EqualIgnoringAsciiCase(record.computer, computer))
        return refuse("its install record was made on another computer (" + record.computer + "), for " + first,
                      "that computer's game, not this one's",
                      "this copy of the mod was zipped after an install ran from it: unpack a fresh copy of the mod "
                      "and install from there; if it is this computer, renamed since, first undo that install with "
                      "Undo.cmd in " +
                          FolderText(scriptPath));
    for (const ScriptCommand& command : commands) {
        if (command.kind != CommandKind::Open || record.Find(command.path)) continue;
        const std::string_view folder = text::FolderOf(command.path);
        const RecordedArchive* sameName = nullptr;
        bool sameFolder = false;
        for (const RecordedArchive& recorded : record.archives) {
            sameFolder = sameFolder || SamePath(text::FolderOf(recorded.path), folder);
            if (SamePath(text::FileNameOf(recorded.path), text::FileNameOf(command.path))) sameName = &recorded;
        }
        if (sameFolder) continue;
        const std::string& theirs = sameName ? sameName->path : first;
        return refuse("the install from it went into " + theirs + ", and this one is aimed at " + command.path, theirs,
                      "first undo that install with Undo.cmd in " + FolderText(scriptPath) +
                          ", or unpack a fresh copy of the mod for the other game and install from there");
    }
    return std::nullopt;
}

// What the install writes beside the archive besides its data: the originals
// of the entries the export lines name that it backs up now (each kept
// beside the archive and in Backups), and the game's record, written again
// beside the one in place (the first one holds the archive's directory).
void CountWhatIsKept(ArchiveToSave& archive, const std::vector<const ScriptCommand*>& exports,
                     archive::FileSystem& system) {
    ReadOnlyFileSystem fs(system);
    try {
        const archive::Archive opened = archive::Archive::Open(archive.path, fs);
        for (const ScriptCommand* command : exports) {
            const archive::Entry* entry = opened.Find(command->name);
            if (entry && !fs.Exists(command->path))
                archive.keptBytes += uint64_t{entry->sectors} * archive::kSectorSize;
        }
        const std::string record = GameRecordPathFor(archive.path);
        archive.recordBytes = fs.Exists(record) ? fs.Open(record, archive::OpenMode::Read)->Size()
                                                : 8 + 32 * uint64_t{opened.Entries().size()};
    } catch (const std::exception&) {
        // The run says what is wrong with the archive where it opens it.
    }
}

// The archives the script opens, once each, with the bytes it puts into
// each and what it keeps; checked before anything changes (preflight.h).
std::optional<ExitStatus> CheckArchivesFirst(const std::string& scriptPath, const std::vector<ScriptCommand>& commands,
                                             archive::FileSystem& fs, Report& report) {
    struct Opened {
        ArchiveToSave archive;
        std::vector<const ScriptCommand*> exports;
    };
    std::vector<Opened> opened;
    std::vector<std::string> paths;
    for (const ScriptCommand& command : commands) {
        if (command.kind == CommandKind::Open) {
            const auto same = std::find_if(opened.begin(), opened.end(),
                                           [&](const Opened& a) { return SamePath(a.archive.path, command.path); });
            if (same == opened.end()) {
                opened.push_back({{command.path, 0, 0, std::string(text::FolderOf(scriptPath)), 0}, {}});
                paths.push_back(command.path);
            } else {
                std::rotate(same, same + 1, opened.end());  // the block now open is the last
            }
        } else if (command.kind == CommandKind::Export && !opened.empty()) {
            opened.back().exports.push_back(&command);
        } else if (command.kind == CommandKind::Import && !opened.empty()) {
            try {
                opened.back().archive.bytesPut += fs.Open(command.path, archive::OpenMode::Read)->Size();
            } catch (const archive::ArchiveError&) {
                // The run names a file that is missing or cannot be read
                // where it imports it.
            }
        }
    }
    if (const auto refused = RefuseUntrustedGameRecords(paths, fs, report)) return refused;
    std::vector<ArchiveToSave> archives;
    for (Opened& each : opened) {
        CountWhatIsKept(each.archive, each.exports, fs);
        archives.push_back(std::move(each.archive));
    }
    return CheckBeforeFirstSave(archives, fs, report);
}

// The game moved and an install changed it since, so the record could not
// follow it: the archives the record names are gone, and the script opens
// archives of those names elsewhere. The game's record beside them knows
// the install; the folder's record lets go of the archives that are gone.
void LetGoOfGoneGame(InstallRecord& record, const std::vector<ScriptCommand>& commands, archive::FileSystem& fs,
                     Report& report) {
    std::erase_if(record.archives, [&](const RecordedArchive& recorded) {
        if (fs.Exists(recorded.path)) return false;
        for (const ScriptCommand& command : commands)
            if (command.kind == CommandKind::Open && !SamePath(command.path, recorded.path) &&
                SamePath(text::FileNameOf(command.path), text::FileNameOf(recorded.path)) && fs.Exists(command.path)) {
                report.Line("the game has moved: " + recorded.path + " is gone and " + command.path +
                            " is here; its record of installs says what this folder installed");
                return true;
            }
        return false;
    });
}

// A mod author's tried folder, zipped with the mod: its record was made on
// another computer and names nothing this game's record holds, and its mod
// is not in this game. It is a fresh copy for this game: its record,
// backups and markers are set aside under "Backups (from another computer)"
// beside Backups, and the install goes on. Returns whether it set them
// aside. A record whose mod is in the game is not set aside: its backups may
// be the only copy of the game's own entries.
bool SetAsideTriedFolder(const InstallRecord& record, const std::string& computer,
                         const std::vector<ScriptCommand>& commands, const std::string& recordPath,
                         archive::FileSystem& fs, Report& report) {
    const std::string backups(text::FolderOf(recordPath));
    const std::string folder(text::FolderOf(backups));
    if (!MadeElsewhereForAnotherGame(record, computer, ArchivesOpened(commands), folder, fs)) return false;
    const std::string aside = std::string(folder) + backups[folder.size()] + "Backups (from another computer)";
    int moved = 0;
    for (const std::string& path : FilesRunsPublish(recordPath, commands, &record)) {
        for (const std::string& file : {path, AddedMarkerPath(path)}) {
            if (file.size() <= backups.size() ||
                !text::EqualIgnoringAsciiCase(file.substr(0, backups.size()), backups) ||
                !text::IsPathSeparator(file[backups.size()]) || !fs.Exists(file))
                continue;
            const std::string target = aside + file.substr(backups.size());
            fs.CreateDirectories(std::string(text::FolderOf(target)));
            fs.ReplaceAtomically(file, target);
            ++moved;
        }
    }
    report.Line("this folder's Backups hold an install made on another computer (" +
                (record.computer.empty() ? std::string("one it does not name") : record.computer) +
                "), which this game's record of installs does not know: a copy zipped after a trial install");
    report.Line("  set aside, not used: " + std::to_string(moved) + " files moved to " + aside +
                "; the install goes on as from a fresh copy");
    return true;
}

class ScriptRun {
public:
    // changedBefore: before it, an earlier run's scratch files were removed or
    // its save in progress settled.
    ScriptRun(const std::string& scriptPath, archive::FileSystem& fs, Report& report, const std::string& computer,
              InstallRecord record, bool changedBefore)
        : scriptPath_(scriptPath),
          recordPath_(RecordPathFor(scriptPath)),
          fs_(fs),
          report_(report),
          computer_(computer),
          record_(std::move(record)),
          changed_(changedBefore),
          gameChanged_(!record_.archives.empty()) {}

    ExitStatus Run(const std::vector<ScriptCommand>& commands) {
        const ScriptCommand* current = nullptr;
        try {
            commands_ = &commands;
            // Every archive the script opens is the run's before the first
            // save, until the run ends.
            for (const auto& command : commands) {
                if (command.kind != CommandKind::Open) continue;
                current = &command;
                held_.Take(command.path);
            }
            for (const auto& command : commands) {
                current = &command;
                Do(command);
            }
            current = nullptr;
            if (open_) Close(true);
        } catch (const archive::ArchiveError& error) {
            return Stop(current, DescribeError(error), StatusOf(error.kind()));
        } catch (const std::exception& error) {
            return Stop(current, error.what(), ExitStatus::Io);
        }
        ReportLoaderFolder();
        report_.Line("to undo this install: double-click Undo.cmd in " + FolderText(scriptPath_) +
                     ", or run Install.plug -restore \"" + scriptPath_ + "\"");
        if (!record_.archives.empty()) report_.Line(std::string(KeepFolderLine(record_)));
        report_.Line("done");
        return ExitStatus::Ok;
    }

private:
    // The files of the game's modloader folder that the game shows instead
    // of entries this run put in.
    void ReportLoaderFolder() {
        if (putIn_.empty()) return;
        const std::string& archive = outcomes_.front().path;
        const size_t last = archive.find_last_of("\\/");
        const char separator = last == std::string::npos ? PathSeparator() : archive[last];
        ReportHidingFiles(report_, FilesHidingEntries(GameFolderOf(archive), putIn_, separator, install::ListFolder),
                          "this install");
    }

    // What the block of the open archive did to each entry name (folded),
    // for the record.
    struct Original {
        std::string backup;
        std::string name;  // as the archive spelt it
        uint32_t at = 0;
        uint32_t sectors = 0;
        // A backup an earlier install left that no record accounts for,
        // of an entry that holds something else now.
        bool unaccounted = false;
        // Of those, one of an entry the folder's record does not name, that
        // holds the very file this block puts in: that install was this
        // mod's, and the backup is the game's original.
        bool beforeAnyRecord = false;
        std::optional<PutData> holds;  // what the backup holds, where this run made it
    };
    struct Marked {
        std::string backup;  // the marker lies beside this path
        std::string name;
        // An earlier install's marker the folder's record does not name, of
        // an entry that holds the very file this block puts in: that install
        // was this mod's, and the game had no such entry.
        bool beforeAnyRecord = false;
    };
    struct Put {
        std::string name;
        PutData data;
    };

    void Do(const ScriptCommand& command) {
        at_ = &command;
        switch (command.kind) {
        case CommandKind::Open:
            if (open_) Close(false);
            OpenArchive(command.path);
            break;
        case CommandKind::Export:
            Export(command.name, command.path);
            break;
        case CommandKind::Import:
            Import(command.name, command.path);
            break;
        case CommandKind::Close:
            Close(false);
            break;
        }
    }

    void OpenArchive(const std::string& path) {
        report_.Line("open " + path);
        outcomes_.push_back({path, "not changed"});
        open_.emplace(held_.Claim(path));
        if (reopened_.insert(archive::FoldedName(path)).second) {
            const std::string recovered = ReportRecovery(report_, open_->RecoveryOnOpen());
            if (!recovered.empty()) outcomes_.back().what = recovered + "; not changed by this run";
        }
        game_ = LoadGameRecord(fs_, *open_, report_, changed_);
        gameOnDisk_ = game_;
        gameAsRead_ = game_;
        store_.emplace(fs_, path);
        store_->Know(game_);
        tally_ = {};
        originals_.clear();
        added_.clear();
        madeHere_.clear();
        puts_.clear();
        unknownChanges_ = false;
        IndexTheBlock(path);
        report_.Line("  " + text::Counted(open_->Entries().size(), "entry", "entries"));
        // An install taken in counts as read: the originals it brings go
        // with it once the record lets go of it. They are in the store
        // before anything is staged from them.
        if (const RecordedArchive* known = record_.Find(path))
            if (TakeInFolderRecord(game_, *known, ApplicationFolderOf(scriptPath_), record_.computer, *open_, fs_,
                                   *store_, report_)) {
                gameAsRead_ = game_;
                changed_ = true;
                store_->Publish();
            }
        const GameRecord unheld = game_;
        HoldAndReport(game_, *open_, report_);
        // The originals of the layers let go of stay in the store: a mod
        // folder's backup of one, moved in without a flush, may not be on
        // the disk yet. Kept before any record that lets go of them waits
        // for a save, which the next run may find took effect.
        store_->KeepLetGo(unheld, game_);
        store_->Publish();
        gameAsRead_ = game_;
    }

    // The entries the folder's record knows in the archive and the block's
    // import lines, by name (any case), so that each line finds its own in
    // one step however many files the mod has.
    void IndexTheBlock(const std::string& path) {
        recordedHere_.clear();
        if (const RecordedArchive* known = record_.Find(path))
            for (const RecordedEntry& entry : known->entries) recordedHere_.emplace(entry.name, &entry);
        importsHere_.clear();
        for (const ScriptCommand* line = at_ + 1; line != commands_->data() + commands_->size(); ++line) {
            if (line->kind == CommandKind::Open || line->kind == CommandKind::Close) break;
            if (line->kind == CommandKind::Import) importsHere_[line->name].push_back(line);
        }
    }
    const RecordedEntry* RecordedHere(std::string_view name) const {
        const auto found = recordedHere_.find(name);
        return found == recordedHere_.end() ? nullptr : found->second;
    }

    // The first install's view of the archive is the original: its backups
    // are kept, and an entry it added (marked beside the backups) holds the
    // mod's data, which is never backed up. The block's backups are written
    // together before the archive changes, once a record names them; a run
    // that stops before the save writes none.
    //
    // A backup or marker the record does not account for is an earlier
    // install's that made no record (or one whose save never happened):
    // where the archive shows its change, the layout before the first
    // install is not known.
    void Export(const std::string& name, const std::string& path) {
        const RecordedEntry* recorded = RecordedHere(name);
        const archive::Entry* entry = open_->Find(name);
        const std::string key = archive::FoldedName(name);
        if (recorded && recorded->backupHolds && SamePath(recorded->backup, path) && !backups_.Has(path) &&
            !BackupIsWhole(fs_, *recorded) && (WriteBackupAgain(*recorded, entry, path) || fs_.Exists(path)))
            return;
        if (backups_.Has(path) || fs_.Exists(path)) {
            ++tally_.backupsKept;
            report_.Line("kept the earlier backup of " + name + ": " + path);
            if (backups_.Has(path)) return;  // made by this run, and counted then
            const bool unaccounted = (!recorded || !SamePath(recorded->backup, path)) &&
                                     (!entry || EntryMatchesFile(*open_, *entry, fs_, path).match != Match::Holds);
            unknownChanges_ = unknownChanges_ || unaccounted;
            const uint64_t size = fs_.Open(path, archive::OpenMode::Read)->Size();
            originals_.try_emplace(
                key, Original{path, entry ? entry->name : name, entry ? entry->offset : 0,
                              static_cast<uint32_t>(size / archive::kSectorSize), unaccounted,
                              unaccounted && !recorded && entry && HoldsTheFileImported(*entry, name), std::nullopt});
            return;
        }
        const std::string marker = AddedMarkerPath(path);
        if (backups_.Has(marker) || fs_.Exists(marker)) {
            ++tally_.nothingToBackUp;
            report_.Line("nothing to back up: " + name + " was added by an earlier install");
            if (!(recorded && recorded->added) && entry) unknownChanges_ = true;
            added_.try_emplace(key, Marked{path, name, !recorded && entry && HoldsTheFileImported(*entry, name)});
            return;
        }
        // The record's entry still holds what an earlier install put in:
        // backing it up now would keep the mod's data as the original. Its
        // original's backup is the record's, wherever that is, or is gone
        // (deleted since).
        if (recorded && entry && EntryHolds(*open_, *entry, recorded->put)) {
            ++tally_.nothingToBackUp;
            std::string why = "nothing to back up: " + name + " holds what an earlier install from this folder put in";
            if (!recorded->added && recorded->backup.empty())
                why += ", and no backup of its original was made";
            else if (!recorded->added)
                why += BackupIsWhole(fs_, *recorded)
                           ? "; its original is kept in " + recorded->backup
                           : ", and the backup of its original (" + recorded->backup + ") is gone";
            report_.Line(why);
            if (recorded->added) added_.try_emplace(key, Marked{path, name, false});
            return;
        }
        // An entry that holds the very file this block puts in (a fresh copy
        // of a mod already in the game, or another mod's identical file) has
        // nothing of the game's own to keep: backing it up would keep the
        // mod as an original.
        if (entry && HoldsTheFileImported(*entry, name)) {
            ++tally_.nothingToBackUp;
            report_.Line("nothing to back up: " + name + " already holds the file this install puts in");
            return;
        }
        if (!entry) {
            backups_.Write(marker, {});
            madeHere_.insert(archive::FoldedName(name));
            ++tally_.nothingToBackUp;
            added_.try_emplace(key, Marked{path, name, false});
            report_.Line("nothing to back up: " + name + " is not in the archive");
            return;
        }
        backups_.Write(
            path, [this, from = *entry](archive::File& backup) { open_->CopyTo(from, backup); },
            [this, said = "backed up " + name + " to " + path] {
                ++tally_.backedUp;
                report_.Line(said);
            });
        madeHere_.insert(archive::FoldedName(entry->name));
        originals_.try_emplace(
            key, Original{path, entry->name, entry->offset, entry->sectors, false, false, DataOfEntry(*open_, *entry)});
    }

    // A backup of this folder's record that is gone or no longer holds what
    // the record says (a power cut took it before the disk had it) is
    // written again from what still holds those bytes: the entry, where the
    // save never took effect, or the game's originals beside the archive.
    // The record's line for it stays as it is. Returns whether it was; a
    // torn one that cannot be is named.
    bool WriteBackupAgain(const RecordedEntry& recorded, const archive::Entry* entry, const std::string& path) {
        const PutData holds = *recorded.backupHolds;
        const StoredContent kept = store_->Located(holds.size, holds.digest);
        const auto said = [this,
                           line = "backed up " + recorded.name + " again, as its earlier backup was lost: " + path] {
            ++tally_.backedUp;
            report_.Line(line);
        };
        if (entry && DataOfEntry(*open_, *entry) == holds) {
            backups_.Write(
                path, [this, from = *entry](archive::File& backup) { open_->CopyTo(from, backup); }, said);
        } else if (store_->Has(kept)) {
            backups_.Write(
                path, [this, kept](archive::File& backup) { store_->CopyTo(kept, backup); }, said);
        } else {
            if (fs_.Exists(path))
                report_.Line("the backup of " + recorded.name + " is torn (" + path +
                             "), and its original is not kept anywhere else");
            return false;
        }
        return true;
    }

    // Whether the entry holds the file that the block of the open archive
    // imports under its name (any case), after the command being run.
    bool HoldsTheFileImported(const archive::Entry& entry, const std::string& name) {
        const auto imports = importsHere_.find(name);
        if (imports == importsHere_.end()) return false;
        const auto later = std::upper_bound(imports->second.begin(), imports->second.end(), at_);
        if (later == imports->second.end()) return false;
        // Compared piece by piece: the first difference ends it, so an entry
        // that holds anything else costs about one read.
        return EntryMatchesFile(*open_, entry, fs_, (*later)->path).match == Match::Holds;
    }

    void Import(const std::string& name, const std::string& path) {
        // A backup made earlier in this block. The record as the block began
        // stays the run's: what its lines point into.
        if (backups_.Has(path)) PutBackupsInPlace();
        // One opening of the file for its size, which the archive checks
        // before anything is read (and the save again when it copies the
        // file), and for its checksum.
        const auto file = fs_.Open(path, archive::OpenMode::Read);
        const std::string key = archive::FoldedName(name);
        // An entry that holds the file already (the mod installed again) is
        // left as it is, unless this block changed it before.
        const archive::Entry* entry = open_->Find(name);
        const bool holds =
            !puts_.count(key) && entry && EntryMatchesFile(*open_, *entry, fs_, path).match == Match::Holds;
        const bool replaces = holds || open_->PutFile(name, path, file->Size());
        puts_[key] = {name, DataOfFile(*file)};
        putIn_[key] = name + " in " + std::string(text::FileNameOf(open_->Path()));
        if (holds) {
            ++tally_.alreadyIn;
            report_.Line("imported " + name + " (it holds that file already: left as it is)");
        } else if (replaces) {
            ++tally_.replaced;
            report_.Line("imported " + name + " (replaced)");
        } else {
            ++tally_.added;
            report_.Line("imported " + name + " (added)");
        }
    }

    void Close(bool atEnd) {
        const std::string path = open_->Path();
        // The game's record with this block on top; what the same install
        // put in before and puts in no more is staged back first.
        std::optional<GameRecord> blockGame;
        if (open_->HasChanges() || !puts_.empty()) blockGame = GameRecordOfThisBlock();
        if (open_->HasChanges()) {
            report_.Line(atEnd ? "saving " + path + " (end of the script)" : "saving " + path);
            outcomes_.back().what = "not changed: saving it failed";
            InstallRecord updated = RecordOfThisBlock(true);
            GameRecord game = std::move(*blockGame);
            const archive::ArchiveState found = open_->CurrentState();
            archive::CommitStats stats;
            try {
                stats = open_->Commit(ProgressOf(report_, "saving " + std::string(text::FileNameOf(path))),
                                      archive::Archive::Fit::AllowPadding,
                                      [&](const archive::ArchiveState& planned, const std::vector<uint8_t>& directory) {
                                          // Made durable before the archive changes; the
                                          // install record stays until the outcome is known.
                                          updated.Find(path)->left = planned;
                                          WritePendingSaveFor(path, updated);
                                          // Put in place once the record waiting for the
                                          // save names them: after a kill, whichever way
                                          // the save went, a record names every backup.
                                          PublishBackups();
                                          game.LeaveAt(planned, directory);
                                          PublishOriginals(path, {found, GamePuts(), game});
                                      });
            } catch (const archive::CommitInterrupted& interrupted) {
                open_.reset();
                const archive::CommitOutcome outcome = archive::OutcomeOf(interrupted, path, fs_);
                gameChanged_ = gameChanged_ || outcome.holds != archive::CommitOutcome::Holds::Old;
                outcomes_.back().what = InterruptedOutcome(outcome, DescribeError(interrupted), "changes saved");
                SettleInterruptedSave(outcome.holds, updated);
                SettleInterruptedGameSave(path, outcome.holds, game);
                throw;
            } catch (...) {
                // Failed before its point of no return: the archive, and so
                // the install record, stay as they were.
                DropPendingSaveOrLeaveIt();
                DropGamePendingOrLeaveIt(path, game);
                throw;
            }
            gameChanged_ = true;
            report_.Line(stats.inPlace ? "saved (changed in place)" : "saved");
            outcomes_.back().what = "changes saved";
            record_ = std::move(updated);
            ConfirmPendingSave(fs_, recordPath_);
            ConfirmGameSave(fs_, path, gameAsRead_, game, gameOnDisk_);
            WarnPastTheGamesTable();
        } else {
            if (puts_.empty())
                if (std::optional<InstallRecord> named = PutBackupsInPlace()) record_ = std::move(*named);
            report_.Line("nothing to change in " + path);
            outcomes_.back().what = "nothing to change";
            if (!puts_.empty()) {
                // The mod is in the game as it is: this folder's record and
                // the game's still learn of this install.
                InstallRecord updated = RecordOfThisBlock(true);
                updated.Find(path)->left = open_->CurrentState();
                changed_ = true;
                WriteRecord(fs_, recordPath_, updated);
                record_ = std::move(updated);
                GameRecord game = std::move(*blockGame);
                game.LeaveAt(open_->CurrentState(), open_->CurrentDirectory());
                PublishOriginals(path, {game.left, GamePuts(), game});
                ConfirmGameSave(fs_, path, gameAsRead_, game, gameOnDisk_);
                PublishBackups();  // named by the record written above
            }
        }
        earlierPuts_[ArchiveKey(path)] = RunPuts();
        held_.Keep(std::move(*open_));
        open_.reset();
        // They point into the record, which the save has replaced.
        recordedHere_.clear();
        importsHere_.clear();
        report_.Line("summary of " + path + ": " + tally_.Text());
    }

    // The record with what the open archive's block did merged into what
    // earlier installs from this folder recorded, whose originals and first
    // layout stay. When the block's changes are to be saved, the record holds
    // what they put in (and the save adds the state it leaves). When the run
    // stopped before its save, the archive stays as it is: the block's
    // backups and markers are recorded all the same (holding what the entry
    // holds now), so that the undo accounts for them and uses them up.
    InstallRecord RecordOfThisBlock(bool saved) {
        InstallRecord updated = record_;
        updated.computer = computer_;
        const std::string& path = open_->Path();
        const archive::ArchiveState now = open_->CurrentState();
        RecordedArchive* recorded = updated.Find(path);
        const bool firstOfTheArchive = !recorded;
        if (!recorded) {
            updated.archives.push_back({path, std::nullopt, {}, std::nullopt, std::nullopt, {}});
            recorded = &updated.archives.back();
            recorded->layoutNotKept = kKeptByTheGame;
            if (!saved) recorded->found = recorded->left = now;
        } else if (saved && (unknownChanges_ || !(now == recorded->left || now == recorded->found))) {
            // Something this record does not know changed the archive since
            // (a save it records that was rolled back leaves it as found).
            // An earlier build's record loses the layout it kept.
            recorded->layout.reset();
            if (recorded->layoutNotKept != kKeptByTheGame) recorded->layoutNotKept = kChangedBetweenInstalls;
        }
        if (saved) recorded->found = now;

        std::map<std::string, std::string> names;  // folded -> as the block names it
        for (const auto& [key, original] : originals_) names.emplace(key, original.name);
        for (const auto& [key, marked] : added_) names.emplace(key, marked.name);
        if (saved)
            for (const auto& [key, put] : puts_) names[key] = put.name;
        std::map<std::string, size_t> known;  // folded -> its entry in the record
        for (size_t i = 0; i < recorded->entries.size(); ++i)
            known.emplace(archive::FoldedName(recorded->entries[i].name), i);
        for (const auto& [key, name] : names) {
            const auto put = saved ? puts_.find(key) : puts_.end();
            if (const auto at = known.find(key); at != known.end()) {
                RecordedEntry* entry = &recorded->entries[at->second];
                // Its original and its place stay the first install's; a
                // backup made anew in its file (the earlier one was gone)
                // holds what the entry held now.
                if (put != puts_.end()) entry->put = put->second.data;
                if (const auto made = originals_.find(key);
                    made != originals_.end() && made->second.holds && SamePath(made->second.backup, entry->backup))
                    entry->backupHolds = made->second.holds;
                continue;
            }
            RecordedEntry entry;
            if (const auto original = originals_.find(key); original != originals_.end()) {
                // Stopped before its save, the run records the backups it
                // made; one it found stays as no record names it, and one
                // that could not be put in place is not there.
                if (!saved && !madeHere_.count(archive::FoldedName(original->second.name))) continue;
                if (!backups_.Has(original->second.backup) && !fs_.Exists(original->second.backup)) continue;
                entry.name = original->second.name;
                // A backup no record accounts for whose bytes are not taken as
                // the original (a folder's Backups from elsewhere, or an older
                // version's install) is not the record's: no undo uses it up.
                if (!original->second.unaccounted || original->second.beforeAnyRecord) {
                    entry.backup = original->second.backup;
                    entry.backupHolds = original->second.holds;
                }
                entry.at = original->second.at;
                entry.sectors = original->second.sectors;
                // Not put in: what the entry holds now (its original, where
                // the backup was made now), so that the undo uses the backup
                // up only where the entry holds what it holds.
                entry.put = put != puts_.end() ? put->second.data : HeldNow(original->second.name);
            } else if (const auto added = added_.find(key); added != added_.end()) {
                const std::string marker = AddedMarkerPath(added->second.backup);
                if (!saved && !backups_.Has(marker) && !fs_.Exists(marker)) continue;  // never written
                entry.name = put != puts_.end() ? put->second.name : name;
                entry.added = true;
                entry.backup = added->second.backup;
                entry.put = put != puts_.end() ? put->second.data : PutData{0, archive::Sha256Of({})};
            } else if (const archive::Entry* there = open_->Find(name)) {
                // Replaced without a backup (a script without its -export):
                // the undo can only name it.
                entry.name = there->name;
                entry.at = there->offset;
                entry.sectors = there->sectors;
                entry.put = put->second.data;
            } else {
                entry.name = name;
                entry.added = true;
                entry.put = put->second.data;
            }
            recorded->entries.push_back(std::move(entry));
        }
        // Stopped with no backup or marker in place, the block leaves nothing to record.
        if (!saved && firstOfTheArchive && recorded->entries.empty()) updated.archives.pop_back();
        return updated;
    }

    // What the entry of that name holds now; nothing where there is none.
    PutData HeldNow(const std::string& name) const {
        const archive::Entry* entry = open_->Find(name);
        return entry ? DataOfEntry(*open_, *entry) : PutData{0, archive::Sha256Of({})};
    }

    // The game's record with this block's install on top: the same install
    // when the mod is in the game already (from this folder, or a fresh copy
    // of it), whose layers are spliced out first; per entry, what it holds
    // before (kept in the originals store unless it is that install's own
    // put, whose before stays) and what the block puts in.
    GameRecord GameRecordOfThisBlock() {
        GameRecord game = game_;
        const std::string folder = ApplicationFolderOf(scriptPath_);
        std::vector<ModFileDigest> files;
        const std::map<std::string, Put> puts = RunPuts();
        for (const auto& [key, put] : puts) files.push_back({put.name, put.data.digest});
        const archive::Digest mod = ModDigest(files);
        GameInstall install{{folder}, mod, computer_, SecondsNow(), std::nullopt, {}};
        // The layout just before it, to undo it byte for byte while it is
        // the last install; the same install as the last one keeps that
        // one's (the archive now holds its data).
        // Taken once: the record's first layout, when it is one, is the same.
        KeptLayout layoutNow;
        const auto now = [&] {
            if (!layoutNow) layoutNow = open_->CurrentLayout();
            return layoutNow;
        };
        if (open_->WhyLayoutCannotBeKept().empty() &&
            (game_.installs.empty() || (game_.left && open_->CurrentState() == *game_.left)))
            install.layoutBefore = now();
        TopLayers tops;
        if (const std::optional<size_t> same = FindInstall(game, folder, mod)) {
            install.layoutBefore = *same + 1 == game.installs.size() ? game.installs[*same].layoutBefore : std::nullopt;
            install.folders = game.installs[*same].folders;
            if (!game.installs[*same].From(folder)) {
                install.folders.push_back(folder);
                report_.Line("the mod is in the game already (installed from " + install.folders.front() +
                             "): this install is the same one, and this folder can undo it too");
            }
            tops = SpliceOut(game, *same);
            // The installs above it were made over its data.
            for (size_t i = *same; i < game.installs.size(); ++i) game.installs[i].layoutBefore.reset();
        }
        // The layout before the first install: the archive as it is now,
        // when the record knows no install in it (one spliced out above has
        // its data in it).
        if (game_.installs.empty()) {
            game.layout.reset();
            if (open_->WhyLayoutCannotBeKept().empty()) game.layout = now();
        }
        archive::FoldedMap<size_t> topOf;  // name -> its layer in tops, until this block takes it
        for (size_t i = 0; i < tops.size(); ++i) topOf.emplace(tops[i].name, i);
        std::vector<bool> taken(tops.size(), false);
        bool overUnrecordedInstall = false;
        for (const auto& [folded, put] : puts) {
            InstallLayer layer{put.name, std::nullopt, {}, put.data};
            if (const auto top = topOf.find(put.name); top != topOf.end()) {
                layer.before = tops[top->second].before;
                layer.beforeName = tops[top->second].beforeName;
                taken[top->second] = true;
            } else if (const archive::Entry* entry = open_->Find(put.name)) {
                // Over an earlier install no record knows, the game's
                // original is the backup it left.
                const auto original = originals_.find(folded);
                const auto marked = added_.find(folded);
                const std::string& name = put.name;
                const bool known = std::any_of(game.installs.begin(), game.installs.end(),
                                               [&](const GameInstall& other) { return other.Find(name) != nullptr; });
                if (original != originals_.end() && original->second.beforeAnyRecord && !known) {
                    layer.before = store_->KeepFile(original->second.backup);
                    layer.beforeName = original->second.name;
                    overUnrecordedInstall = true;
                } else if (marked != added_.end() && marked->second.beforeAnyRecord && !known) {
                    // Added by that install: nothing of the game's is there.
                    overUnrecordedInstall = true;
                } else {
                    layer.before = store_->Keep(*open_, *entry);
                    layer.beforeName = entry->name;
                }
            }
            install.entries.push_back(std::move(layer));
        }
        // What the same install put in before and puts in no more goes back.
        for (size_t i = 0; i < tops.size(); ++i) {
            if (taken[i]) continue;
            const InstallLayer& gone = tops[i];
            if (gone.before)
                open_->PutPart(gone.beforeName.empty() ? gone.name : gone.beforeName, store_->PartOf(*gone.before));
            else
                open_->Remove(gone.name);
        }
        // The archive as it is now is not as it was before that install: no
        // layout of it gives the originals back.
        if (overUnrecordedInstall) {
            install.layoutBefore.reset();
            if (game_.installs.empty()) game.layout.reset();
        }
        game.installs.push_back(std::move(install));
        return game;
    }

    // What the run puts into the open archive: what its earlier blocks of the
    // archive put in, then this block's over it. The install is all of it.
    std::map<std::string, Put> RunPuts() const {
        std::map<std::string, Put> puts = puts_;
        if (const auto earlier = earlierPuts_.find(ArchiveKey(open_->Path())); earlier != earlierPuts_.end())
            puts.insert(earlier->second.begin(), earlier->second.end());
        return puts;
    }

    // What the entries the block changes hold once its save took effect:
    // how the next run tells whether a save cut off in its course did.
    std::vector<GamePut> GamePuts() const {
        std::vector<GamePut> puts;
        for (const auto& [key, put] : puts_) puts.push_back({put.name, put.data});
        return puts;
    }

    // The originals the block keeps are durable before the record that
    // refers to them and before the archive changes; the game's record of
    // the save waits beside the archive first, so that whatever happens next
    // the next run knows which originals are the record's.
    void PublishOriginals(const std::string& path, const GamePending& pending) {
        changed_ = true;
        WriteGamePending(fs_, path, pending);
        try {
            store_->Publish();
        } catch (...) {
            DropGamePendingOrLeaveIt(path, pending.ifSaved);
            throw;
        }
    }

    void SettleInterruptedGameSave(const std::string& path, archive::CommitOutcome::Holds holds,
                                   const GameRecord& game) {
        try {
            if (holds == archive::CommitOutcome::Holds::New) {
                ConfirmGameSave(fs_, path, gameAsRead_, game, gameOnDisk_);
            } else if (holds == archive::CommitOutcome::Holds::Old) {
                DropGameSave(fs_, path, gameAsRead_, game, gameOnDisk_);
            }
        } catch (const std::exception& error) {
            report_.Line("  the game's record of installs cannot be brought up to date now (" +
                         std::string(error.what()) + "); the next install or undo does it");
        }
    }

    // A failed save's waiting game record goes, and the originals only it
    // referred to; where they cannot, the next run settles it.
    void DropGamePendingOrLeaveIt(const std::string& path, const GameRecord& game) noexcept {
        try {
            DropGameSave(fs_, path, gameAsRead_, game, gameOnDisk_);
        } catch (const std::exception&) {
            // Settled by the next run (SettleGamePending).
        }
    }

    // The first change of a save: where it fails, its scratch is gone and,
    // unless the record got in place, nothing on the disk changed.
    void WritePendingSaveFor(const std::string& path, const InstallRecord& updated) {
        try {
            WritePendingSave(fs_, recordPath_, path, PutsNotRecorded(), {madeHere_.begin(), madeHere_.end()}, updated);
        } catch (...) {
            changed_ = changed_ || fs_.Exists(PendingSavePath(recordPath_));
            throw;
        }
        changed_ = true;
    }

    // What the block puts into the open archive that the install record
    // does not already say is there: how the next run tells whether a save
    // cut off in its course took effect.
    std::vector<PendingPut> PutsNotRecorded() const {
        std::vector<PendingPut> puts;
        for (const auto& [key, put] : puts_) {
            const RecordedEntry* entry = RecordedHere(put.name);
            if (!entry || entry->put != put.data) puts.push_back({put.name, put.data});
        }
        return puts;
    }

    // Opening the archive again told which content it holds; where it could
    // not tell, the next run does (SettlePendingSave).
    void SettleInterruptedSave(archive::CommitOutcome::Holds holds, const InstallRecord& updated) {
        try {
            if (holds == archive::CommitOutcome::Holds::New) {
                ConfirmPendingSave(fs_, recordPath_);
                record_ = updated;
            } else if (holds == archive::CommitOutcome::Holds::Old) {
                DropPendingSaveKeepingBackups();
            }
        } catch (const std::exception& error) {
            report_.Line("  the install record cannot be brought up to date now (" + std::string(error.what()) +
                         "); the next install or undo does it");
        }
    }

    // A failed save's waiting record goes; where it cannot, the next run
    // finds the archive as it was and removes it.
    void DropPendingSaveOrLeaveIt() noexcept {
        try {
            DropPendingSaveKeepingBackups();
        } catch (const std::exception&) {
            // Settled by the next run (SettlePendingSave).
        }
    }
    // The record the drop leaves names the block's backups in place.
    void DropPendingSaveKeepingBackups() {
        if (!DropPendingSave(fs_, recordPath_)) return;
        recordedHere_.clear();  // they point into the record replaced here
        if (std::optional<InstallRecord> kept = ReadRecord(fs_, recordPath_)) record_ = std::move(*kept);
    }

    // Outside a save, the block's backups go in place once the record on
    // disk names them as it would stand were the run stopped now: a run
    // killed while it writes them leaves each whole, or torn as that record
    // tells. Returns the record written, if one was needed. When this
    // throws, none of the waiting backups is there.
    std::optional<InstallRecord> PutBackupsInPlace() {
        if (!backups_.Waiting()) return std::nullopt;
        std::optional<InstallRecord> named;
        if (!originals_.empty() || !added_.empty()) {
            try {
                named = RecordOfThisBlock(false);
                changed_ = true;
                WriteRecord(fs_, recordPath_, *named);
            } catch (const std::exception&) {
                backups_.Forget();
                report_.Line(kBackupsNotInPlace);
                throw;
            }
        }
        PublishBackups();
        return named;
    }

    // The run stops before the open archive's save: the backups and markers
    // its block made go into the record.
    void RecordUnsavedBlock() {
        if (originals_.empty() && added_.empty()) return;
        try {
            InstallRecord updated = RecordOfThisBlock(false);
            if (updated.archives.empty() || EncodeRecord(updated) == EncodeRecord(record_)) return;
            changed_ = true;
            WriteRecord(fs_, recordPath_, updated);
            record_ = std::move(updated);
        } catch (const std::exception& error) {
            report_.Line("  the record of the backups made cannot be written: " + std::string(error.what()));
        }
    }

    // player.img's records past the 550th are dropped by the game; free
    // entries count too.
    void WarnPastTheGamesTable() {
        const std::string& path = open_->Path();
        if (!text::EqualIgnoringAsciiCase(text::FileNameOf(path), kPlayerArchive)) return;
        const std::vector<archive::Entry>& records = open_->Records();
        std::string unseen;
        for (size_t i = kPlayerTable; i < records.size(); ++i) {
            if (archive::IsFreeEntry(records[i])) continue;
            unseen += (unseen.empty() ? "" : ", ") + records[i].name;
        }
        if (unseen.empty()) return;
        report_.Line("warning: " + path + " now holds " + std::to_string(records.size()) +
                     " records, but the game reads only the first " + std::to_string(kPlayerTable) +
                     " of player.img: it will not see " + unseen);
    }

    // Backups are in place before their archive changes, once a record
    // names them. Those that cannot be are not there, and the report says so.
    void PublishBackups() {
        changed_ = changed_ || backups_.Waiting();
        try {
            backups_.Publish();
        } catch (const std::exception&) {
            report_.Line(kBackupsNotInPlace);
            throw;
        }
    }
    static constexpr std::string_view kBackupsNotInPlace =
        "  the backups not yet in place were removed; their archive was not changed";

    ExitStatus Stop(const ScriptCommand* command, const std::string& why, ExitStatus status) {
        if (command)
            report_.Line(ErrorAt(LineRef(scriptPath_, command->lineNumber), why));
        else
            report_.Line("error: " + why);
        // The open archive stays as it is: the backups its block would have
        // made are not needed, and none is written.
        backups_.Forget();
        const bool hadOpen = open_.has_value();
        if (hadOpen) RecordUnsavedBlock();
        open_.reset();  // drops every staged change
        const bool keepFolder = gameChanged_ && !record_.archives.empty();
        return ReportStopped(
            report_,
            {hadOpen, tally_.Text(false), keepFolder ? KeepFolderLine(record_) : std::string_view(), !changed_},
            outcomes_, status);
    }

    const std::string& scriptPath_;
    const std::string recordPath_;
    archive::FileSystem& fs_;
    const std::vector<ScriptCommand>* commands_ = nullptr;
    const ScriptCommand* at_ = nullptr;  // the command being run, within commands_
    Report& report_;
    const std::string computer_;
    InstallRecord record_;
    BackupWrites backups_{fs_};
    // Whether this run may have changed anything on disk: a backup, a
    // marker, the record or an archive.
    bool changed_ = false;
    // Whether an archive may hold a change of an install from this folder:
    // an earlier one's, or a save of this run.
    bool gameChanged_ = false;
    HeldArchives held_{fs_};
    std::optional<archive::Archive> open_;
    std::set<std::string> reopened_;  // folded paths of the archives opened so far
    GameRecord game_;                 // the game's record of the open archive, held against it
    // As it was read, with an install taken in from the folder's record, and
    // held against the archive: what the save's removal of unused originals
    // starts from.
    GameRecord gameAsRead_;
    // As it lies beside the archive: the originals of the layers held
    // against the archive let go of count as its until a save replaces it.
    GameRecord gameOnDisk_;
    std::optional<OriginalsStore> store_;
    ArchiveTally tally_;
    std::map<std::string, Original> originals_;  // folded name -> its original's backup, made or kept
    std::map<std::string, Marked> added_;        // folded name -> where its marker lies
    std::set<std::string> madeHere_;             // folded names of the entries whose backup or marker the block made
    std::map<std::string, Put> puts_;            // folded name -> what the block puts in
    // Archive key -> what the run's blocks of it done so far put in.
    std::map<std::string, std::map<std::string, Put>> earlierPuts_;
    // The folder record's entries of the open archive, and the block's
    // import lines in script order (IndexTheBlock).
    archive::FoldedMap<const RecordedEntry*> recordedHere_;
    archive::FoldedMap<std::vector<const ScriptCommand*>> importsHere_;
    bool unknownChanges_ = false;
    std::vector<ArchiveOutcome> outcomes_;
    // Every entry the run put in (folded name): "infernus.txd in gta3.img".
    std::map<std::string, std::string> putIn_;
};

}  // namespace

ExitStatus RunScript(const std::string& scriptPath, std::string_view scriptText, archive::FileSystem& fs,
                     Report& report) {
    return RunScript(scriptPath, scriptText, fs, report, ComputerName());
}

ExitStatus RunScript(const std::string& scriptPath, std::string_view scriptText, archive::FileSystem& fs,
                     Report& report, const std::string& computer) {
    report.Line("running " + scriptPath);
    std::vector<ScriptCommand> commands;
    try {
        commands = ReadScript(scriptText);
    } catch (const ScriptError& error) {
        return RefuseScript(report, scriptPath, error);
    }
    for (const auto& command : commands) {
        if (command.kind == CommandKind::Import) {
            const std::string problem = archive::NameProblem(command.name);
            if (!problem.empty())
                return RefuseLine(report, LineRef(scriptPath, command.lineNumber),
                                  "the name " + command.name + " cannot be stored in an archive: " + problem,
                                  command.line, ExitStatus::Rejected);
        }
        // The tool's own files beside the backups end so; a backup of that
        // name could be taken for one of them, or overwritten by one.
        if (command.kind == CommandKind::Export) {
            const std::string folded = archive::FoldedName(command.path);
            for (const std::string_view suffix : {kScratchSuffix, kAddedMarkerSuffix, kRecordSuffix})
                if (folded.ends_with(suffix))
                    return RefuseLine(report, LineRef(scriptPath, command.lineNumber),
                                      "the backup file " + command.path + " ends in " + std::string(suffix) +
                                          ", which the tool keeps for its own files",
                                      command.line, ExitStatus::Rejected);
        }
    }
    if (const auto refused = RefuseBackupsOutside(report, scriptPath, commands)) return *refused;
    if (const auto refused = CheckArchivesFirst(scriptPath, commands, fs, report)) return *refused;
    const std::string recordPath = RecordPathFor(scriptPath);
    RecordRead read = ReadRecordOrLink(fs, scriptPath, commands, report);
    if (read.refused) return *read.refused;
    std::optional<InstallRecord>& record = read.record;
    if (record) {
        FollowMovedGame(*record, commands, fs, report);
        LetGoOfGoneGame(*record, commands, fs, report);
        if (SetAsideTriedFolder(*record, computer, commands, recordPath, fs, report)) {
            record.reset();
            read.changed = true;
        } else {
            if (TakeInLinkedArchives(*record, scriptPath, commands, fs, report)) read.changed = true;
            // An install this game's record knows was made here, whatever
            // the computer is called now.
            if (GameKnowsFolder(ArchivesOpened(commands), ApplicationFolderOf(scriptPath), fs))
                record->computer = computer;
            if (const auto refused =
                    RefuseOtherInstall(*record, computer, commands, scriptPath, recordPath, report, read.changed))
                return *refused;
        }
    }
    const bool changedBefore =
        RemoveScratchFiles(fs, FilesRunsPublish(recordPath, commands, record ? &*record : nullptr), report) > 0 ||
        read.changed;
    return ScriptRun(scriptPath, fs, report, computer, record.value_or(InstallRecord{}), changedBefore).Run(commands);
}

}  // namespace veltrin::tool
