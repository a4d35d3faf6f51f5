#include "archive/recovery.h"

#include <optional>

#include "archive/commit.h"
#include "archive/format.h"
#include "archive/journal.h"

namespace veltrin::archive {

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

    // Rule 10.
    std::optional<Journal> journal;
    auto file = fs.Open(journalPath, OpenMode::Read);
    // A journal never holds more than the archive it belongs to could.
    if (file->Size() <= format::kMaxArchiveBytes + (uint64_t{1} << 24)) journal = ReadJournal(*file);
    recovery = Recovery::RolledBack;
    const uint64_t size = archive->Size();
    // A journal whose sizes do not fit this file was left beside some other
    // archive; applying it would do harm. (An in-place commit never shrinks
    // the archive.)
    if (journal && size >= journal->oldSize && size <= journal->newSize) {
        ApplyJournal(*archive, *journal, *file);
        recovery = Recovery::Completed;
    }
    file.reset();
    archive.reset();
    fs.Remove(journalPath);
    return recovery;
}

}  // namespace veltrin::archive
