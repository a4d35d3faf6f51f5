#pragma once
// The game's record of installs: one file beside each archive the tool
// changes (`<archive>.installs`, e.g. models\gta3.img.installs), so that every
// install into that archive, from whichever application folder, knows every
// other, and the record outlives the folders and moves with the game. The
// bytes of the entries the installs replaced lie beside it in the originals
// store (originals_store.h).
//
// What it holds:
//  - layout: the archive's layout before the first install it records (its
//    front bytes, the bytes after its last entry and its size), to give it
//    back byte for byte once every install is undone; none when it cannot be
//    given back soundly or something the record does not know changed the
//    archive since (the undo then goes entry by entry);
//  - left: the state (directory SHA-256 and size) the tool's last change of
//    the archive left, so that "nothing else changed it" can be told;
//  - installs, oldest first. Each says who it is: the application folders it
//    was installed from (a fresh copy of the same mod adds its folder), the
//    mod digest (ModDigest: the same mod's files from any copy give the same
//    digest), the computer, the time (seconds since 1970, UTC) and, while
//    nothing else changed the archive since, its layout just before this
//    install (to undo the last install byte for byte). Per entry
//    it changed: the name as it put it in, what the entry held before
//    (nothing for an entry it added, else the size and SHA-256 of the
//    entry's stored bytes, whole sectors, kept in the originals store) and
//    what it put in (PutData: the mod file's size and SHA-256).
//
// The entries of one name (any case) across the installs form a stack of
// layers over the game's own bytes: each layer's `before` is what the layer
// below put in, the bottom one's the game's own (game_layers.h).
//
// The file: the mark "VeltrinInstalls\r\n\x1a" (18 bytes), a 32-bit version,
// the body, and a SHA-256 seal of everything before it. All numbers are
// little-endian; a text is a 32-bit length and that many UTF-8 bytes; a
// digest is 32 bytes; a flag is one byte, 0 or 1. The body (version 5):
//   flag left         [digest of header and directory, u64 file size]
//   flag layout       [changes, against the archive's header and directory
//                      in the state left names; a front of nothing when
//                      there is no left]
//   u32 installs, each:
//     u32 folders, each a text
//     digest mod digest
//     text computer
//     u64 time
//     flag layout before [changes, against the layout written last before
//                         it: the record's, or the nearest earlier install's
//                         that has one; the record's first base when there
//                         is none]
//     u32 entries, each:
//       text name
//       flag before   [u64 size, digest, text spelling before]
//       u64 put size, digest put
//   the save that wrote it (SaveOfRecord):
//   flag found        [digest of header and directory, u64 file size]
//   u32 puts, each:
//     text name
//     flag holds      [u64 size, digest]
// So the record keeps no copy of the directory the archive holds: its first
// layout costs what the installs changed in it, and each install's what that
// install changed. Its layouts are read only against the archive in the
// state left names (anything else changed it: there are none, and undos go
// entry by entry); a record read without the archive at hand has none.
// A layout's changes: u64 file size, u64 front length, u32 runs, each
// [byte kind, u64 offset, u64 length, then for kind 0 that many bytes, for
// kind 1 a u64 source offset], u64 tail length, tail bytes. Its front is the
// front it is written against (the base), cut to the front length or filled
// up to it with zero bytes, with each run laid over it at its offset: its
// bytes (kind 0), or the base's bytes from the source offset on (kind 1,
// which lie inside the base). Runs come in increasing order of offset, each
// non-empty, none overlapping the next, all inside the front length. So a
// layout costs what differs from the one before it: an install's, the
// directory records it changed, the records that moved up or down a place
// taken from the base where they lay.
// Once made whole, the layouts of one record would take at most
// kMaxLayoutsInMemory; the record keeps, from the newest install back, the
// layouts that fit, and writes none for older installs (their undo goes
// entry by entry). In memory each stays its changes until it is asked for
// (kept_layout.h).
//
// Version 4 (read, not written) is version 5 with left after the record's
// layout and every first layout written against a front of nothing; version 3
// is version 4 without the save. Versions 1
// and 2 (read, not written) keep each layout whole: u64 file
// size, u64 front length, front bytes, u64 tail length, tail bytes. In
// version 2 an install's layout field is a byte: 0 none; 1 and a whole
// layout; 2 the same as the record's layout. In version 1 it is a flag and,
// when 1, a whole layout; the record's layout is a flag and a whole layout
// in both. Once read, version 2's copies of the record's layout (for the
// installs that refer to it) take at most kMaxLayoutsInMemory.
// It is written beside its place and moved in, so a crash leaves it old or
// new; one that is torn, changed or of another version is refused.
#include <compare>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "archive/archive.h"
#include "archive/file_io.h"
#include "archive/sha256.h"
#include "tool/runs/install_record.h"
#include "tool/runs/kept_layout.h"

namespace veltrin::tool {

// What the record's name adds to its archive's.
inline constexpr std::string_view kGameRecordSuffix = ".installs";

// The most bytes the layouts of one record would take made whole (fronts
// and tails): some 120 layouts of a stock gta3.img's half a megabyte.
inline constexpr uint64_t kMaxLayoutsInMemory = uint64_t{64} << 20;

// The largest record any run reads; the tool writes none larger.
inline constexpr uint64_t kMaxGameRecordBytes = uint64_t{256} << 20;

// "<archive>.installs".
std::string GameRecordPathFor(const std::string& archivePath);

// What a pack's name adds to the SHA-256 (lower-case hex) of the first
// content written into it.
inline constexpr std::string_view kPackSuffix = ".pack";
// Whether a record's pack name is one the store could have written.
bool IsPackName(std::string_view name);
// No pack reaches past this (a bound against records made by hand).
inline constexpr uint64_t kMaxPackBytes = uint64_t{1} << 48;

// Bytes the originals store keeps: an entry's stored bytes (whole sectors),
// how many and their SHA-256.
struct StoredContent {
    uint64_t size = 0;
    archive::Digest digest{};
    // Where in the store: a pack (its file name) and where in it, or, with
    // no pack, a file of its own named by the digest.
    std::string pack;
    uint64_t offset = 0;
    friend auto operator<=>(const StoredContent&, const StoredContent&) = default;
};

// One entry an install changed: its layer in that entry's stack.
struct InstallLayer {
    std::string name;                     // as the install put it in
    std::optional<StoredContent> before;  // none: the install added the entry
    std::string beforeName;               // the entry's spelling before, when it had one
    PutData put;                          // what the install put in
    friend bool operator==(const InstallLayer&, const InstallLayer&) = default;
};

// The layers of one install, shared by every copy of the record until a
// copy changes them: a run holds the record as read, as on disk and as it
// will leave it, and each costs only the installs it changes.
class InstallLayers {
public:
    InstallLayers() = default;
    InstallLayers(std::initializer_list<InstallLayer> layers)
        : layers_(std::make_shared<std::vector<InstallLayer>>(layers)) {}

    [[nodiscard]] size_t size() const { return layers_ ? layers_->size() : 0; }
    [[nodiscard]] bool empty() const { return size() == 0; }
    [[nodiscard]] std::vector<InstallLayer>::const_iterator begin() const { return All().begin(); }
    [[nodiscard]] std::vector<InstallLayer>::const_iterator end() const { return All().end(); }
    const InstallLayer& operator[](size_t i) const { return All()[i]; }
    [[nodiscard]] const InstallLayer& front() const { return All().front(); }
    [[nodiscard]] const InstallLayer& back() const { return All().back(); }
    void push_back(InstallLayer layer) { Own().push_back(std::move(layer)); }
    // To change them: this copy's own, made so first while others share them.
    std::vector<InstallLayer>& Own();

    friend bool operator==(const InstallLayers& a, const InstallLayers& b) { return a.All() == b.All(); }

private:
    [[nodiscard]] const std::vector<InstallLayer>& All() const;
    std::shared_ptr<std::vector<InstallLayer>> layers_;
};

struct GameInstall {
    std::vector<std::string> folders;  // application folders, the first one first
    archive::Digest modDigest{};       // ModDigest of the files it put into this archive
    std::string computer;
    uint64_t time = 0;  // seconds since 1970, UTC
    // The archive's layout just before this install, while the archive is
    // still exactly as the installs up to this one left it (none once
    // anything else changed it): undone as the last install, it comes back
    // byte for byte.
    KeptLayout layoutBefore;
    InstallLayers entries;
    friend bool operator==(const GameInstall& a, const GameInstall& b);

    // Whether the folder is one of its application folders (ASCII letters
    // in any case).
    [[nodiscard]] bool From(std::string_view folder) const;
    // Its layer of that name (any case), or nullptr.
    [[nodiscard]] const InstallLayer* Find(std::string_view name) const;
};

struct GameRecord {
    KeptLayout layout;
    std::optional<archive::ArchiveState> left;
    // The header and directory the archive holds in the state left names
    // (read from the archive, or heard from the save that leaves it): what
    // the layouts are written against, shared by every copy of the record.
    // Not written itself; a record whose left has no such bytes beside it is
    // written without layouts.
    [[nodiscard]] const std::vector<uint8_t>& LeftDirectory() const;
    std::vector<GameInstall> installs;  // in the order they happened

    // The state the tool's last change leaves, with its header and directory.
    void LeaveAt(const archive::ArchiveState& state, std::vector<uint8_t> directory);

private:
    std::shared_ptr<const std::vector<uint8_t>> leftDirectory_;
};

// A mod's identity in one archive: the SHA-256 over its files' names
// (ASCII case folded, sorted) and their data's SHA-256, each name followed by
// a NUL byte and its 32-byte digest.
struct ModFileDigest {
    std::string name;
    archive::Digest data{};
};
archive::Digest ModDigest(std::vector<ModFileDigest> files);

// An entry a save changes, and what it holds once the save took effect
// (nothing: it is removed).
struct GamePut {
    std::string name;
    std::optional<PutData> holds;
    friend bool operator==(const GamePut&, const GamePut&) = default;
};

// The save that writes the record: the state of the archive it found and
// what the entries it changes hold once it took effect. While the record
// waits beside the archive for that save (game_pending.h), they tell whether
// it did; in the record moved into its place they are what its last save did.
struct SaveOfRecord {
    std::optional<archive::ArchiveState> found;
    std::vector<GamePut> puts;
    friend bool operator==(const SaveOfRecord&, const SaveOfRecord&) = default;
};

class RecordWriter;
class RecordReader;
// A save's puts as the record (and an earlier build's waiting file) holds
// them: a u32 count, each a text name and a flag with the put (u64 size,
// digest). ReadPuts throws RecordError.
void WritePuts(RecordWriter& out, const std::vector<GamePut>& puts);
std::vector<GamePut> ReadPuts(RecordReader& in);

std::vector<uint8_t> EncodeGameRecord(const GameRecord& record, const SaveOfRecord& save = {});
// Throws RecordError for anything but a whole, sealed record of a version
// this tool reads. save (when given) gets the record's save; none before
// version 4. directoryNow: the header and directory the archive holds now
// (Archive::CurrentDirectory), against which the layouts are read; without
// it, or when it is not the one the record left, the record has none.
GameRecord DecodeGameRecord(std::span<const uint8_t> bytes, SaveOfRecord* save = nullptr,
                            const std::vector<uint8_t>* directoryNow = nullptr);

// The record at path; nothing when there is none. Throws RecordError, or
// ArchiveError when the file cannot be read.
std::optional<GameRecord> ReadGameRecord(archive::FileSystem& fs, const std::string& path,
                                         const std::vector<uint8_t>* directoryNow = nullptr);
// Makes the record durable at path, replacing the old one in one step; a
// record of no install is removed instead (durably). Throws ArchiveError.
void WriteGameRecord(archive::FileSystem& fs, const std::string& path, const GameRecord& record);

}  // namespace veltrin::tool
