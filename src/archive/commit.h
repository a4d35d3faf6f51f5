#pragma once
// The commit protocol: how Archive::Commit changes an archive so that,
// after a failure or a crash at any moment, it reads as exactly its old or
// exactly its new content, and never writes over a change it did not plan
// for. The code refers to these rules by number.
//
// Before either path
//  1. Whatever must survive the change is made durable by the caller first
//     (the tool's backups of the entries a script replaces), before Commit.
//  2. The archive object drops its own reading handle and opens the archive
//     for exclusive access: nobody may change it under the commit, and a
//     running game shows up now (Locked), not halfway. An archive taken for
//     a whole run (Archive::Take) holds that access from its open to its
//     end, and commits through it. Under that handle it
//     reads the header and the directory again and checks the file's size:
//     when any of them differs from what the object read and planned from,
//     another program changed the archive in between, and the commit stops
//     (Changed) before anything is written.
//  3. The free space is checked before anything is written (free_space.h):
//     the whole new archive for a rewrite, the journal and the growth for an
//     in-place change. Short of it, DiskFull, and nothing was changed.
//
// Rewrite beside the archive (rewrite.h)
//  4. The new archive is written in full to `<archive>.rewrite`, directory
//     first, then every entry, and flushed (with its folder: a new file is
//     durable only once its folder is).
//  5. The old archive is closed and replaced by the rewrite in one atomic
//     step, which is then made durable (the folder flush on POSIX; write-
//     through on Windows). The call to replace is the point of no return: once
//     it is made the archive may be the new content, whatever it reports.
//
// In place through the redo journal (in_place.h, journal.h)
//  6. Every byte range the commit will write over the archive's bytes
//     (directory parts, entry data, their zero padding, all that starts
//     below its old size) goes to `<archive>.journal` with its new bytes, a
//     checksum of what each 512-byte piece of it holds now, the old and new
//     sizes, and a seal (SHA-256 of it all, so that no tear slips through,
//     and an end mark), and is flushed. Ranges that lie wholly past the old
//     size (the growth: nothing anyone reads lies there yet) do not: when
//     there are any, the journal's intent (all of the above but the seal,
//     with the growth's ranges and a checksum of the old directory, sealed
//     by itself) is flushed first, so that the old size is durable before
//     the archive grows; then the archive takes its new size, the growth is
//     written into it and flushed; then the journal takes a checksum of each
//     of the growth's pieces and its seal, and is flushed. A durable, sealed
//     journal is the point of no return: from then on the new content is
//     the archive. A journal has one bound on its size and its writes, the
//     same for the writer and the reader (journal.h): a commit whose journal
//     would pass it is written anew instead, or stops before anything is
//     written (TooLarge).
//  7. The journal is applied: a growing archive takes its new size (where
//     it has not yet), every journalled write lands in journal order, a
//     shrinking archive is cut to its new size, and the archive is flushed.
//     The growth is in place already. Applying twice is harmless.
//  8. The journal is emptied through the handle that wrote it and removed;
//     when it cannot be removed it is emptied again and flushed. An emptied
//     journal is no journal (rule 10). When it cannot be emptied or removed,
//     the commit still succeeded and says so, naming the file left behind
//     (CommitStats::leftOver); rule 11 keeps it from doing harm.
//
// On the next open (recovery.h)
//  9. With exclusive access first (another program's commit in progress is
//     left alone: Locked), a `.rewrite` left beside the archive is removed:
//     the old archive stands (RolledBack).
// 10. An empty journal is removed: its commit succeeded (rule 8). Any other
//     journal that is not complete and sealed is removed unapplied: its
//     commit never reached the point of no return (RolledBack). Where it
//     holds a whole intent (rule 6), its commit may have grown the archive
//     first: where the archive's size lies between the old and the new one,
//     its directory is as the intent found it and every piece the commit
//     would overwrite holds its old bytes, the archive is cut back to its
//     old size (only ever what lies past it) and flushed before the journal
//     is removed (RolledBack); anything else is another program's doing,
//     and the archive is left as it is (Stale). The seal is checked before
//     the size: a sealed journal is never dropped, and one past the bound
//     stops the open (Damaged) and stays, with the archive as it is.
//     Journals of version 3's layout (no growth of their own: the growth
//     journalled with its bytes) and of either layout of version 2 are read
//     too.
// 11. A sealed journal is held against the archive, piece by piece. Where
//     every piece holds its old or its new bytes (every piece of the growth
//     its new bytes: it was flushed before the seal) and the size lies between
//     the old and the new one, the journal is this archive's own unfinished
//     commit: it is made durable, its name too (the commit that wrote it may
//     have been killed before its flush, leaving it in the system's cache
//     alone), then applied (again) and removed (Completed). Where any piece
//     or the size is neither, something else changed the archive after the
//     commit was applied (a journal that an earlier run could not remove):
//     it is removed unapplied and the archive is left as it is (Stale).
//
// What the archive object may do after a failed commit
// 12. Failed before the point of no return (rules 5, 6): nothing was changed,
//     partial files are removed where possible (else by rule 9 or 10), the
//     changes stay staged and the object may commit again. A journal whose
//     writing failed is emptied durably and then removed, or else removed
//     and its folder flushed: a failed write may still have reached the
//     disk, and a journal left whole, or brought back whole by a power cut
//     that undid its removal, could be taken for a complete one. Where
//     neither can be done, the commit counts as interrupted (rule 13).
//     Where the archive may have grown (rule 6), it is first cut back to
//     its old size and flushed, while the journal that would have the next
//     open do it is still there; where that fails, the journal stays and
//     the commit counts as interrupted.
// 13. Failed after it: the path throws CommitInterrupted and the object is
//     stale. It refuses every use but Path, HasChanges and RecoveryOnOpen; the
//     archive must be opened again, which completes what rule 11 covers.
//     OutcomeOf tells the caller which content the archive holds then, by
//     what that open found of the commit's journal, piece by piece (rules
//     10 and 11), not by the directory, which a commit may leave as it was.
// 14. Succeeded: the object holds the new directory and no staged changes.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/archive_error.h"
#include "archive/sha256.h"
#include "archive/staged_data.h"

namespace veltrin::archive {

inline std::string RewritePath(const std::string& archivePath) { return archivePath + ".rewrite"; }
inline std::string JournalPath(const std::string& archivePath) { return archivePath + ".journal"; }

// The staged change as both planners take it (PlanInPlace, PlanRewrite).
// It points into the archive object's state, which outlives the commit.
struct StagedChanges {
    struct Change {
        size_t index = 0;  // of the committed record
        bool removed = false;
        const std::string* name = nullptr;  // the spelling to store
        const StagedData* data = nullptr;   // the new data, unless removed
        std::optional<uint32_t> at;         // the sector it would like to start at
    };
    struct Addition {
        const std::string* name = nullptr;
        const StagedData* data = nullptr;
        std::optional<uint32_t> at;
    };

    // Every committed record in directory order, free entries too.
    const std::vector<Entry>& records;
    // The header and directory records as they lie on disk (8 + 32 bytes
    // a record), and the file's size.
    const std::vector<uint8_t>& directory;
    uint64_t fileSize = 0;
    std::vector<Change> changes;      // by committed index, ascending
    std::vector<Addition> additions;  // in the order they were put
    bool exactSizes = false;          // a replacement must need exactly the sectors it takes
    // The game reads only this many records of the archive (player.img);
    // 0: no such limit.
    size_t tableLimit = 0;
};

// What either path did (CommitInPlace, RewriteArchive).
struct CommitResult {
    std::vector<Entry> entries;      // the directory on disk now
    std::vector<uint8_t> directory;  // its header and records as they lie on disk
    uint64_t fileSize = 0;           // the archive's size now
    CommitStats stats;               // bytes written, replaced or changed in place
};

ArchiveState StateOf(const std::vector<uint8_t>& directory, uint64_t fileSize);

// A commit that failed after its point of no return (rule 13). It knows the
// archive's state before and the state the commit meant to leave.
class CommitInterrupted : public ArchiveError {
public:
    CommitInterrupted(const ArchiveError& cause, ArchiveState before, ArchiveState after)
        : ArchiveError(cause.kind(), cause.path(), cause.reason()), before_(before), after_(after) {}
    [[nodiscard]] const ArchiveState& Before() const noexcept { return before_; }
    [[nodiscard]] const ArchiveState& After() const noexcept { return after_; }

private:
    ArchiveState before_;
    ArchiveState after_;
};

}  // namespace veltrin::archive
