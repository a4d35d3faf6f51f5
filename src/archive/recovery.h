#pragma once
// What the next open does about a commit that an earlier run left
// unfinished (commit.h, rules 9 to 11), and what a caller whose commit was
// interrupted finds when it opens the archive again (rule 13).
#include <string>

#include "archive/archive.h"
#include "archive/commit.h"
#include "archive/file_io.h"

namespace veltrin::archive {

Recovery RecoverInterruptedCommit(FileSystem& fs, const std::string& archivePath);

struct CommitOutcome {
    enum class Holds {
        New,      // the interrupted commit's content: it took effect
        Old,      // the content from before it: nothing was changed
        Neither,  // something else (another program changed it in between)
        Unknown,  // the archive could not be opened again, or nothing tells; see why
    };
    Holds holds = Holds::Unknown;
    Recovery recovery = Recovery::None;  // what opening it again did
    std::string why;                     // Unknown: why, as a clause that follows "and"
};

// Opens the archive again after an interrupted commit (which completes or
// rolls back what it left) and tells which content it holds now: from what
// that found of the commit's journal or rewrite, piece by piece, and only
// where nothing was left from the directory and the size.
CommitOutcome OutcomeOf(const CommitInterrupted& interrupted, const std::string& archivePath, FileSystem& fs);

}  // namespace veltrin::archive
