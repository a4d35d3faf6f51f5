#include "archive/in_place.h"

#include <algorithm>

#include "archive/commit.h"
#include "archive/format.h"
#include "archive/free_space.h"

namespace veltrin::archive {
namespace {

// The new data of an entry, then zeros to the end of its sectors.
JournalWrite EntryWrite(uint64_t sector, const StagedData& data, uint64_t sectors) {
    return {sector * kSectorSize, {}, sectors * kSectorSize - data.Size(), &data};
}

// The directory's header and records for these entries, each record kept
// as it lies on disk where the entry at that place did not change.
std::vector<uint8_t> DirectoryOf(const std::vector<Entry>& before, const std::vector<uint8_t>& raw,
                                 const std::vector<Entry>& after) {
    std::vector<uint8_t> directory = format::EncodeHeader(after.size());
    directory.resize(format::DirectoryBytes(after.size()));
    for (size_t i = 0; i < after.size(); ++i) {
        uint8_t* record = directory.data() + format::kHeaderSize + i * format::kEntrySize;
        if (i < before.size() && format::SameRecord(before[i], after[i])) {
            std::copy_n(raw.begin() + static_cast<std::ptrdiff_t>(format::kHeaderSize + i * format::kEntrySize),
                        format::kEntrySize, record);
        } else {
            const std::vector<uint8_t> encoded = format::EncodeRecords(std::span<const Entry>(&after[i], 1));
            std::copy(encoded.begin(), encoded.end(), record);
        }
    }
    return directory;
}

}  // namespace

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

std::optional<InPlacePlan> PlanInPlace(const StagedChanges& staged) {
    const std::vector<Entry>& entries = staged.entries;
    if (entries.empty()) return std::nullopt;
    for (const StagedChanges::Change& change : staged.changes)
        if (change.removed) return std::nullopt;
    for (size_t i = 1; i < entries.size(); ++i)
        if (entries[i].offset != uint64_t{entries[i - 1].offset} + entries[i - 1].sectors) return std::nullopt;
    const uint64_t count = entries.size() + staged.additions.size();
    if (format::DirectoryBytes(count) > uint64_t{entries.front().offset} * kSectorSize) return std::nullopt;

    InPlacePlan plan;
    plan.entries = entries;
    std::vector<JournalWrite> data;
    for (const StagedChanges::Change& change : staged.changes) {
        Entry& entry = plan.entries[change.index];
        const uint64_t sectors = format::SectorsFor(change.data->Size());
        if (sectors > entry.sectors || (staged.exactSizes && sectors != entry.sectors)) return std::nullopt;
        entry.name = *change.name;
        data.push_back(EntryWrite(entry.offset, *change.data, entry.sectors));
    }
    uint64_t end = uint64_t{entries.back().offset} + entries.back().sectors;
    for (const StagedChanges::Addition& addition : staged.additions) {
        const uint64_t sectors = format::SectorsFor(addition.data->Size());
        plan.entries.push_back({*addition.name, static_cast<uint32_t>(end), static_cast<uint32_t>(sectors)});
        data.push_back(EntryWrite(end, *addition.data, sectors));
        end += sectors;
    }
    const uint64_t newSize = std::max(staged.fileSize, end * kSectorSize);
    if (newSize > format::kMaxArchiveBytes) return std::nullopt;

    plan.directory = DirectoryOf(entries, staged.directory, plan.entries);
    plan.journal.oldSize = staged.fileSize;
    plan.journal.newSize = newSize;
    plan.journal.writes = DirectoryWrites(staged.directory, plan.directory);
    std::sort(data.begin(), data.end(), [](const auto& a, const auto& b) { return a.offset < b.offset; });
    for (JournalWrite& write : data) plan.journal.writes.push_back(std::move(write));
    return plan;
}

namespace {

// Rule 8: the journal emptied through the handle that wrote it, then
// removed. Returns what was left behind, in words; empty when nothing was.
std::string RetireJournal(FileSystem& fs, const std::string& journalPath, std::unique_ptr<File> journal) {
    std::string emptyFailed;
    try {
        journal->Resize(0);
        journal->Flush();
    } catch (const ArchiveError& error) {
        emptyFailed = error.reason();
    }
    journal.reset();
    try {
        fs.Remove(journalPath);
        return {};
    } catch (const ArchiveError& error) {
        if (emptyFailed.empty())
            return "the emptied journal " + journalPath + " could not be removed (" + error.reason() +
                   "); it does no harm and the next save replaces it";
        return "the journal " + journalPath + " could not be emptied (" + emptyFailed + ") or removed (" +
               error.reason() + "); the next open checks it against the archive and drops it";
    }
}

}  // namespace

CommitResult CommitInPlace(FileSystem& fs, const std::string& archivePath, File& archive, const InPlacePlan& plan,
                           const Progress& progress) {
    const uint64_t journalBytes = JournalBytes(plan.journal);
    uint64_t applied = 0;
    for (const JournalWrite& write : plan.journal.writes) applied += write.Size() + write.zeros;
    // Progress: the journal is written, then applied; both count towards the whole.
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
    } catch (...) {
        try {
            if (fs.Exists(journalPath)) fs.Remove(journalPath);
        } catch (const ArchiveError&) {
            // Rule 10 drops it.
        }
        throw;
    }
    // Rule 6: past the point of no return.
    CommitResult result{plan.entries, plan.directory, plan.journal.newSize, {}};
    result.stats.inPlace = true;
    try {
        result.stats.bytesWritten = ApplyJournal(archive, plan.journal, *journal, advance);
    } catch (const ArchiveError& error) {
        throw CommitInterrupted(error, {}, StateOf(plan.directory, plan.journal.newSize));
    }
    if (progress) progress(total, total);
    result.stats.leftOver = RetireJournal(fs, journalPath, std::move(journal));
    return result;
}

}  // namespace veltrin::archive
