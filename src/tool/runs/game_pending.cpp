#include "tool/runs/game_pending.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <span>

#include "archive/archive_error.h"
#include "archive/sha256.h"
#include "text/path_text.h"
#include "tool/common/file_util.h"
#include "tool/common/publish_group.h"
#include "tool/runs/entry_match.h"
#include "tool/runs/originals_store.h"
#include "tool/runs/record_bytes.h"
#include "tool/runs/run_report.h"

namespace veltrin::tool {
namespace {

// The file earlier builds wrote (version 1), still read.
constexpr std::string_view kEarlierMark = "VeltrinInstallsSaving\r\n\x1a";
constexpr uint32_t kEarlierVersion = 1;
constexpr size_t kSealSize = std::tuple_size_v<archive::Digest>;
// An earlier build's file holds two records and what the save puts in.
constexpr uint64_t kMaxBytes = 2 * kMaxGameRecordBytes + (uint64_t{64} << 20);

std::vector<uint8_t> Encode(const GamePending& pending) {
    std::vector<uint8_t> bytes = EncodeGameRecord(pending.ifSaved, {pending.found, pending.puts});
    // A record the tool writes is one every later run can read.
    if (bytes.size() > kMaxGameRecordBytes)
        throw archive::ArchiveError(archive::ErrorKind::TooLarge, {},
                                    "the game's record of installs would grow past " +
                                        std::to_string(kMaxGameRecordBytes >> 20) +
                                        " MB, more than any run reads; undo some of the mods in the game first");
    return bytes;
}

struct Waiting {
    GamePending pending;
    // An earlier build's file, not a record to move in, holds the record it
    // replaces, which may lie in its place already.
    std::optional<GameRecord> replaced;
};

// directoryNow: the archive's, against which the records' layouts are read
// (none at hand: they have none).
Waiting DecodeEarlier(std::span<const uint8_t> bytes, const std::vector<uint8_t>* directoryNow) {
    if (bytes.size() < kEarlierMark.size() + 4 + kSealSize)
        throw RecordError("the record of a save in progress beside it is not one of this tool");
    const auto body = bytes.first(bytes.size() - kSealSize);
    const archive::Digest seal = archive::Sha256Of(body);
    if (!std::equal(seal.begin(), seal.end(), body.end()))
        throw RecordError("the seal of the record of a save in progress beside it does not match its content");
    RecordReader in(body.subspan(kEarlierMark.size()), "the record of a save in progress beside it ends too soon",
                    "the record of a save in progress beside it holds a damaged field");
    if (const uint64_t version = in.U32(); version != kEarlierVersion)
        throw RecordError("the record of a save in progress beside it is of version " + std::to_string(version) +
                          ", which this tool does not read");
    Waiting waiting;
    waiting.pending.found = in.State();
    waiting.pending.puts = ReadPuts(in);
    waiting.pending.ifSaved = DecodeGameRecord(in.Raw(in.U64()), nullptr, directoryNow);
    waiting.replaced = DecodeGameRecord(in.Raw(in.U64()), nullptr, directoryNow);
    if (!in.AtEnd()) throw RecordError("the record of a save in progress beside it holds more than it says");
    return waiting;
}

Waiting Decode(std::span<const uint8_t> bytes, const std::vector<uint8_t>* directoryNow) {
    if (bytes.size() >= kEarlierMark.size() && std::memcmp(bytes.data(), kEarlierMark.data(), kEarlierMark.size()) == 0)
        return DecodeEarlier(bytes, directoryNow);
    if (bytes.size() > kMaxGameRecordBytes) throw RecordError("it is larger than any record of installs");
    Waiting waiting;
    SaveOfRecord save;
    waiting.pending.ifSaved = DecodeGameRecord(bytes, &save, directoryNow);
    waiting.pending.found = save.found;
    waiting.pending.puts = std::move(save.puts);
    return waiting;
}

Waiting ReadWaiting(archive::FileSystem& fs, const std::string& path,
                    const std::vector<uint8_t>* directoryNow = nullptr) {
    return Decode(ReadWholeFile(fs, path, kMaxBytes, "larger than any record of installs"), directoryNow);
}

void RemoveDurably(archive::FileSystem& fs, const std::string& path) {
    fs.Remove(path);
    fs.FlushFolder(std::string(text::FolderOf(path)));
}

// The waiting record and its scratch file, not waited for: where a power
// cut brings the waiting record back, the next run settles it again to the
// same end (the save took effect, or it did not).
void RemovePending(archive::FileSystem& fs, const std::string& archivePath) {
    const std::string path = GamePendingPathFor(archivePath);
    if (fs.Exists(path)) fs.Remove(path);
    const std::string scratch = path + std::string(kScratchSuffix);
    if (fs.Exists(scratch)) fs.Remove(scratch);
}

}  // namespace

std::string GamePendingPathFor(const std::string& archivePath) { return GameRecordPathFor(archivePath) + ".saving"; }

bool SaveTookEffect(const archive::Archive& archive, const std::optional<archive::ArchiveState>& found,
                    const std::optional<archive::ArchiveState>& left, const std::vector<GamePut>& puts) {
    const archive::ArchiveState now = archive.CurrentState();
    if (left && found) {
        if (now == *left && now != *found) return true;
        if (now == *found && now != *left) return false;
    }
    return !puts.empty() && std::all_of(puts.begin(), puts.end(), [&](const GamePut& put) {
        const archive::Entry* entry = archive.Find(put.name);
        return put.holds ? entry && EntryHolds(archive, *entry, *put.holds) : entry == nullptr;
    });
}

void WriteGamePending(archive::FileSystem& fs, const std::string& archivePath, const GamePending& pending) {
    PublishGroup group(fs);
    group.Write(GamePendingPathFor(archivePath), Encode(pending));
    group.Publish();
}

namespace {

// moveIn: the waiting file is the record to move into place (else it is an
// earlier build's, and the record is written there).
void Confirm(archive::FileSystem& fs, const std::string& archivePath, const GameRecord& before, const GameRecord& saved,
             bool moveIn, const GameRecord& onDisk) {
    OriginalsStore(fs, archivePath).RemoveUnused({&before, &onDisk}, {&saved});
    const std::string record = GameRecordPathFor(archivePath);
    if (moveIn && !saved.installs.empty()) {
        fs.Replace(GamePendingPathFor(archivePath), record);
    } else {
        WriteGameRecord(fs, record, saved);  // a record of no install is removed
    }
    RemovePending(fs, archivePath);
    if (saved.installs.empty()) fs.RemoveEmptyFolder(OriginalsFolderFor(archivePath));
}

}  // namespace

void ConfirmGameSave(archive::FileSystem& fs, const std::string& archivePath, const GameRecord& before,
                     const GameRecord& saved, const GameRecord& onDisk) {
    Confirm(fs, archivePath, before, saved, true, onDisk);
}

void DropGameSave(archive::FileSystem& fs, const std::string& archivePath, const GameRecord& before,
                  const GameRecord& saved, const GameRecord& onDisk) {
    OriginalsStore(fs, archivePath).RemoveUnused({&saved}, {&before, &onDisk});
    RemovePending(fs, archivePath);
    if (before.installs.empty()) fs.RemoveEmptyFolder(OriginalsFolderFor(archivePath));
}

namespace {

// The scratch files a run stopped while writing the records left; changed
// is set as soon as one is gone.
void RemoveRecordScratch(archive::FileSystem& fs, const std::string& archivePath, Report& report, bool& changed) {
    const std::string path = GamePendingPathFor(archivePath);
    for (const std::string& scratch :
         {path + std::string(kScratchSuffix), GameRecordPathFor(archivePath) + std::string(kScratchSuffix)})
        if (fs.Exists(scratch)) {
            changed = true;
            RemoveDurably(fs, scratch);
            report.Line("removed " + scratch + ", which a run stopped before it was finished left");
        }
}

// Whether every original the waiting record refers to that the record it
// replaces does not is in the store: they are put there before the archive
// changes, so a save that found them missing never took effect (one that
// changed neither the archive's directory nor its size, cut off while they
// were written, looks as if it had).
bool EveryNewOriginalKept(archive::FileSystem& fs, const std::string& archivePath, const GameRecord& before,
                          const GameRecord& saved) {
    std::vector<StoredContent> referred;
    OriginalsStore store(fs, archivePath);
    for (const GameInstall& install : before.installs)
        for (const InstallLayer& layer : install.entries)
            if (layer.before) referred.push_back(*layer.before);
    std::sort(referred.begin(), referred.end());
    for (const GameInstall& install : saved.installs)
        for (const InstallLayer& layer : install.entries)
            if (layer.before && !std::binary_search(referred.begin(), referred.end(), *layer.before) &&
                !store.Has(*layer.before))
                return false;
    return true;
}

}  // namespace

void CheckGamePending(archive::FileSystem& fs, const std::string& archivePath) {
    const std::string path = GamePendingPathFor(archivePath);
    if (fs.Exists(path)) (void)ReadWaiting(fs, path);
}

bool SettleGamePending(archive::FileSystem& fs, const archive::Archive& archive, Report& report, bool& changed) {
    const std::string& archivePath = archive.Path();
    RemoveRecordScratch(fs, archivePath, report, changed);
    const std::string path = GamePendingPathFor(archivePath);
    if (!fs.Exists(path)) return false;
    const Waiting waiting = ReadWaiting(fs, path, &archive.CurrentDirectory());
    const GamePending& pending = waiting.pending;
    // The record the save replaces: in its place until the save's is moved in.
    const GameRecord before =
        waiting.replaced
            ? *waiting.replaced
            : ReadGameRecord(fs, GameRecordPathFor(archivePath), &archive.CurrentDirectory()).value_or(GameRecord{});
    changed = true;
    report.Line("an earlier run was stopped while it saved " + archivePath +
                "; the game's record of installs waited for it");
    if (SaveTookEffect(archive, pending.found, pending.ifSaved.left, pending.puts) &&
        EveryNewOriginalKept(fs, archivePath, before, pending.ifSaved)) {
        Confirm(fs, archivePath, before, pending.ifSaved, !waiting.replaced, before);
        report.Line("  the save took effect: the game's record of installs now says so");
    } else {
        DropGameSave(fs, archivePath, before, pending.ifSaved, before);
        report.Line("  the save did not take effect: the game's record of installs stays as it was before it");
    }
    return true;
}

bool SettleGamePending(archive::FileSystem& fs, const std::string& archivePath, Report& report) {
    bool changed = false;
    if (!fs.Exists(GamePendingPathFor(archivePath))) {
        RemoveRecordScratch(fs, archivePath, report, changed);
        return false;
    }
    const archive::Archive archive = archive::Archive::Take(archivePath, fs);
    ReportRecovery(report, archive.RecoveryOnOpen());
    return SettleGamePending(fs, archive, report, changed);
}

}  // namespace veltrin::tool
