#pragma once
// Whether an archive entry still holds a file: its stored bytes are the
// file's bytes followed by nothing but zeros (the padding to whole sectors,
// or to the sectors of an older, larger entry it was written over). The
// entry is read in pieces, never whole, so large entries need little memory.
#include <string>

#include "archive/archive.h"
#include "archive/file_io.h"

namespace veltrin::tool {

enum class Match {
    Holds,    // the entry holds the file
    Differs,  // it holds something else
    NoFile,   // the file is gone or cannot be read (see why)
};

struct MatchResult {
    Match match = Match::Differs;
    std::string why;  // NoFile: the reason, in plain words
};

// Errors reading the archive itself throw ArchiveError; the file's own
// errors come back as NoFile.
MatchResult EntryMatchesFile(const archive::Archive& archive, const archive::Entry& entry, archive::FileSystem& fs,
                             const std::string& path);

}  // namespace veltrin::tool
