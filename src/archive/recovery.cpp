#include "archive/recovery.h"

#include <optional>

#include "archive/commit.h"
#include "archive/format.h"
#include "archive/journal.h"

namespace veltrin::archive {

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
    const std::optional<Journal> journal = emptied ? std::nullopt : ReadJournal(*file);
    if (!emptied) recovery = Recovery::RolledBack;  // rule 10
    if (journal) {
        // Rule 11.
        switch (CheckJournal(*archive, *journal, *file)) {
        case JournalFit::Pending:
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
    }
    file.reset();
    archive.reset();
    fs.Remove(journalPath);
    return recovery;
}

CommitOutcome OutcomeOf(const CommitInterrupted& interrupted, const std::string& archivePath, FileSystem& fs) {
    CommitOutcome outcome;
    try {
        const Archive archive = Archive::Open(archivePath, fs);
        outcome.recovery = archive.RecoveryOnOpen();
        auto file = fs.Open(archivePath, OpenMode::Read);
        const uint64_t size = file->Size();
        const format::Scan scan = format::ScanDirectory(*file, size, false);
        const ArchiveState now = StateOf(scan.directory, size);
        outcome.holds = now == interrupted.After()    ? CommitOutcome::Holds::New
                        : now == interrupted.Before() ? CommitOutcome::Holds::Old
                                                      : CommitOutcome::Holds::Neither;
    } catch (const ArchiveError& error) {
        outcome.holds = CommitOutcome::Holds::Unknown;
        outcome.why = error.reason().empty() ? error.path() : error.path() + ": " + error.reason();
    }
    return outcome;
}

}  // namespace veltrin::archive
