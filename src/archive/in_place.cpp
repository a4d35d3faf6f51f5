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

// Only the parts of the directory that change: the header when the count
// does, and runs of changed entries.
void DirectoryWrites(const std::vector<Entry>& before, const std::vector<Entry>& after,
                     std::vector<JournalWrite>& writes) {
    if (before.size() != after.size()) writes.push_back({0, format::EncodeHeader(after.size()), 0});
    auto same = [&](size_t i) { return i < before.size() && format::SameRecord(before[i], after[i]); };
    for (size_t i = 0; i < after.size();) {
        if (same(i)) {
            ++i;
            continue;
        }
        size_t end = i + 1;
        while (end < after.size() && !same(end)) ++end;
        writes.push_back({format::kHeaderSize + i * format::kEntrySize,
                          format::EncodeRecords(std::span<const Entry>(after.data() + i, end - i)), 0});
        i = end;
    }
}

}  // namespace

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

    plan.journal.oldSize = staged.fileSize;
    plan.journal.newSize = newSize;
    DirectoryWrites(entries, plan.entries, plan.journal.writes);
    std::sort(data.begin(), data.end(), [](const auto& a, const auto& b) { return a.offset < b.offset; });
    for (JournalWrite& write : data) plan.journal.writes.push_back(std::move(write));
    return plan;
}

CommitResult CommitInPlace(FileSystem& fs, const std::string& archivePath, const InPlacePlan& plan,
                           const Progress& progress) {
    uint64_t journalBytes = 64;
    uint64_t applied = 0;
    for (const JournalWrite& write : plan.journal.writes) {
        journalBytes += 24 + write.Size();
        applied += write.Size() + write.zeros;
    }
    // Progress: the journal is written, then applied; both count towards the whole.
    uint64_t done = 0;
    const uint64_t total = journalBytes + applied;
    auto advance = [&](uint64_t bytes) {
        done = std::min(total, done + bytes);
        if (progress) progress(done, total);
    };
    RequireFreeSpace(fs, archivePath, journalBytes + (plan.journal.newSize - plan.journal.oldSize));  // rule 3

    // Rule 2, before the journal: none is ever left for an archive this
    // commit could not change.
    auto archive = fs.Open(archivePath, OpenMode::ReadWrite);
    const std::string journalPath = JournalPath(archivePath);
    std::unique_ptr<File> journal;
    try {
        journal = WriteJournal(fs, archivePath, plan.journal, advance);
    } catch (...) {
        try {
            if (fs.Exists(journalPath)) fs.Remove(journalPath);
        } catch (const ArchiveError&) {
            // Rule 10 drops it.
        }
        throw;
    }
    // Rule 6: past the point of no return.
    CommitResult result{plan.entries, plan.journal.newSize, {}};
    result.stats.inPlace = true;
    try {
        result.stats.bytesWritten = ApplyJournal(*archive, plan.journal, *journal, advance);
    } catch (const ArchiveError& error) {
        throw CommitInterrupted(error);
    }
    if (progress) progress(total, total);
    archive.reset();
    journal.reset();
    try {
        fs.Remove(journalPath);
    } catch (const ArchiveError&) {
        // Rule 8.
    }
    return result;
}

}  // namespace veltrin::archive
