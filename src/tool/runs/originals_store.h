#pragma once
// The game's own bytes of the entries installs replaced, kept beside the
// archive in a folder of their own (`<archive>.originals`): an entry's stored
// bytes (whole sectors) are kept once however many installs replaced it.
// What one save keeps goes into one pack, its contents one after another,
// named by the SHA-256 (lower-case hex) of the first of them + ".pack"; the
// game's record (game_record.h) says where in which pack each lies. Earlier
// builds kept each content in a file of its own, named by its SHA-256; those
// are read as they are. A file goes once a change of the game's record of
// installs refers to nothing in it any more: an undo that gives it back, or
// a save that no longer needs it. The original of a layer a run let go of
// because another program changed its entry is copied first to a file no
// removal takes, `<SHA-256 hex>.kept` (a mod folder's backup of it may not be
// on the disk yet).
//
// A pack is written beside its place (`.partial`), flushed and moved in with
// the folder flushed (a publish group): durable before the record that
// refers to it and before the archive changes. Its bytes are written only at
// Publish, which comes after the record waiting for the save names them: a
// run stopped while it writes them leaves a scratch file the next run knows
// of, and removes (RemoveUnused).
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/file_io.h"
#include "tool/common/publish_group.h"
#include "tool/runs/game_record.h"

namespace veltrin::tool {

// What the store's folder name adds to its archive's.
inline constexpr std::string_view kOriginalsSuffix = ".originals";

// "<archive>.originals".
std::string OriginalsFolderFor(const std::string& archivePath);

class OriginalsStore {
public:
    OriginalsStore(archive::FileSystem& fs, const std::string& archivePath);

    // Learns where the record's originals lie, so that one kept already is
    // never written again.
    void Know(const GameRecord& record);
    // The content of that size and SHA-256 as kept: where a record known
    // says, or else in a file of its own.
    [[nodiscard]] StoredContent Located(uint64_t size, const archive::Digest& digest) const;

    // The file that holds (or would hold) the content.
    [[nodiscard]] std::string PathOf(const StoredContent& content) const;
    // The content's bytes in that file.
    [[nodiscard]] archive::FilePart PartOf(const StoredContent& content) const;
    // Where the content is, as the player reads it.
    [[nodiscard]] std::string PlaceOf(const StoredContent& content) const;
    // Whether the content is kept whole (its file is there and reaches as
    // far).
    [[nodiscard]] bool Has(const StoredContent& content);
    // The committed entry's stored bytes, kept unless they are already:
    // written at Publish (the archive must stay open until then). Returns
    // what they are and where. Throws ArchiveError.
    StoredContent Keep(const archive::Archive& archive, const archive::Entry& entry);
    // The same for the bytes of a file (a backup of an entry, whole
    // sectors). ownFile: in a file of its own, named by its SHA-256, which a
    // later run finds without a record (an install taken in is kept before
    // any record names its originals). Throws ArchiveError.
    StoredContent KeepFile(const std::string& path, bool ownFile = false);
    // Whether the kept content is the put's bytes followed by zeros (what an
    // entry holding that put stores). False when it is not kept.
    [[nodiscard]] bool HoldsPut(const StoredContent& content, const PutData& put);
    // Writes the kept content to the start of target. Throws ArchiveError.
    void CopyTo(const StoredContent& content, archive::File& target);
    // Keeps the original of each layer the record let go of (in before, not
    // in after) in its `.kept` file as well, written at Publish, where it is
    // kept whole and not there yet.
    void KeepLetGo(const GameRecord& before, const GameRecord& after);
    // The `.kept` file of the content, where it is (or is to be written).
    [[nodiscard]] std::string KeptPlaceOf(const StoredContent& content);
    // Makes every content kept since durable in the store: the new ones in
    // one pack. Throws ArchiveError; then the files not yet moved in are
    // gone.
    void Publish();
    // Removes the files the records before a change referred to and those
    // after it refer to no more (once the change is durable): a content's
    // own file, or a pack they name nothing in any more; and the scratch file
    // a stopped run may have left beside each. A crash before the removal
    // leaves files no record refers to: disk space, never wrong data.
    // Returns how many files went. Throws ArchiveError.
    int RemoveUnused(const std::vector<const GameRecord*>& before, const std::vector<const GameRecord*>& after);

private:
    [[nodiscard]] const StoredContent* Find(const StoredContent& content) const;
    StoredContent Add(StoredContent content, std::function<void(archive::File&, uint64_t at)> fill);

    archive::FileSystem& fs_;
    std::string folder_;
    char separator_;
    // Where the known records' packed contents lie, by SHA-256 in hex, and
    // every pack they name.
    std::map<std::string, StoredContent> known_;
    std::set<std::string> packsKnown_;
    // What Publish writes: the pack's name, its contents by SHA-256 in hex,
    // and what fills each at its offset, in order.
    std::string pack_;
    uint64_t packed_ = 0;
    std::map<std::string, StoredContent> waiting_;
    std::vector<std::function<void(archive::File&)>> toWrite_;
    // What Publish writes to files of their own, by path: let-go originals
    // (copied from the store) and those of an install taken in.
    std::map<std::string, std::function<void(archive::File&)>> ownFiles_;
};

}  // namespace veltrin::tool
