#pragma once
// The commit protocol: how Archive::Commit changes an archive so that,
// after a failure or a crash at any moment, it reads as exactly its old or
// exactly its new content. The code refers to these rules by number.
//
// Before either path
//  1. Whatever must survive the change is made durable by the caller first
//     (the tool's backups of the entries a script replaces), before Commit.
//  2. The archive object drops its own reading handle, then the path opens
//     the archive for exclusive access: nobody may change it under the
//     commit, and a running game shows up now (Locked), not halfway.
//  3. The free space is checked before anything is written (free_space.h):
//     the whole new archive for a rewrite, the journal and the growth for an
//     in-place change. Short of it, DiskFull, and nothing was changed.
//
// Rewrite beside the archive (rewrite.h), the normal path
//  4. The new archive is written in full to `<archive>.rewrite`, directory
//     first, then every entry, and flushed (with its folder: a new file is
//     durable only once its folder is).
//  5. The old archive is closed and replaced by the rewrite in one atomic
//     step, which is then made durable (the folder flush on POSIX; write-
//     through on Windows). The call to replace is the point of no return: once
//     it is made the archive may be the new content, whatever it reports.
//
// In place through the redo journal (in_place.h, journal.h), when every
// change fits the room it takes
//  6. Every byte range the commit will write (directory parts, entry data,
//     their zero padding) goes to `<archive>.journal` with the old and new
//     sizes, a checksum and an end mark, and is flushed. A durable, complete
//     journal is the point of no return: from then on the new content is the
//     archive.
//  7. The journal is applied: the archive takes its new size, then every
//     write in journal order (directory first, then data); the archive is
//     flushed. Applying twice is harmless.
//  8. The journal is removed; a failure to remove it is ignored (rule 10
//     applies it again, which changes nothing).
//
// On the next open (recovery.h)
//  9. With exclusive access first (another program's commit in progress is
//     left alone: Locked), a `.rewrite` left beside the archive is removed:
//     the old archive stands (RolledBack).
// 10. A complete journal whose sizes fit the archive is applied again and
//     removed (Completed); an incomplete one, or one left beside some other
//     archive, is removed unapplied (RolledBack).
//
// What the archive object may do after a failed commit
// 11. Failed before the point of no return (rules 5, 6): nothing was changed,
//     partial files are removed where possible (else by rule 9 or 10), the
//     changes stay staged and the object may commit again.
// 12. Failed after it: the path throws CommitInterrupted and the object is
//     stale. It refuses every use but Path, HasChanges and RecoveryOnOpen; the
//     archive must be opened again, which completes what rule 10 covers.
// 13. Succeeded: the object holds the new directory and no staged changes.
#include <cstdint>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/archive_error.h"
#include "archive/staged_data.h"

namespace veltrin::archive {

inline std::string RewritePath(const std::string& archivePath) { return archivePath + ".rewrite"; }
inline std::string JournalPath(const std::string& archivePath) { return archivePath + ".journal"; }

// The staged change as both planners take it (PlanInPlace, PlanRewrite).
// It points into the archive object's state, which outlives the commit.
struct StagedChanges {
    struct Change {
        size_t index = 0;  // of the committed entry
        bool removed = false;
        const std::string* name = nullptr;  // the spelling to store
        const StagedData* data = nullptr;   // the new data, unless removed
    };
    struct Addition {
        const std::string* name = nullptr;
        const StagedData* data = nullptr;
    };

    const std::vector<Entry>& entries;  // the committed directory, in directory order
    uint64_t fileSize = 0;
    std::vector<Change> changes;      // by committed index, ascending
    std::vector<Addition> additions;  // in the order they were put
    bool exactSizes = false;          // a replacement must need exactly the sectors it replaces
};

// What either path did (CommitInPlace, RewriteArchive).
struct CommitResult {
    std::vector<Entry> entries;  // the directory on disk now
    uint64_t fileSize = 0;       // the archive's size now
    CommitStats stats;           // bytes written, replaced or changed in place
};

// A commit that failed after its point of no return (rule 12).
class CommitInterrupted : public ArchiveError {
public:
    using ArchiveError::ArchiveError;
    explicit CommitInterrupted(const ArchiveError& cause) : ArchiveError(cause.kind(), cause.path(), cause.reason()) {}
};

}  // namespace veltrin::archive
