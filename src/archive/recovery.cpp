#include "archive/recovery.h"

#include <optional>

#include "archive/commit.h"
#include "archive/format.h"
#include "archive/journal.h"
#include "text/path_text.h"

namespace veltrin::archive {
namespace {

// A journal left by a process that was killed before its flush may lie in
// the system's cache alone, and a power cut would take it back: it is made
// durable, its name too, before the archive is changed by what it says.
// Returns the handle it was flushed through, open for exclusive access.
std::unique_ptr<File> MakeDurable(FileSystem& fs, std::unique_ptr<File> journal, const std::string& journalPath) {
    journal.reset();
    auto durable = fs.Open(journalPath, OpenMode::ReadWrite);
    durable->Flush();
    fs.FlushFolder(std::string(text::FolderOf(journalPath)));
    return durable;
}

}  // namespace

ArchiveState StateOf(const std::vector<uint8_t>& directory, uint64_t fileSize) {
    return {Sha256Of(directory), fileSize};
}

Recovery RecoverInterruptedCommit(FileSystem& fs, const std::string& archivePath) {
    const std::string rewritePath = RewritePath(archivePath);
    const std::string journalPath = JournalPath(archivePath);
    const bool rewriteLeft = fs.Exists(rewritePath);
    const bool journalLeft = fs.Exists(journalPath);
    if (!rewriteLeft && !journalLeft) return Recovery::None;

    // Rule 9: exclusive access first.
    auto archive = fs.Open(archivePath, OpenMode::ReadWrite);
    Recovery recovery = Recovery::None;
    if (rewriteLeft) {
        fs.Remove(rewritePath);
        recovery = Recovery::RolledBack;
    }
    if (!journalLeft) return recovery;

    auto file = fs.Open(journalPath, OpenMode::Read);
    // Rule 8: an emptied journal is what a commit that succeeded left.
    const bool emptied = file->Size() == 0;
    std::optional<Journal> journal;
    try {
        if (!emptied) journal = ReadJournal(*file);
    } catch (const ArchiveError& error) {
        // A sealed journal that cannot be used stays, and so does the
        // archive as it is: opening it stops here.
        throw ArchiveError(error.kind(), journalPath, error.reason());
    }
    if (!emptied) recovery = Recovery::RolledBack;  // rule 10
    if (journal) {
        // Rule 11.
        switch (CheckJournal(*archive, *journal, *file)) {
        case JournalFit::Pending:
            file = MakeDurable(fs, std::move(file), journalPath);
            ApplyJournal(*archive, *journal, *file);
            recovery = Recovery::Completed;
            break;
        case JournalFit::Applied:
            recovery = Recovery::Completed;
            break;
        case JournalFit::Stale:
            recovery = Recovery::Stale;
            break;
        }
    } else if (!emptied) {
        // Rule 10: a commit that grows the archive may have grown it before
        // its journal was sealed; what it added is cut off where it is
        // provably its own, else the archive is left as it is. (The intent
        // was durable before the archive grew.)
        if (const std::optional<Journal> intent = ReadIntent(*file))
            recovery = CutGrowth(*archive, *intent, *file) ? Recovery::RolledBack : Recovery::Stale;
    }
    file.reset();
    archive.reset();
    fs.Remove(journalPath);
    return recovery;
}

namespace {

// What the archive holds after an interrupted commit, told first by what
// opening it again found the commit left: the journal's pieces, every one
// checked against the archive (Completed: all new now; RolledBack: the
// journal was never sealed, so nothing was applied; Stale: some piece is
// neither), or the rewrite that was never put in place. Only where nothing
// was left do the directory and the size tell, and they cannot where the
// commit would not have changed them.
CommitOutcome::Holds HoldsAfter(Recovery recovery, const ArchiveState& now, const CommitInterrupted& interrupted) {
    switch (recovery) {
    case Recovery::Completed:
        return now == interrupted.After() ? CommitOutcome::Holds::New : CommitOutcome::Holds::Neither;
    case Recovery::RolledBack:
        return now == interrupted.Before() ? CommitOutcome::Holds::Old : CommitOutcome::Holds::Neither;
    case Recovery::Stale:
        return CommitOutcome::Holds::Neither;
    case Recovery::None:
        break;
    }
    if (interrupted.Before() == interrupted.After()) return CommitOutcome::Holds::Unknown;
    return now == interrupted.After()    ? CommitOutcome::Holds::New
           : now == interrupted.Before() ? CommitOutcome::Holds::Old
                                         : CommitOutcome::Holds::Neither;
}

}  // namespace

CommitOutcome OutcomeOf(const CommitInterrupted& interrupted, const std::string& archivePath, FileSystem& fs) {
    CommitOutcome outcome;
    try {
        const Archive archive = Archive::Open(archivePath, fs);
        outcome.recovery = archive.RecoveryOnOpen();
        auto file = fs.Open(archivePath, OpenMode::Read);
        const uint64_t size = file->Size();
        const format::Scan scan = format::ScanDirectory(*file, size, false);
        outcome.holds = HoldsAfter(outcome.recovery, StateOf(scan.directory, size), interrupted);
        if (outcome.holds == CommitOutcome::Holds::Unknown)
            outcome.why = "the save would have left " + archivePath +
                          "'s directory and size as they were, and it left nothing beside the archive that tells "
                          "whether it took effect";
    } catch (const ArchiveError& error) {
        outcome.holds = CommitOutcome::Holds::Unknown;
        outcome.why = "the archive cannot be opened again (" +
                      (error.reason().empty() ? error.path() : error.path() + ": " + error.reason()) +
                      "); the next run that opens it completes or rolls back that save";
    }
    return outcome;
}

}  // namespace veltrin::archive
