#pragma once
// Whether an archive entry still holds a file, or the bytes a checksum names:
// its stored bytes are those bytes followed by nothing but zeros (the padding
// to whole sectors, or to the sectors of an older, larger entry they were
// written over). Entries and files are read in pieces, never whole, so large
// ones need little memory.
#include <string>

#include "archive/archive.h"
#include "archive/file_io.h"
#include "tool/runs/install_record.h"

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

// The size and SHA-256 of the file's bytes. Throws ArchiveError.
PutData DataOfFile(archive::FileSystem& fs, const std::string& path);
PutData DataOfFile(archive::File& file);

// The size and SHA-256 of the entry's stored bytes (its whole sectors): what
// it holds now, as a put it holds. Errors reading the archive throw
// ArchiveError.
PutData DataOfEntry(const archive::Archive& archive, const archive::Entry& entry);

// Whether the entry holds exactly the bytes data names, then zeros. Errors
// reading the archive throw ArchiveError.
bool EntryHolds(const archive::Archive& archive, const archive::Entry& entry, const PutData& data);

}  // namespace veltrin::tool
