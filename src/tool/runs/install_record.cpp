#include "tool/runs/install_record.h"

#include <algorithm>
#include <cstring>

#include "archive/archive_error.h"
#include "archive/names.h"
#include "text/ascii.h"
#include "text/path_text.h"
#include "tool/common/file_util.h"
#include "tool/common/platform.h"
#include "tool/common/publish_group.h"
#include "tool/runs/entry_match.h"
#include "tool/runs/record_bytes.h"

namespace veltrin::tool {
namespace {

// The record's own mark: the CR LF and the end-of-file byte show a copy that
// was taken for text.
constexpr std::string_view kMark = "VeltrinRecord\r\n\x1a";
// Version 2 stores a backup inside the record's own folder relative to it
// (a flag before its path), so that the application folder may be moved or
// renamed; version 1, every path whole, is still read. Version 3 keeps the
// bytes after an archive's last entry with its layout, and why an archive
// has none; versions 1 and 2 are still read (without them). Version 4 ends
// with the save the record was written for (a flag, then the archive's path,
// the puts: a u32 count, each a text name, a u64 size and a digest, and the
// entries whose backup or marker its run made: a u32 count of texts), so
// that a record waiting for a save becomes the install record by moving it
// into its place; version 3 is still read (without it). Version 5 follows
// each entry with what its backup holds (a flag, then a u64 size and a
// digest), as backups are no longer flushed; version 4 is still read
// (backups whose bytes go unchecked).
constexpr uint32_t kVersion = 5;
constexpr uint32_t kWithoutBackupDataVersion = 4;
constexpr uint32_t kWithoutSaveVersion = 3;
constexpr uint32_t kWholePathsVersion = 1;
constexpr uint32_t kFrontOnlyVersion = 2;
constexpr size_t kSealSize = std::tuple_size_v<archive::Digest>;
// A record holds a few archives' fronts (half a megabyte for a stock
// gta3.img); anything near this is no record of ours.
constexpr uint64_t kMaxRecordBytes = uint64_t{256} << 20;

bool SamePath(std::string_view a, std::string_view b) { return archive::FoldedName(a) == archive::FoldedName(b); }

template <typename Entries>
auto FindEntry(Entries& entries, std::string_view name) -> decltype(&entries.front()) {
    for (auto& entry : entries)
        if (archive::FoldedEqual{}(entry.name, name)) return &entry;
    return nullptr;
}

template <typename Archives>
auto FindArchive(Archives& archives, std::string_view path) -> decltype(&archives.front()) {
    for (auto& archive : archives)
        if (SamePath(archive.path, path)) return &archive;
    return nullptr;
}

// The part of path below folder; nothing when path does not lie inside it.
std::optional<std::string_view> Below(std::string_view path, std::string_view folder) {
    if (folder.empty() || path.size() <= folder.size() + 1 || !text::IsPathSeparator(path[folder.size()]) ||
        !text::EqualIgnoringAsciiCase(path.substr(0, folder.size()), folder))
        return std::nullopt;
    return path.substr(folder.size() + 1);
}

}  // namespace

std::string RecordPathFor(const std::string& scriptPath) {
    const std::string_view name = text::FileNameOf(scriptPath);
    const char separator =
        name.size() < scriptPath.size() ? scriptPath[scriptPath.size() - name.size() - 1] : PathSeparator();
    return text::SiblingPath(scriptPath, std::string("Backups") + separator + "Install" + std::string(kRecordSuffix));
}

RecordedEntry* RecordedArchive::Find(std::string_view name) { return FindEntry(entries, name); }
const RecordedEntry* RecordedArchive::Find(std::string_view name) const { return FindEntry(entries, name); }
RecordedArchive* InstallRecord::Find(std::string_view path) { return FindArchive(archives, path); }
const RecordedArchive* InstallRecord::Find(std::string_view path) const { return FindArchive(archives, path); }

std::vector<uint8_t> EncodeRecord(const InstallRecord& record, std::string_view folder, const RecordSave* save) {
    return RecordWriter::Sized([&](RecordWriter& out) {
        out.Raw({reinterpret_cast<const uint8_t*>(kMark.data()), kMark.size()});
        out.U32(kVersion);
        out.Text(record.computer);
        out.U32(static_cast<uint32_t>(record.archives.size()));
        for (const RecordedArchive& archive : record.archives) {
            out.Text(archive.path);
            out.Flag(archive.layout.has_value());
            if (archive.layout) {
                out.U64(archive.layout->fileSize);
                out.Blob(archive.layout->front);
                out.Blob(archive.layout->tail);
            } else {
                out.Text(archive.layoutNotKept);
            }
            out.State(archive.found);
            out.State(archive.left);
            out.U32(static_cast<uint32_t>(archive.entries.size()));
            for (const RecordedEntry& entry : archive.entries) {
                out.Text(entry.name);
                out.Flag(entry.added);
                const std::optional<std::string_view> inside = Below(entry.backup, folder);
                out.Flag(inside.has_value());
                out.Text(inside ? *inside : entry.backup);
                out.U32(entry.at);
                out.U32(entry.sectors);
                out.U64(entry.put.size);
                out.Raw(entry.put.digest);
                out.Flag(entry.backupHolds.has_value());
                if (entry.backupHolds) {
                    out.U64(entry.backupHolds->size);
                    out.Raw(entry.backupHolds->digest);
                }
            }
        }
        out.Flag(save != nullptr);
        if (save) {
            out.Text(save->archive);
            out.U32(static_cast<uint32_t>(save->puts.size()));
            for (const PendingPut& put : save->puts) {
                out.Text(put.name);
                out.U64(put.put.size);
                out.Raw(put.put.digest);
            }
            out.U32(static_cast<uint32_t>(save->made.size()));
            for (const std::string& name : save->made) out.Text(name);
        }
        out.Seal();
    });
}

InstallRecord DecodeRecord(std::span<const uint8_t> bytes, std::string_view folder, std::optional<RecordSave>* save) {
    if (bytes.size() < kMark.size() || std::memcmp(bytes.data(), kMark.data(), kMark.size()) != 0)
        throw RecordError("it is not an install record of this tool");
    RecordReader header(bytes.subspan(kMark.size()));
    const uint32_t version = header.U32();
    if (version != kVersion && version != kWithoutBackupDataVersion && version != kWithoutSaveVersion &&
        version != kFrontOnlyVersion && version != kWholePathsVersion)
        throw RecordError("it is of version " + std::to_string(version) + ", which this tool (version " +
                          std::to_string(kVersion) + ") does not read");
    if (bytes.size() < kMark.size() + 4 + kSealSize) throw RecordError("it ends before its seal");
    const auto body = bytes.first(bytes.size() - kSealSize);
    const archive::Digest seal = archive::Sha256Of(body);
    if (!std::equal(seal.begin(), seal.end(), bytes.end() - static_cast<std::ptrdiff_t>(kSealSize)))
        throw RecordError("its seal does not match its content (it is torn, or something changed it)");

    RecordReader in(body.subspan(kMark.size() + 4));
    InstallRecord record;
    record.computer = in.Text();
    for (uint32_t archives = in.U32(); archives > 0; --archives) {
        RecordedArchive archive;
        archive.path = in.Text();
        if (in.Flag()) {
            archive::Layout layout;
            layout.fileSize = in.U64();
            layout.front = in.Blob();
            if (version >= kWithoutSaveVersion) layout.tail = in.Blob();
            archive.layout = std::move(layout);
        } else if (version >= kWithoutSaveVersion) {
            archive.layoutNotKept = in.Text();
        }
        archive.found = in.State();
        archive.left = in.State();
        for (uint32_t entries = in.U32(); entries > 0; --entries) {
            RecordedEntry entry;
            entry.name = in.Text();
            entry.added = in.Flag();
            const bool inside = version != kWholePathsVersion && in.Flag();
            entry.backup = in.Text();
            if (inside) {
                if (folder.empty()) throw RecordError("it names a backup inside its folder, which is not known");
                const size_t last = folder.find_last_of("\\/");
                entry.backup = std::string(folder) + (last != std::string_view::npos ? folder[last] : PathSeparator()) +
                               entry.backup;
            }
            // The undo removes the backups it uses: only files in the
            // record's own folder, whatever a record says.
            if (!folder.empty() && !entry.backup.empty() && !text::LiesBelow(entry.backup, folder))
                throw RecordError("it names a backup outside its folder " + std::string(folder) + ": " + entry.backup);
            entry.at = in.U32();
            entry.sectors = in.U32();
            entry.put.size = in.U64();
            entry.put.digest = in.Digest();
            if (version >= kVersion && in.Flag()) entry.backupHolds = PutData{in.U64(), in.Digest()};
            archive.entries.push_back(std::move(entry));
        }
        record.archives.push_back(std::move(archive));
    }
    std::optional<RecordSave> saved;
    if (version >= kWithoutBackupDataVersion && in.Flag()) {
        saved.emplace();
        saved->archive = in.Text();
        for (uint32_t puts = in.U32(); puts > 0; --puts) {
            PendingPut put;
            put.name = in.Text();
            put.put.size = in.U64();
            put.put.digest = in.Digest();
            saved->puts.push_back(std::move(put));
        }
        for (uint32_t made = in.U32(); made > 0; --made) saved->made.push_back(in.Text());
    }
    if (!in.AtEnd()) throw RecordError("it holds more than its content says");
    if (save) *save = std::move(saved);
    return record;
}

bool BackupIsWhole(archive::FileSystem& fs, const RecordedEntry& entry) {
    if (entry.backup.empty() || !fs.Exists(entry.backup)) return false;
    return !entry.backupHolds || DataOfFile(fs, entry.backup) == *entry.backupHolds;
}

bool OnlyBackedUp(archive::FileSystem& fs, const RecordedEntry& entry) {
    if (entry.added) return false;
    if (entry.backupHolds) return *entry.backupHolds == entry.put;
    return !entry.backup.empty() && fs.Exists(entry.backup) && DataOfFile(fs, entry.backup) == entry.put;
}

std::optional<InstallRecord> ReadRecord(archive::FileSystem& fs, const std::string& path) {
    if (!fs.Exists(path)) return std::nullopt;
    std::vector<uint8_t> bytes;
    try {
        bytes = ReadWholeFile(fs, path, kMaxRecordBytes, "larger than any install record");
    } catch (const archive::ArchiveError& error) {
        if (error.kind() == archive::ErrorKind::TooLarge) throw RecordError("it is " + error.reason());
        throw;
    }
    return DecodeRecord(bytes, text::FolderOf(path));
}

void WriteRecord(archive::FileSystem& fs, const std::string& path, const InstallRecord& record) {
    if (record.archives.empty()) {
        if (fs.Exists(path)) fs.Remove(path);
        return;
    }
    PublishGroup group(fs);
    group.Write(path, EncodeRecord(record, text::FolderOf(path)));
    group.Publish();
}

}  // namespace veltrin::tool
