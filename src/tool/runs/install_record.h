#pragma once
// The tool's own record of what the installs from one application folder
// did, kept beside their backups (Backups\Install.record) so that the undo
// never depends on Install.dat, which every press of Install writes anew, nor
// on the mod's files beside it. One application folder serves one game: the
// record names the archives the installs changed and the computer they ran
// on, and an install aimed elsewhere stops before it changes anything.
//
// Per archive it holds its full path; each entry an install replaced (its
// original's backup file, spelling, sectors and place) or added; a SHA-256 of
// the bytes the install put into each entry, so that "still the mod's" is a
// checksum comparison, and of each backup it made, so that a backup a power
// cut tore is never taken for the original; the archive's layout before the
// first install (its front bytes, the bytes after its last entry and its
// size, to give it back byte for byte), or why it is not kept; and the state (the directory's
// checksum and the size) the last install found and left. It never holds an
// entry's data: a layout is kept only where it can be given back soundly.
//
// The file is written whole beside its place and moved in (a publish group),
// so a crash leaves the old record or the new one. It starts with its own
// mark and version and ends with a SHA-256 seal of everything before it: a
// record that is torn or changed is refused, never trusted.
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "archive/archive.h"
#include "archive/file_io.h"
#include "archive/sha256.h"

namespace veltrin::tool {

// What the record's name ends in; scripts may not name a backup so.
inline constexpr std::string_view kRecordSuffix = ".record";

// Where the installs from the script's folder keep their record:
// "<folder>\Backups\Install.record", with the script path's own separator.
std::string RecordPathFor(const std::string& scriptPath);

// The bytes an install put into an entry: how many, and their SHA-256. The
// entry holds them when its stored bytes are these followed by zeros.
struct PutData {
    uint64_t size = 0;
    archive::Digest digest{};
    friend bool operator==(const PutData&, const PutData&) = default;
};

struct RecordedEntry {
    std::string name;  // replaced: the original's spelling; added: the spelling the install put in
    bool added = false;
    // Replaced: the backup file holding the original (empty when none was
    // made). Added: the backup path beside which its marker lies, if any.
    std::string backup;
    uint32_t at = 0;       // replaced: the original's first sector when it was backed up
    uint32_t sectors = 0;  // replaced: the original's size in sectors
    PutData put;           // what the last install put in
    // Replaced, where this build made the backup: what the backup file
    // holds (its size and SHA-256). Backups are moved in without waiting
    // for the disk (the originals beside the archive are the durable copy),
    // so one is used only where it still holds this. None in records of
    // earlier builds, which made each backup durable before their save.
    std::optional<PutData> backupHolds;
    friend bool operator==(const RecordedEntry&, const RecordedEntry&) = default;
};

struct RecordedArchive {
    std::string path;
    // Before the first install, in records of earlier builds; none when an
    // install the record does not know (or another program) had changed the
    // archive by then, when the layout could not be given back soundly
    // (layout_restore.h), or when the game's record keeps it.
    std::optional<archive::Layout> layout;
    // Why there is no layout, when the record says (empty otherwise): one of
    // the texts below, or why the layout could not be given back soundly.
    std::string layoutNotKept;
    std::optional<archive::ArchiveState> found;  // when the last install started its save
    std::optional<archive::ArchiveState> left;   // what that save left
    std::vector<RecordedEntry> entries;

    // The entry of that name, any case; nullptr when none.
    RecordedEntry* Find(std::string_view name);
    [[nodiscard]] const RecordedEntry* Find(std::string_view name) const;
};

inline constexpr std::string_view kChangedBetweenInstalls =
    "something the record does not know changed it between two installs";
inline constexpr std::string_view kPartlyUndone = "an earlier undo gave back part of it";
// A folder's record made by this build: the layout is kept once, by the
// game's record of installs beside the archive.
inline constexpr std::string_view kKeptByTheGame = "the game's record of installs beside the archive keeps it";

struct InstallRecord {
    std::string computer;  // where the installs ran (ComputerName)
    std::vector<RecordedArchive> archives;

    // The archive of that path (ASCII letters in any case); nullptr when none.
    RecordedArchive* Find(std::string_view path);
    [[nodiscard]] const RecordedArchive* Find(std::string_view path) const;
};

// An entry a save puts new content into, named as the record names it.
struct PendingPut {
    std::string name;
    PutData put;
    friend bool operator==(const PendingPut&, const PendingPut&) = default;
};

// The save a record was written for (pending_save.h): the archive it
// changes, and what it puts into that archive that the record before it
// does not already say is there. While the record waits beside the install
// record it tells whether that save took effect; moved into its place, it is
// what the record's last save did.
struct RecordSave {
    std::string archive;
    std::vector<PendingPut> puts;
    // The entries (named as the record names them) whose backup or marker
    // the save's run made: the ones a save that did not take effect leaves
    // recorded.
    std::vector<std::string> made;
    friend bool operator==(const RecordSave&, const RecordSave&) = default;
};

// A record that cannot be trusted: what() says why, in plain words.
class RecordError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// folder: where the record lies. Backups inside it are stored relative to
// it and read back below the folder given then, wherever it has moved; with
// no folder, every path is stored whole.
// save: the save it is written for, if any.
std::vector<uint8_t> EncodeRecord(const InstallRecord& record, std::string_view folder = {},
                                  const RecordSave* save = nullptr);
// Throws RecordError for anything but a whole, sealed record of a version
// this tool reads, and, given the folder, for a record naming a backup
// anywhere but below it. save (when given) gets the save the record names;
// none before version 4.
InstallRecord DecodeRecord(std::span<const uint8_t> bytes, std::string_view folder = {},
                           std::optional<RecordSave>* save = nullptr);

// Whether the entry's backup is there and whole: it holds what the record
// says it holds, where the record says. Errors reading it throw ArchiveError.
bool BackupIsWhole(archive::FileSystem& fs, const RecordedEntry& entry);
// Whether a run stopped before its save only backed the entry up: what it
// records as put in is what the entry held, its original. Told by what the
// backup holds, as the record names it, or else as the file is. Errors
// reading the backup throw ArchiveError.
bool OnlyBackedUp(archive::FileSystem& fs, const RecordedEntry& entry);

// The record at path; nothing when there is none. Throws RecordError, or
// ArchiveError when the file cannot be read.
std::optional<InstallRecord> ReadRecord(archive::FileSystem& fs, const std::string& path);
// Makes the record durable at path, replacing the old one in one step; a
// record of no archive is removed instead. Throws ArchiveError.
void WriteRecord(archive::FileSystem& fs, const std::string& path, const InstallRecord& record);

}  // namespace veltrin::tool
