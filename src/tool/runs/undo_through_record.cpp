#include "tool/runs/undo_through_record.h"

#include <algorithm>
#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "archive/archive.h"
#include "archive/format.h"
#include "archive/journal.h"
#include "archive/layout_restore.h"
#include "archive/names.h"
#include "text/path_text.h"
#include "tool/runs/backup_marker.h"
#include "tool/runs/entry_match.h"
#include "tool/runs/game_layers.h"
#include "tool/runs/game_pending.h"
#include "tool/runs/game_record_run.h"
#include "tool/runs/held_archives.h"
#include "tool/runs/originals_store.h"
#include "tool/runs/preflight.h"
#include "tool/runs/run_places.h"
#include "tool/runs/run_report.h"
#include "tool/runs/undo_steps.h"

namespace veltrin::tool {
namespace {

// Hands each record of a header and directory to each: its name, where
// it lies and how many sectors it takes.
template <typename Each>
void ForEachRecord(std::span<const uint8_t> front, Each each) {
    using namespace archive::format;
    if (front.size() < kHeaderSize) return;
    const uint64_t count = std::min<uint64_t>(LoadLe32(front.data() + 4), (front.size() - kHeaderSize) / kEntrySize);
    for (uint64_t i = 0; i < count; ++i) {
        const uint8_t* record = front.data() + kHeaderSize + i * kEntrySize;
        const char* name = reinterpret_cast<const char*>(record + offsetof(DirectoryRecord, name));
        const uint16_t stored = LoadLe16(record + offsetof(DirectoryRecord, archiveSize));
        each(std::string_view(name,
                              static_cast<size_t>(std::find(name, name + sizeof(DirectoryRecord::name), '\0') - name)),
             std::pair<uint32_t, uint32_t>(
                 LoadLe32(record), stored != 0 ? stored : LoadLe16(record + offsetof(DirectoryRecord, streamingSize))));
    }
}

// The header and directory of the archive as they lie, or nothing where
// its count reaches past its size (the run says what is wrong).
std::optional<std::vector<uint8_t>> DirectoryOf(archive::File& file) {
    std::vector<uint8_t> directory(archive::format::kHeaderSize);
    file.ReadAt(0, directory);
    const uint64_t count = archive::format::LoadLe32(directory.data() + 4);
    if (archive::format::DirectoryBytes(count) > file.Size()) return std::nullopt;
    directory.resize(static_cast<size_t>(archive::format::DirectoryBytes(count)));
    file.ReadAt(0, directory);
    return directory;
}

// The bytes a save moves to make room for a directory of `records` records:
// the entries lying in the sectors it would take.
uint64_t MovedForRoom(const std::vector<std::pair<uint32_t, uint32_t>>& byOffset, uint64_t records) {
    const uint64_t needed = archive::format::DirectorySectors(records);
    uint64_t moved = 0;
    for (const auto& [offset, sectors] : byOffset)
        if (offset < needed) moved += uint64_t{sectors} * archive::kSectorSize;
    return moved;
}

// Whether the entries lie one after another from the first sector after
// the directory: else the save writes the archive anew.
bool BackToBack(const std::vector<std::pair<uint32_t, uint32_t>>& byOffset, uint64_t fileSize) {
    uint64_t end = byOffset.empty() ? 0 : byOffset.front().first;
    for (const auto& [offset, sectors] : byOffset) {
        if (offset != end) return false;
        end = uint64_t{offset} + sectors;
    }
    return end * archive::kSectorSize <= fileSize;
}

// The most room the undo of the folder's install takes beside the archive:
// the journal of a commit that writes back every original the install's
// layers name (or, for an install the game's record does not know yet,
// every original its folder's record names) and every entry a layout it
// gives back holds elsewhere now, the header and directory (or that
// layout's front), the tail after the last entry and the entries moved to
// make room for a directory grown by free records, and the game's record
// waiting for the save; where the entries do not lie back to back, the
// archive written anew. None where the archive cannot be read now (the
// save checks for itself, and the run says why).
uint64_t UndoRoomFor(const RecordedArchive& recorded, const std::string& folder, archive::FileSystem& fs) {
    try {
        const std::unique_ptr<archive::File> file = fs.Open(recorded.path, archive::OpenMode::Read);
        const uint64_t fileSize = file->Size();
        const std::optional<std::vector<uint8_t>> directory = DirectoryOf(*file);
        if (!directory) return 0;
        const uint64_t count = archive::format::LoadLe32(directory->data() + 4);
        std::unordered_map<std::string_view, std::pair<uint32_t, uint32_t>> now;
        now.reserve(static_cast<size_t>(count));
        std::vector<std::pair<uint32_t, uint32_t>> byOffset;
        byOffset.reserve(static_cast<size_t>(count));
        ForEachRecord(*directory, [&](std::string_view name, std::pair<uint32_t, uint32_t> place) {
            now.try_emplace(name, place);
            if (place.second > 0) byOffset.push_back(place);
        });
        std::sort(byOffset.begin(), byOffset.end());

        const std::string recordPath = GameRecordPathFor(recorded.path);
        const std::optional<GameRecord> game = ReadGameRecord(fs, recordPath, &*directory);
        const std::optional<size_t> index = game ? FindInstall(*game, folder, ModDigestOf(recorded)) : std::nullopt;
        uint64_t bytes = archive::format::DirectorySectors(count) * archive::kSectorSize, tail = 0, writes = 4,
                 moved = 0, layers = 0;
        uint64_t waiting =
            (game ? fs.Open(recordPath, archive::OpenMode::Read)->Size() : 0) + archive::format::DirectoryBytes(count);
        if (index) {
            const GameInstall& install = game->installs[*index];
            for (const KeptLayout* layout : {&game->layout, &install.layoutBefore}) {
                if (!*layout) continue;
                bytes = std::max<uint64_t>(bytes, (*layout)->front.size());
                tail = std::max<uint64_t>(tail, (*layout)->tail.size());
                uint64_t there = 0;
                ForEachRecord((*layout)->front, [&](std::string_view name, std::pair<uint32_t, uint32_t> place) {
                    const auto found = now.find(name);
                    if (found == now.end() || found->second != place)
                        there += uint64_t{place.second} * archive::kSectorSize;
                });
                moved = std::max(moved, there);
            }
            for (const InstallLayer& layer : install.entries) {
                if (layer.before) bytes += layer.before->size;
                ++layers;
            }
        } else {
            // Taken in from the folder's record first.
            for (const RecordedEntry& entry : recorded.entries) {
                if (!entry.added) bytes += uint64_t{entry.sectors} * archive::kSectorSize;
                ++layers;
            }
        }
        writes += 2 * layers;  // each entry's bytes, and zeros over the sectors it leaves
        moved = std::max(moved, MovedForRoom(byOffset, count + 2 * layers));
        bytes += tail + moved;
        waiting += 256 * layers;
        const uint64_t rewrite = BackToBack(byOffset, fileSize) ? 0 : fileSize + bytes;
        return std::max(archive::JournalRoomFor(bytes, writes), rewrite) + waiting;
    } catch (const std::exception&) {
        return 0;
    }
}

// The archives the undo changes, each checked for itself before the first
// save (those the record names entries of), and the room all of them take.
std::optional<ExitStatus> CheckArchivesToUndo(const InstallRecord& record, const std::string& folder,
                                              archive::FileSystem& fs, Report& report, bool changedBefore) {
    std::vector<ArchiveToSave> archives;
    for (const RecordedArchive& archive : record.archives)
        if (!archive.entries.empty())
            archives.push_back({archive.path, UndoRoomFor(archive, folder, fs), 0, {}, 0, true});
    return CheckBeforeFirstSave(archives, fs, report, "undo", changedBefore);
}

class RecordUndo : public UndoSteps {
public:
    RecordUndo(const std::string& scriptPath, InstallRecord record, archive::FileSystem& fs, Report& report, bool force,
               bool changedBefore, bool recordOnDisk)
        : UndoSteps(scriptPath, fs, report, force, changedBefore),
          recordPath_(RecordPathFor(scriptPath)),
          record_(std::move(record)),
          recordOnDisk_(recordOnDisk) {}

    // The undo of what the record says, which it then keeps up to date.
    ExitStatus Run() {
        // Else the run follows the game's record alone, and said so.
        if (recordOnDisk_) report_.Line("following the install record " + recordPath_);
        const std::vector<RecordedArchive> archives = record_.archives;
        // Every archive the undo changes is the run's before the first save,
        // until the run ends.
        if (const auto stopped = EachArchive(archives, [&](const RecordedArchive& recorded) {
                if (!recorded.entries.empty()) held_.Take(recorded.path);
            }))
            return *stopped;
        if (const auto stopped = EachArchive(archives, [&](const RecordedArchive& recorded) { UndoArchive(recorded); }))
            return *stopped;
        return Ending();
    }

private:
    // The undo of an install the folder's record names, through the game's
    // record of installs beside the archive (game_layers.h): the install's
    // layers are spliced out; an entry of which it is the top gets back what
    // it held before, one a later install covers stays as it is (that
    // install's undo then gives back what was there before this one). When
    // the last install goes and nothing else changed the archive, the
    // layout from before the first install comes back byte for byte. This
    // folder's own backups and markers of the archive are used up either way.
    void UndoArchive(const RecordedArchive& recorded) {
        const std::string& path = recorded.path;
        outcomes_.push_back({path, "not changed"});
        report_.Line("open " + path);
        archive_.emplace(held_.Claim(path));
        ReportRecovery(report_, archive_->RecoveryOnOpen());
        GameRecord game = LoadGameRecord(fs_, *archive_, report_, changed_);
        gameOnDisk_ = game;
        gameAsRead_ = game;
        const GameRecord& asRead = gameAsRead_;
        tally_ = {};
        usedUp_.clear();
        resolved_.clear();
        OriginalsStore store(fs_, path);
        store.Know(game);
        const std::string folder = ApplicationFolderOf(scriptPath_);
        // An install taken in counts as read: the originals it brings go
        // with it once the record lets go of it.
        std::vector<std::string> unkept;
        if (TakeInFolderRecord(game, recorded, folder, record_.computer, *archive_, fs_, store, report_, &unkept))
            gameAsRead_ = game;
        tally_.untouched += static_cast<int>(unkept.size());
        store.Publish();
        // The entries the game's record knows of this install: their
        // originals are kept beside the archive.
        std::set<std::string> known;
        if (const std::optional<size_t> index = FindInstall(game, folder, ModDigestOf(recorded)))
            for (const InstallLayer& layer : game.installs[*index].entries)
                known.insert(archive::FoldedName(layer.name));
        const std::vector<InstallLayer> tops = TopLayersOfTheInstall(game, folder, ModDigestOf(recorded));
        const GameRecord unheld = game;
        const std::vector<std::string> letGo = HoldAndReport(game, *archive_, report_);
        // The originals of the layers let go of stay in the store: a mod
        // folder's backup of one, moved in without a flush, may not be on
        // the disk yet.
        store.KeepLetGo(unheld, game);
        store.Publish();
        const GameRecord held = game;
        const std::vector<InstallLayer> changed = ChangedSinceTheInstall(tops, letGo);
        std::set<std::string> keptBackups;  // folded names whose original's backup stays
        for (const InstallLayer& layer : changed)
            if (GiveBackChanged(layer, store, recorded)) keptBackups.insert(archive::FoldedName(layer.name));
        for (const RecordedEntry& entry : recorded.entries) {
            if (!known.count(archive::FoldedName(entry.name)) && KeepsAnOriginalOnlyHere(entry)) continue;
            resolved_.insert(archive::FoldedName(entry.name));
            if (entry.backup.empty() || keptBackups.count(archive::FoldedName(entry.name))) continue;
            for (const std::string& file : {entry.backup, AddedMarkerPath(entry.backup)})
                if (fs_.Exists(file)) usedUp_.push_back(file);
        }
        bool saved = false;
        if (const std::optional<size_t> index = FindInstall(game, folder, ModDigestOf(recorded))) {
            saved = UndoInstall(game, *index, store);
        } else if (!unkept.empty()) {
            saved = CommitStaged(game, {});  // entries forced back
        } else {
            report_.Line("nothing of the install from this folder is in " + path +
                         " any more: what it put in was given back or changed since (an undo from another copy of "
                         "the mod, a repair or update of the game, or another program)");
            outcomes_.back().what = "nothing to undo";
            saved = CommitStaged(game, {});  // entries forced back
        }
        if (!saved) {
            if (outcomes_.back().what == "not changed") {
                report_.Line("nothing to change in " + path);
                outcomes_.back().what = "nothing to change";
            }
            if (EncodeGameRecord(game) != EncodeGameRecord(asRead) || game.installs.empty()) {
                changed_ = true;
                WriteGamePending(fs_, path, {archive_->CurrentState(), {}, game});
                ConfirmGameSave(fs_, path, held, game, gameOnDisk_);
            }
        } else {
            ConfirmGameSave(fs_, path, held, game, gameOnDisk_);
        }
        held_.Keep(std::move(*archive_));
        archive_.reset();
        MakeRemovalsDurable(RemoveUsedUp());
        KeepRecord(recorded);
        report_.Line("summary of " + path + ": " + tally_.Text());
    }

    // Whether the folder's backup of an entry the game's record does not know
    // of this install may be the only copy of what the entry held before it:
    // the entry holds something else now (another install's file, taken in
    // above this one, a record moved aside, or another program's). Then the
    // backup and its line in the folder's record stay, for an undo from here once the entry holds this
    // install's file again. A backup a power cut tore holds no original: it
    // is used up, and the entry named.
    bool KeepsAnOriginalOnlyHere(const RecordedEntry& entry) {
        if (entry.added || entry.backup.empty() || !fs_.Exists(entry.backup) || OnlyBackedUp(fs_, entry)) return false;
        const archive::Entry* now = archive_->Find(entry.name);
        if (!BackupIsWhole(fs_, entry)) {
            // Holding that original, or this install's file (named where the
            // install was taken in), it needs no word here.
            if (now && (DataOfEntry(*archive_, *now) == *entry.backupHolds || EntryHolds(*archive_, *now, entry.put)))
                return false;
            ++tally_.untouched;
            report_.Line("left " + entry.name +
                         " as it is: it does not hold what this install put in, and its backup " + entry.backup +
                         " does not hold what the record says (a power cut tore it): this folder keeps no original "
                         "of it");
            return false;
        }
        if (now && EntryMatchesFile(*archive_, *now, fs_, entry.backup).match == Match::Holds) return false;
        // Nothing here tells a later install's file from another program's:
        // the game's record let go of the install's layer either way.
        ++tally_.untouched;
        report_.Line("left " + entry.name +
                     " as it is: it does not hold what this install put in (a later "
                     "install's file, or it changed since: another program, or the game repaired or updated); the "
                     "backup of what it held before the install stays in " +
                     entry.backup + ", and Undo.cmd here gives it back once the entry holds this install's file again");
        return true;
    }

    // A file made durable, name and bytes. One the player made read-only
    // stays as it is: it is whole now. Throws ArchiveError.
    void MakeDurable(const std::string& path) {
        std::unique_ptr<archive::File> file;
        try {
            file = fs_.Open(path, archive::OpenMode::ReadWrite);
        } catch (const archive::ArchiveError& error) {
            if (error.kind() == archive::ErrorKind::AccessDenied) return;
            throw;
        }
        file->Flush();
        fs_.FlushFolder(std::string(text::FolderOf(path)));
    }

    // The layers of the install that no later install covers.
    static std::vector<InstallLayer> TopLayersOfTheInstall(const GameRecord& game, const std::string& folder,
                                                           const archive::Digest& mod) {
        std::vector<InstallLayer> tops;
        const std::optional<size_t> index = FindInstall(game, folder, mod);
        if (!index) return tops;
        for (const InstallLayer& layer : game.installs[*index].entries) {
            bool top = true;
            for (size_t i = *index + 1; i < game.installs.size() && top; ++i)
                top = game.installs[i].Find(layer.name) == nullptr;
            if (top) tops.push_back(layer);
        }
        return tops;
    }

    // The entries of which the install is the top layer and which no longer
    // hold what it put in (letGo: the names holding the record against the
    // archive let go of): another program changed them since (or the game
    // was repaired or updated). Their layers go; forced, they get back what
    // they held before the install, which is the game's own bytes or what
    // an install below it, still in the game, put in.
    static std::vector<InstallLayer> ChangedSinceTheInstall(const std::vector<InstallLayer>& tops,
                                                            const std::vector<std::string>& letGo) {
        std::set<std::string> gone;
        for (const std::string& name : letGo) gone.insert(archive::FoldedName(name));
        std::vector<InstallLayer> changed;
        for (const InstallLayer& layer : tops)
            if (gone.count(archive::FoldedName(layer.name))) changed.push_back(layer);
        return changed;
    }

    // Returns whether the entry was left as it is with the backup of its
    // original kept in the folder: letting go of an entry never deletes the
    // game's own bytes that the folder still holds.
    bool GiveBackChanged(const InstallLayer& layer, OriginalsStore& store, const RecordedArchive& recorded) {
        const bool there = archive_->Find(layer.name) != nullptr;
        const std::string why = there ? "it has changed since the install (another program, or the game repaired or "
                                        "updated)"
                                      : "it is no longer in the archive";
        if (!force_ || (!layer.before && !there) || (layer.before && !store.Has(*layer.before))) {
            // Named by the line on what changed since; no advice to force
            // it, which an undo of another mod's could make wrong.
            ++tally_.untouched;
            const RecordedEntry* entry = recorded.Find(layer.name);
            // Kept unless the entry holds that original again (a repaired game).
            const archive::Entry* now = archive_->Find(layer.name);
            const bool kept = entry && !entry->added && BackupIsWhole(fs_, *entry) &&
                              (!now || EntryMatchesFile(*archive_, *now, fs_, entry->backup).match != Match::Holds);
            // Kept with no line of a record naming what it holds, the backup
            // is what a forced undo by the script's files puts back.
            if (kept) MakeDurable(entry->backup);
            // The store keeps the original of a layer let go of (the hold
            // above), where no whole backup of it is kept here.
            const std::string keptPlace = layer.before ? store.KeptPlaceOf(*layer.before) : std::string();
            const std::string where = kept                 ? "; the backup of its original stays in " + entry->backup
                                      : !keptPlace.empty() ? "; its original stays in " + keptPlace
                                                           : std::string();
            report_.Line("left " + layer.name + " as it is: " + why + "; this install lets go of it" + where);
            return kept;
        }
        if (layer.before) {
            archive_->PutPart(layer.beforeName.empty() ? layer.name : layer.beforeName, store.PartOf(*layer.before));
            ++tally_.restored;
            report_.Line("restored " + layer.name + " (forced: " + why + ")");
        } else {
            archive_->Remove(layer.name);
            ++tally_.removed;
            report_.Line("removed " + layer.name + ", which the install added (forced: " + why + ")");
        }
        return false;
    }

    // Splices the install out of the record and stages what it gives back.
    // Returns whether it saved the archive (its record waits beside it until
    // the caller confirms it).
    bool UndoInstall(GameRecord& game, size_t index, OriginalsStore& store) {
        const std::string path = archive_->Path();
        const GameInstall install = game.installs[index];
        const bool last = index + 1 == game.installs.size();
        const TopLayers tops = SpliceOut(game, index);
        archive::FoldedMap<bool> isTop;
        for (const InstallLayer& layer : tops) isTop.emplace(layer.name, true);
        for (const InstallLayer& layer : install.entries) {
            if (isTop.count(layer.name)) continue;
            ++tally_.untouched;
            report_.Line("left " + layer.name +
                         " as it is: a later install put its own file there; its undo now gives back what was "
                         "there before this install");
        }
        std::vector<GamePut> puts;
        std::map<std::string, archive::FilePart> originals;
        for (const InstallLayer& top : tops) {
            if (top.before) {
                originals[archive::FoldedName(top.name)] = store.PartOf(*top.before);
                puts.push_back({top.name, PutData{top.before->size, top.before->digest}});
            } else {
                puts.push_back({top.name, std::nullopt});
            }
        }
        // Undone as the last install while nothing else changed the
        // archive: the layout from before it (or, once no install is left,
        // from before the first) comes back byte for byte.
        const bool asLeft = game.left && archive_->CurrentState() == *game.left;
        const KeptLayout& before = game.installs.empty() && game.layout ? game.layout : install.layoutBefore;
        const bool whole =
            last && asLeft && before && !archive_->HasChanges() && archive::WhyLayoutCannotBeGivenBack(*before).empty();
        // Else the installs above it were made over its data.
        if (!whole) {
            for (size_t i = index; i < game.installs.size(); ++i) game.installs[i].layoutBefore.reset();
            const std::string why =
                !last     ? "installs made after it are still in the game"
                : !asLeft ? "it changed since the last install (another program, or an install the record does not "
                            "know)"
                : !before ? "the layout it had before the install was not kept (another program had changed it, or "
                            "it was not sound)"
                          : "its layout before the install cannot be given back: " +
                                archive::WhyLayoutCannotBeGivenBack(*before);
            report_.Line("undoing " + path +
                         " entry by entry (originals back, additions removed), not byte for byte: " + why);
        }
        if (whole) {
            report_.Line(game.installs.empty() ? "giving " + path + " back as it was before the first install"
                                               : "giving " + path + " back as it was before this install");
            for (const InstallLayer& top : tops) CountGiveBack(top, store);
            const archive::Layout layout = *before;
            std::vector<uint8_t> directory = DirectoryOfLayout(layout);
            const archive::ArchiveState state = archive::StateOf(directory, layout.fileSize);
            game.LeaveAt(state, std::move(directory));
            changed_ = true;
            WriteGamePending(fs_, path, {archive_->CurrentState(), puts, game});
            SaveOrDropPending([&] { return archive_->RestoreLayout(layout, originals, Bar()); });
            return true;
        }
        for (const InstallLayer& top : tops) {
            CountGiveBack(top, store);
            if (top.before)
                archive_->PutPart(top.beforeName.empty() ? top.name : top.beforeName, store.PartOf(*top.before));
            else if (archive_->Find(top.name))
                archive_->Remove(top.name);
        }
        return CommitStaged(game, puts);
    }

    // Saves what is staged, the game's record waiting beside the archive
    // until the outcome is known. Returns whether anything was staged.
    bool CommitStaged(GameRecord& game, const std::vector<GamePut>& puts) {
        if (!archive_->HasChanges()) return false;
        const std::string path = archive_->Path();
        const archive::ArchiveState found = archive_->CurrentState();
        SaveOrDropPending([&] {
            return archive_->Commit(Bar(), archive::Archive::Fit::Exact,
                                    [&](const archive::ArchiveState& planned, const std::vector<uint8_t>& directory) {
                                        game.LeaveAt(planned, directory);
                                        changed_ = true;
                                        WriteGamePending(fs_, path, {found, puts, game});
                                    });
        });
        return true;
    }

    // The header and directory the layout leaves.
    static std::vector<uint8_t> DirectoryOfLayout(const archive::Layout& layout) {
        uint64_t count = 0;
        for (size_t i = 0; i < 4 && 4 + i < layout.front.size(); ++i) count |= uint64_t{layout.front[4 + i]} << (8 * i);
        const auto directory = static_cast<std::ptrdiff_t>(std::min<uint64_t>(layout.front.size(), 8 + count * 32));
        return {layout.front.begin(), layout.front.begin() + directory};
    }

    // Save, and a save that failed before its point of no return lets go of
    // the game's record waiting for it (else the next run settles it).
    template <typename Commit>
    void SaveOrDropPending(Commit commit) {
        const std::string path = archive_->Path();
        try {
            Save(commit);
        } catch (const archive::CommitInterrupted&) {
            throw;
        } catch (...) {
            try {
                DropGameSave(fs_, path, gameAsRead_, gameAsRead_, gameOnDisk_);
            } catch (const std::exception&) {
                // Settled by the next run (SettleGamePending).
            }
            throw;
        }
    }

    void CountGiveBack(const InstallLayer& top, OriginalsStore& store) {
        if (top.before) {
            ++tally_.restored;
            report_.Line("restored " + top.name + " (what it held before the install, kept in " +
                         store.PlaceOf(*top.before) + ")");
        } else if (archive_->Find(top.name)) {
            ++tally_.removed;
            report_.Line("removed " + top.name + ", which the install added");
        } else {
            ++tally_.alreadyUndone;
        }
    }

    // The record lets go of what this archive's undo settled, after the
    // backups it used are gone: a crash in between leaves entries whose
    // backups are gone and whose originals are back, which the next undo
    // settles. What is left alone stays recorded, without the layout, which
    // no longer fits.
    void KeepRecord(const RecordedArchive& recorded) {
        if (resolved_.empty()) return;
        InstallRecord updated = record_;
        RecordedArchive* archive = updated.Find(recorded.path);
        std::erase_if(archive->entries, [&](const RecordedEntry& entry) {
            return resolved_.count(archive::FoldedName(entry.name)) != 0;
        });
        if (archive->entries.empty()) {
            std::erase_if(updated.archives, [&](const RecordedArchive& a) { return &a == archive; });
        } else {
            archive->layout.reset();
            archive->layoutNotKept = kPartlyUndone;
            archive->found.reset();
            archive->left.reset();
        }
        // None where the undo followed the game's record alone.
        const bool onDisk = fs_.Exists(recordPath_);
        changed_ = true;
        WriteRecord(fs_, recordPath_, updated);
        record_ = std::move(updated);
        if (record_.archives.empty() && onDisk)
            report_.Line("the install record " + recordPath_ + " is used up and removed");
    }

    [[nodiscard]] std::string_view KeepFolder() const override {
        return record_.archives.empty() ? std::string_view() : KeepFolderLine(record_);
    }

    const std::string recordPath_;
    InstallRecord record_;
    const bool recordOnDisk_;  // the record followed is the one in the folder
    HeldArchives held_{fs_};
    // The game's record of the archive open, as read, with an install taken
    // in from the folder's record: the originals a save lets go of are
    // counted from it.
    GameRecord gameAsRead_;
    // As it lies beside the archive: the originals of the layers held
    // against the archive let go of count as its until a save replaces it.
    GameRecord gameOnDisk_;
    std::set<std::string> resolved_;  // folded names this archive's undo settled
};

}  // namespace

ExitStatus UndoThroughRecord(const std::string& scriptPath, InstallRecord record, archive::FileSystem& fs,
                             Report& report, bool force, bool changedBefore, bool recordOnDisk) {
    if (const auto refused = CheckArchivesToUndo(record, ApplicationFolderOf(scriptPath), fs, report, changedBefore))
        return *refused;
    return RecordUndo(scriptPath, std::move(record), fs, report, force, changedBefore, recordOnDisk).Run();
}

}  // namespace veltrin::tool
