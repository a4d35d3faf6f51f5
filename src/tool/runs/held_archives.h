#pragma once
// The archives a run changes, taken for the run (Archive::Take) before its
// first save and held until it ends: a program started between two saves
// (the game) cannot open the archive saved second, so a run changes every
// archive or none, never the first alone. Each is used by one step at a time:
// claimed for its block, kept again once its save is done.
#include <map>
#include <string>

#include "archive/archive.h"
#include "archive/file_io.h"

namespace veltrin::tool {

// One archive's key however a script spells its path: either separator,
// letters in any case, "." and ".." folders resolved (never past a drive, a
// root or a server's name).
std::string ArchiveKey(const std::string& path);

class HeldArchives {
public:
    explicit HeldArchives(archive::FileSystem& fs) : fs_(fs) {}

    // Takes the archive for the run, when it is there and not held yet (a
    // missing one is named where the run opens it). Throws ArchiveError
    // (Locked, ...).
    void Take(const std::string& path);
    // The archive held for path (taken now when it is not), for the caller
    // alone until it keeps it again; an archive dropped instead is let go of
    // (a commit interrupted past its point of no return leaves the object
    // stale, and the archive is opened again). Throws ArchiveError.
    archive::Archive Claim(const std::string& path);
    // Holds the claimed archive again, to the end of the run.
    void Keep(archive::Archive archive);

private:
    archive::FileSystem& fs_;
    std::map<std::string, archive::Archive> held_;  // by folded path
};

}  // namespace veltrin::tool
