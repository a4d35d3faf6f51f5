#include "archive/in_place.h"

#include <algorithm>

#include "archive/commit.h"
#include "archive/format.h"
#include "archive/free_space.h"
#include "text/path_text.h"

namespace veltrin::archive {

std::vector<JournalWrite> DirectoryWrites(const std::vector<uint8_t>& before, const std::vector<uint8_t>& after) {
    std::vector<JournalWrite> writes;
    const auto header = static_cast<std::ptrdiff_t>(format::kHeaderSize);
    if (before.size() < format::kHeaderSize || !std::equal(after.begin(), after.begin() + header, before.begin()))
        writes.push_back({0, std::vector<uint8_t>(after.begin(), after.begin() + header), 0});
    const size_t count = (after.size() - format::kHeaderSize) / format::kEntrySize;
    auto same = [&](size_t i) {
        const size_t at = format::kHeaderSize + i * format::kEntrySize;
        return at + format::kEntrySize <= before.size() &&
               std::equal(after.begin() + static_cast<std::ptrdiff_t>(at),
                          after.begin() + static_cast<std::ptrdiff_t>(at + format::kEntrySize),
                          before.begin() + static_cast<std::ptrdiff_t>(at));
    };
    for (size_t i = 0; i < count;) {
        if (same(i)) {
            ++i;
            continue;
        }
        size_t end = i + 1;
        while (end < count && !same(end)) ++end;
        const auto from = static_cast<std::ptrdiff_t>(format::kHeaderSize + i * format::kEntrySize);
        const auto to = static_cast<std::ptrdiff_t>(format::kHeaderSize + end * format::kEntrySize);
        writes.push_back(
            {static_cast<uint64_t>(from), std::vector<uint8_t>(after.begin() + from, after.begin() + to), 0});
        i = end;
    }
    return writes;
}

namespace {

// Rule 8: the journal emptied through the handle that wrote it, then
// removed. Returns what was left behind, in words; empty when nothing was.
std::string RetireJournal(FileSystem& fs, const std::string& journalPath, std::unique_ptr<File> journal) {
    // Emptied through the handle that wrote it (another program may hold it
    // once that is closed); made durable only when it stays behind.
    try {
        journal->Resize(0);
    } catch (const ArchiveError&) {
        // Emptied below, if it stays.
    }
    journal.reset();
    try {
        fs.Remove(journalPath);
        return {};
    } catch (const ArchiveError& removal) {
        try {
            auto left = fs.Open(journalPath, OpenMode::ReadWrite);
            left->Resize(0);
            left->Flush();
        } catch (const ArchiveError& emptying) {
            return "the journal " + journalPath + " could not be emptied (" + emptying.reason() + ") or removed (" +
                   removal.reason() + "); the next open checks it against the archive and drops it";
        }
        return "the emptied journal " + journalPath + " could not be removed (" + removal.reason() +
               "); it does no harm and the next save replaces it";
    }
}

// Rule 12: what a commit whose journal failed may have added past the
// archive's old size is cut off, and the cut made durable, while the
// journal that tells the next open to do so is still there. Returns whether
// the archive is its old size.
bool CutBack(File& archive, const Journal& journal) {
    try {
        if (archive.Size() > journal.oldSize) {
            archive.Resize(journal.oldSize);
            archive.Flush();
        }
        return true;
    } catch (const ArchiveError&) {
        return false;
    }
}

// Makes sure a journal whose writing failed can never be applied: emptied
// durably (an emptied journal is what a successful commit leaves), then
// removed. A removal alone is not enough where names are durable only once
// their folder is flushed: a power cut could bring the complete journal
// back. Returns whether no journal that could be applied is left.
bool DiscardJournal(FileSystem& fs, const std::string& journalPath) {
    bool emptied = false;
    try {
        if (!fs.Exists(journalPath)) return true;
        auto left = fs.Open(journalPath, OpenMode::ReadWrite);
        left->Resize(0);
        left->Flush();
        emptied = true;
    } catch (const ArchiveError&) {
        // Then only a durable removal will do.
    }
    try {
        fs.Remove(journalPath);
        if (!emptied) fs.FlushFolder(std::string(text::FolderOf(journalPath)));
        return true;
    } catch (const ArchiveError&) {
        return emptied;
    }
}

}  // namespace

CommitResult CommitInPlace(FileSystem& fs, const std::string& archivePath, File& archive, const InPlacePlan& plan,
                           const Progress& progress) {
    RequireJournalWithin(plan.journal, archivePath);  // rule 6
    const uint64_t journalBytes = JournalBytes(plan.journal);
    uint64_t applied = 0;
    uint64_t grown = 0;
    for (const JournalWrite& write : plan.journal.writes) {
        applied += write.Size() + write.zeros;
        if (write.growth) grown += write.Size() + write.zeros;
    }
    // Progress: the journal is written (with the growth, into the archive),
    // then applied; all count towards the whole.
    uint64_t done = 0;
    const uint64_t total = journalBytes + applied;
    auto advance = [&](uint64_t bytes) {
        done = std::min(total, done + bytes);
        if (progress) progress(done, total);
    };
    const uint64_t growth =
        plan.journal.newSize > plan.journal.oldSize ? plan.journal.newSize - plan.journal.oldSize : 0;
    RequireFreeSpace(fs, archivePath, journalBytes + growth);  // rule 3

    const std::string journalPath = JournalPath(archivePath);
    std::unique_ptr<File> journal;
    try {
        journal = WriteJournal(fs, archivePath, plan.journal, archive, advance);
    } catch (const std::exception& failure) {
        // Rule 12: nothing was changed only once no journal is left that the
        // next open could take for a complete one (a write that failed may
        // have reached the disk all the same). Where that cannot be made so,
        // the archive may yet take the new content: the commit is
        // interrupted, not failed.
        if (!CutBack(archive, plan.journal) || !DiscardJournal(fs, journalPath)) {
            const auto* error = dynamic_cast<const ArchiveError*>(&failure);
            throw CommitInterrupted(error ? *error : ArchiveError(ErrorKind::Io, journalPath, failure.what()), {},
                                    StateOf(plan.directory, plan.journal.newSize));
        }
        throw;
    }
    // Rule 6: past the point of no return.
    CommitResult result{plan.records, plan.directory, plan.journal.newSize, {}};
    result.stats.inPlace = true;
    try {
        result.stats.bytesWritten = grown + ApplyJournal(archive, plan.journal, *journal, advance);
    } catch (const ArchiveError& error) {
        throw CommitInterrupted(error, {}, StateOf(plan.directory, plan.journal.newSize));
    }
    // The bar ends once, where the bytes counted fall short of the whole.
    if (progress && done < total) progress(total, total);
    result.stats.leftOver = RetireJournal(fs, journalPath, std::move(journal));
    return result;
}

}  // namespace veltrin::archive
