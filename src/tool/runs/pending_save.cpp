#include "tool/runs/pending_save.h"

#include <algorithm>
#include <cstring>
#include <span>

#include "archive/archive.h"
#include "archive/archive_error.h"
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

// The file's own mark (as the install record's, the CR LF and the
// end-of-file byte show a copy taken for text) and its version; it ends
// with a SHA-256 seal of everything before it.
constexpr std::string_view kMark = "VeltrinSaving\r\n\x1a";
constexpr uint32_t kVersion = 1;
constexpr size_t kSealSize = std::tuple_size_v<archive::Digest>;
// As large as an install record may be, and the puts beside it.
constexpr uint64_t kMaxBytes = uint64_t{320} << 20;

struct PendingSave {
    std::string archivePath;
    std::vector<PendingPut> puts;
    InstallRecord ifSaved;
};

std::vector<uint8_t> Encode(const std::string& archivePath, const std::vector<PendingPut>& puts,
                            const InstallRecord& ifSaved, std::string_view folder) {
    const std::vector<uint8_t> record = EncodeRecord(ifSaved, folder);
    return RecordWriter::Sized([&](RecordWriter& out) {
        out.Raw({reinterpret_cast<const uint8_t*>(kMark.data()), kMark.size()});
        out.U32(kVersion);
        out.Text(archivePath);
        out.U32(static_cast<uint32_t>(puts.size()));
        for (const PendingPut& put : puts) {
            out.Text(put.name);
            out.U64(put.put.size);
            out.Raw(put.put.digest);
        }
        out.Blob(record);
        out.Seal();
    });
}

PendingSave Decode(std::span<const uint8_t> bytes, std::string_view folder) {
    if (bytes.size() < kMark.size() + 4 + kSealSize || std::memcmp(bytes.data(), kMark.data(), kMark.size()) != 0)
        throw RecordError("the record of a save in progress beside it is not one of this tool");
    const auto body = bytes.first(bytes.size() - kSealSize);
    const archive::Digest seal = archive::Sha256Of(body);
    if (!std::equal(seal.begin(), seal.end(), body.end()))
        throw RecordError("the seal of the record of a save in progress beside it does not match its content");
    RecordReader in(body.subspan(kMark.size()), "the record of a save in progress ends too soon");
    if (const uint64_t version = in.Number(4); version != kVersion)
        throw RecordError("the record of a save in progress beside it is of version " + std::to_string(version) +
                          ", which this tool does not read");
    PendingSave pending;
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
// with the backups and markers of its run that are in place (its backups are
// put in place once the waiting record names them): recorded as a run
// stopped before its save records them, holding what the entry holds now,
// so that the undo accounts for them and uses them up. Nothing when the run
// made none.
std::optional<InstallRecord> WithBackupsOfTheRun(archive::FileSystem& fs, std::optional<InstallRecord> before,
                                                 const PendingSave& pending) {
    const RecordedArchive* saving = pending.ifSaved.Find(pending.archivePath);
    if (!saving) return std::nullopt;
    InstallRecord record = before.value_or(InstallRecord{});
    record.computer = pending.ifSaved.computer;
    RecordedArchive* recorded = record.Find(pending.archivePath);
    size_t made = 0;
    for (const RecordedEntry& entry : saving->entries) {
        if (entry.backup.empty() || (recorded && recorded->Find(entry.name))) continue;
        RecordedEntry kept = entry;
        if (entry.added) {
            if (!fs.Exists(AddedMarkerPath(entry.backup))) continue;
            kept.put = {0, archive::Sha256Of({})};
        } else {
            if (!fs.Exists(entry.backup)) continue;
            kept.put = DataOfFile(fs, entry.backup);
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
                      const std::vector<PendingPut>& puts, const InstallRecord& ifSaved) {
    PublishGroup group(fs);
    group.Write(PendingSavePath(recordPath), Encode(archivePath, puts, ifSaved, text::FolderOf(recordPath)));
    group.Publish();
}

void ConfirmPendingSave(archive::FileSystem& fs, const std::string& recordPath, const InstallRecord& saved) {
    WriteRecord(fs, recordPath, saved);
    RemoveDurably(fs, PendingSavePath(recordPath));
}

bool DropPendingSave(archive::FileSystem& fs, const std::string& recordPath) {
    const std::string pendingPath = PendingSavePath(recordPath);
    if (!fs.Exists(pendingPath)) return false;
    const PendingSave pending =
        Decode(ReadWholeFile(fs, pendingPath, kMaxBytes, "larger than any install record"), text::FolderOf(recordPath));
    if (const auto kept = WithBackupsOfTheRun(fs, ReadRecord(fs, recordPath), pending)) {
        ConfirmPendingSave(fs, recordPath, *kept);
        return true;
    }
    RemoveDurably(fs, pendingPath);
    return false;
}

SettledSave SettlePendingSave(archive::FileSystem& fs, const std::string& recordPath, Report& report) {
    const std::string pendingPath = PendingSavePath(recordPath);
    if (!fs.Exists(pendingPath)) return {};
    const PendingSave pending =
        Decode(ReadWholeFile(fs, pendingPath, kMaxBytes, "larger than any install record"), text::FolderOf(recordPath));
    const std::string& path = pending.archivePath;
    SettledSave settled;
    // Before either record is written anew over its scratch file.
    settled.changed = RemoveScratchFiles(fs, {recordPath, pendingPath}, report) > 0;
    try {
        const archive::Archive archive = archive::Archive::Open(path, fs);
        report.Line("an earlier run was stopped while it saved " + path + "; the install record waited for it");
        ReportRecovery(report, archive.RecoveryOnOpen());
        if (TookEffect(archive, pending)) {
            ConfirmPendingSave(fs, recordPath, pending.ifSaved);
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
