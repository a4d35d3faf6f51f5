#pragma once
// The game's own bytes of the entries installs replaced, kept beside the
// archive in a folder of their own (`<archive>.originals`), one file per
// content, named by the SHA-256 of its bytes in lower-case hex: an entry's
// stored bytes (whole sectors) are kept once however many installs replaced
// it, and a file goes once a change of the game's record of installs
// (game_record.h) lets go of it: an undo that gives it back, or a save that
// no longer needs it. One a run let go of because another program changed
// its entry stays (a mod folder's backup of it may not be on the disk yet).
// A file is written beside its place (`.partial`),
// flushed and moved in with the folder flushed (a publish group): durable
// before the record that refers to it and before the archive changes. Its
// bytes are written only at Publish, which comes after the record waiting
// for the save names them: a run stopped while it writes them leaves
// scratch files the next run knows of, and removes (RemoveUnused).
#include <functional>
#include <map>
#include <set>
#include <string>

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

    // Where the content is (or would be) kept.
    [[nodiscard]] std::string PathOf(const StoredContent& content) const;
    // Whether the content is kept whole (its file is there, of its size).
    [[nodiscard]] bool Has(const StoredContent& content);
    // The committed entry's stored bytes, kept unless they are already:
    // written at Publish (the archive must stay open until then). Returns
    // what they are. Throws ArchiveError.
    StoredContent Keep(const archive::Archive& archive, const archive::Entry& entry);
    // The same for the bytes of a file (a backup of an entry, whole
    // sectors). Throws ArchiveError.
    StoredContent KeepFile(const std::string& path);
    // Whether the kept content is the put's bytes followed by zeros (what an
    // entry holding that put stores). False when it is not kept.
    [[nodiscard]] bool HoldsPut(const StoredContent& content, const PutData& put);
    // Makes every content kept since durable in the store. Throws
    // ArchiveError; then the files not yet moved in are gone.
    void Publish();
    // Removes the contents the record referred to before a change and
    // refers to no more (once the changed record is durable), and the
    // scratch file a stopped run may have left beside each. A crash before
    // the removal leaves files no record refers to: disk space, never
    // wrong data. Returns how many files went. Throws ArchiveError.
    int RemoveUnused(const GameRecord& before, const GameRecord& now);

private:
    archive::FileSystem& fs_;
    std::string folder_;
    char separator_;
    // What Publish writes: each file's path and what fills it.
    std::map<std::string, std::function<void(archive::File&)>> toWrite_;
};

}  // namespace veltrin::tool
