#include "tool/runs/pending_save.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <span>

#include "archive/archive.h"
#include "archive/archive_error.h"
#include "archive/names.h"
#include "archive/sha256.h"
#include "text/path_text.h"
#include "tool/common/error_text.h"
#include "tool/common/file_util.h"
#include "tool/common/publish_group.h"
#include "tool/runs/backup_marker.h"
#include "tool/runs/entry_match.h"
#include "tool/runs/game_pending.h"
#include "tool/runs/leftovers.h"
#include "tool/runs/record_bytes.h"
#include "tool/runs/run_report.h"

namespace veltrin::tool {
namespace {

// The record a save will leave waits as an install record that names that
// save (RecordSave), so that once the save took effect it becomes the install
// record by moving into its place. An earlier build wrote a file of its own:
// its mark (as the install record's, the CR LF and the end-of-file byte show
// a copy taken for text), version 1, the archive's path, the puts, the
// record as a blob, and a SHA-256 seal of everything before it; it is still
// settled, its record written in place.
constexpr std::string_view kEarlierMark = "VeltrinSaving\r\n\x1a";
constexpr uint32_t kEarlierVersion = 1;
constexpr size_t kSealSize = std::tuple_size_v<archive::Digest>;
// As large as an install record may be, and the puts beside it.
constexpr uint64_t kMaxBytes = uint64_t{320} << 20;

struct PendingSave {
    std::string archivePath;
    std::vector<PendingPut> puts;
    std::vector<std::string> made;  // none in an earlier build's file
    InstallRecord ifSaved;
    bool earlier = false;  // of an earlier build's file: it cannot be moved into place
};

PendingSave DecodeEarlier(std::span<const uint8_t> bytes, std::string_view folder) {
    if (bytes.size() < kEarlierMark.size() + 4 + kSealSize)
        throw RecordError("the record of a save in progress beside it is not one of this tool");
    const auto body = bytes.first(bytes.size() - kSealSize);
    const archive::Digest seal = archive::Sha256Of(body);
    if (!std::equal(seal.begin(), seal.end(), body.end()))
        throw RecordError("the seal of the record of a save in progress beside it does not match its content");
    RecordReader in(body.subspan(kEarlierMark.size()), "the record of a save in progress ends too soon");
    if (const uint64_t version = in.Number(4); version != kEarlierVersion)
        throw RecordError("the record of a save in progress beside it is of version " + std::to_string(version) +
                          ", which this tool does not read");
    PendingSave pending;
    pending.earlier = true;
    pending.archivePath = in.Text();
    for (uint64_t count = in.Number(4); count > 0; --count) {
        PendingPut put;
        put.name = in.Text();
        put.put.size = in.Number(8);
        const auto digest = in.Raw(kSealSize);
        std::copy(digest.begin(), digest.end(), put.put.digest.begin());
        pending.puts.push_back(std::move(put));
    }
    pending.ifSaved = DecodeRecord(in.Raw(in.Number(8)), folder);
    if (!in.AtEnd()) throw RecordError("the record of a save in progress beside it holds more than it says");
    return pending;
}

PendingSave Decode(std::span<const uint8_t> bytes, std::string_view folder) {
    if (bytes.size() >= kEarlierMark.size() && std::memcmp(bytes.data(), kEarlierMark.data(), kEarlierMark.size()) == 0)
        return DecodeEarlier(bytes, folder);
    PendingSave pending;
    std::optional<RecordSave> save;
    try {
        pending.ifSaved = DecodeRecord(bytes, folder, &save);
    } catch (const RecordError& error) {
        throw RecordError("the record of a save in progress beside it cannot be trusted: " + std::string(error.what()));
    }
    if (!save) throw RecordError("the record of a save in progress beside it names no save");
    pending.archivePath = std::move(save->archive);
    pending.puts = std::move(save->puts);
    pending.made = std::move(save->made);
    return pending;
}

PendingSave ReadPending(archive::FileSystem& fs, const std::string& recordPath) {
    return Decode(ReadWholeFile(fs, PendingSavePath(recordPath), kMaxBytes, "larger than any install record"),
                  text::FolderOf(recordPath));
}

// Whether the save took effect, by the rule the game's waiting record is
// settled by (SaveTookEffect).
bool TookEffect(const archive::Archive& archive, const PendingSave& pending) {
    const RecordedArchive* recorded = pending.ifSaved.Find(pending.archivePath);
    if (!recorded || !recorded->found || !recorded->left)
        throw RecordError("the record of a save in progress beside it does not name the state of " +
                          pending.archivePath);
    std::vector<GamePut> puts;
    for (const PendingPut& put : pending.puts) puts.push_back({put.name, put.put});
    return SaveTookEffect(archive, recorded->found, recorded->left, puts);
}

// The install record as it was before a save that did not take effect,
// with the backups and markers its run made that are in place (its backups
// are put in place once the waiting record names them): recorded as a run
// stopped before its save records them, holding what the entry held when
// the run made them, so that the undo uses them up where the entry still
// does. Backups the run found and kept stay as the record left them; one
// that does not hold what the waiting record says is removed.
// Nothing when there are none, or when the record names the archive's game
// where it was before it moved (the run followed it; the next one does
// again).
std::optional<InstallRecord> WithBackupsOfTheRun(archive::FileSystem& fs, std::optional<InstallRecord> before,
                                                 const PendingSave& pending) {
    const RecordedArchive* saving = pending.ifSaved.Find(pending.archivePath);
    if (!saving) return std::nullopt;
    InstallRecord record = before.value_or(InstallRecord{});
    record.computer = pending.ifSaved.computer;
    RecordedArchive* recorded = record.Find(pending.archivePath);
    if (!recorded)
        for (const RecordedArchive& other : record.archives)
            if (!pending.ifSaved.Find(other.path)) return std::nullopt;
    std::set<std::string> madeByTheRun;
    for (const std::string& name : pending.made) madeByTheRun.insert(archive::FoldedName(name));
    size_t made = 0;
    for (const RecordedEntry& entry : saving->entries) {
        if (entry.backup.empty() || !madeByTheRun.count(archive::FoldedName(entry.name)) ||
            (recorded && recorded->Find(entry.name)))
            continue;
        RecordedEntry kept = entry;
        if (entry.added) {
            if (!fs.Exists(AddedMarkerPath(entry.backup))) continue;
            kept.put = {0, archive::Sha256Of({})};
        } else {
            // One a power cut tore is the run's scratch: the entry still
            // holds its original.
            if (!BackupIsWhole(fs, entry)) {
                if (fs.Exists(entry.backup)) fs.Remove(entry.backup);
                continue;
            }
            kept.put = entry.backupHolds ? *entry.backupHolds : DataOfFile(fs, entry.backup);  // whole: read once
        }
        if (!recorded) {
            record.archives.push_back(
                {pending.archivePath, std::nullopt, std::string(kKeptByTheGame), saving->found, saving->found, {}});
            recorded = &record.archives.back();
        }
        recorded->entries.push_back(std::move(kept));
        ++made;
    }
    if (made == 0) return std::nullopt;
    return record;
}

void RemoveDurably(archive::FileSystem& fs, const std::string& path) {
    fs.Remove(path);
    fs.FlushFolder(std::string(text::FolderOf(path)));
}

}  // namespace

std::string PendingSavePath(const std::string& recordPath) {
    return text::SiblingPath(recordPath, "Install.saving" + std::string(kRecordSuffix));
}

void WritePendingSave(archive::FileSystem& fs, const std::string& recordPath, const std::string& archivePath,
                      const std::vector<PendingPut>& puts, const std::vector<std::string>& made,
                      const InstallRecord& ifSaved) {
    const RecordSave save{archivePath, puts, made};
    PublishGroup group(fs);
    group.Write(PendingSavePath(recordPath), EncodeRecord(ifSaved, text::FolderOf(recordPath), &save));
    group.Publish();
}

void ConfirmPendingSave(archive::FileSystem& fs, const std::string& recordPath) {
    fs.Replace(PendingSavePath(recordPath), recordPath);
}

bool DropPendingSave(archive::FileSystem& fs, const std::string& recordPath) {
    const std::string pendingPath = PendingSavePath(recordPath);
    if (!fs.Exists(pendingPath)) return false;
    const PendingSave pending = ReadPending(fs, recordPath);
    if (const auto kept = WithBackupsOfTheRun(fs, ReadRecord(fs, recordPath), pending)) {
        WriteRecord(fs, recordPath, *kept);
        RemoveDurably(fs, pendingPath);
        return true;
    }
    RemoveDurably(fs, pendingPath);
    return false;
}

SettledSave SettlePendingSave(archive::FileSystem& fs, const std::string& recordPath, Report& report) {
    const std::string pendingPath = PendingSavePath(recordPath);
    if (!fs.Exists(pendingPath)) return {};
    const PendingSave pending = ReadPending(fs, recordPath);
    const std::string& path = pending.archivePath;
    SettledSave settled;
    // Before either record is written anew over its scratch file.
    settled.changed = RemoveScratchFiles(fs, {recordPath, pendingPath}, report) > 0;
    try {
        const archive::Archive archive = archive::Archive::Open(path, fs);
        report.Line("an earlier run was stopped while it saved " + path + "; the install record waited for it");
        ReportRecovery(report, archive.RecoveryOnOpen());
        if (TookEffect(archive, pending)) {
            if (pending.earlier) {
                WriteRecord(fs, recordPath, pending.ifSaved);
                RemoveDurably(fs, pendingPath);
            } else {
                ConfirmPendingSave(fs, recordPath);
            }
            report.Line("  the save took effect: the install record now says so");
        } else if (DropPendingSave(fs, recordPath)) {
            report.Line(
                "  the save did not take effect: the install record stays as it was before it, and names the "
                "backups that run made");
        } else {
            report.Line("  the save did not take effect: the install record stays as it was before it");
        }
    } catch (const archive::ArchiveError& error) {
        report.Line("error: " + DescribeError(error));
        report.Line("  an earlier run was stopped while it saved " + path +
                    "; the install record waits to learn from that archive whether the save took effect (" +
                    pendingPath + ")");
        report.Line("failed");
        settled.refused = StatusOf(error.kind());
        return settled;
    }
    settled.changed = true;
    return settled;
}

}  // namespace veltrin::tool
