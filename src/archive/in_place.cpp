#include "archive/in_place.h"

#include <algorithm>
#include <cstring>

#include "archive/format.h"
#include "archive/rewrite.h"

namespace veltrin::archive {
namespace {

// The new bytes of an entry, then zeros to the end of its sectors.
JournalWrite EntryWrite(uint64_t sector, const std::vector<uint8_t>& bytes, uint64_t sectors) {
    return {sector * kSectorSize, {}, sectors * kSectorSize - bytes.size(), &bytes};
}

// Only the parts of the directory that change: the header when the count
// does, and runs of changed entries.
void DirectoryWrites(const std::vector<Entry>& before, const std::vector<Entry>& after,
                     std::vector<JournalWrite>& writes) {
    const std::vector<uint8_t> old = format::EncodeDirectoryExact(before);
    const std::vector<uint8_t> now = format::EncodeDirectoryExact(after);
    if (std::memcmp(now.data(), old.data(), format::kHeaderSize) != 0)
        writes.push_back({0, std::vector<uint8_t>(now.data(), now.data() + format::kHeaderSize), 0});
    size_t runStart = 0;
    bool inRun = false;
    for (size_t i = 0; i <= after.size(); ++i) {
        const size_t at = format::kHeaderSize + i * format::kEntrySize;
        const bool changed = i < after.size() && (i >= before.size() || std::memcmp(now.data() + at, old.data() + at,
                                                                                    format::kEntrySize) != 0);
        if (changed && !inRun) runStart = at;
        if (!changed && inRun)
            writes.push_back({runStart, std::vector<uint8_t>(now.data() + runStart, now.data() + at), 0});
        inRun = changed;
    }
}

}  // namespace

std::optional<InPlacePlan> PlanInPlace(const InPlaceInput& input) {
    const std::vector<Entry>& entries = input.entries;
    if (entries.empty()) return std::nullopt;
    for (const StagedChange& change : input.changes)
        if (change.removed) return std::nullopt;
    for (size_t i = 1; i < entries.size(); ++i)
        if (entries[i].offset != uint64_t{entries[i - 1].offset} + entries[i - 1].sectors) return std::nullopt;
    const uint64_t count = entries.size() + input.additions.size();
    if (format::DirectoryBytes(count) > uint64_t{entries.front().offset} * kSectorSize) return std::nullopt;

    InPlacePlan plan;
    plan.entries = entries;
    std::vector<JournalWrite> data;
    for (const StagedChange& change : input.changes) {
        Entry& entry = plan.entries[change.index];
        const uint64_t sectors = format::SectorsFor(change.bytes->size());
        if (sectors > entry.sectors || (input.exactSizes && sectors != entry.sectors)) return std::nullopt;
        entry.name = *change.name;
        data.push_back(EntryWrite(entry.offset, *change.bytes, entry.sectors));
    }
    uint64_t end = uint64_t{entries.back().offset} + entries.back().sectors;
    for (const StagedAddition& addition : input.additions) {
        const uint64_t sectors = format::SectorsFor(addition.bytes->size());
        plan.entries.push_back({*addition.name, static_cast<uint32_t>(end), static_cast<uint32_t>(sectors)});
        data.push_back(EntryWrite(end, *addition.bytes, sectors));
        end += sectors;
    }
    const uint64_t newSize = std::max(input.fileSize, end * kSectorSize);
    if (newSize > format::kMaxArchiveBytes) return std::nullopt;

    plan.journal.oldSize = input.fileSize;
    plan.journal.newSize = newSize;
    DirectoryWrites(entries, plan.entries, plan.journal.writes);
    std::sort(data.begin(), data.end(), [](const auto& a, const auto& b) { return a.offset < b.offset; });
    for (JournalWrite& write : data) plan.journal.writes.push_back(std::move(write));
    return plan;
}

uint64_t CommitInPlace(FileSystem& fs, const std::string& archivePath, const InPlacePlan& plan, bool& touched) {
    touched = false;
    uint64_t journalBytes = 64;
    for (const JournalWrite& write : plan.journal.writes) journalBytes += 24 + write.Data().size();
    RequireFreeSpace(fs, archivePath, journalBytes + (plan.journal.newSize - plan.journal.oldSize));

    // Exclusive access first: a journal must never be left for an archive
    // that this commit then could not change.
    auto archive = fs.Open(archivePath, OpenMode::ReadWrite);
    const std::string journalPath = JournalPath(archivePath);
    try {
        WriteJournal(fs, archivePath, plan.journal);
    } catch (...) {
        try {
            if (fs.Exists(journalPath)) fs.Remove(journalPath);
        } catch (const ArchiveError&) {
            // An incomplete journal is dropped by the next open.
        }
        throw;
    }
    touched = true;
    const uint64_t written = ApplyJournal(*archive, plan.journal);
    archive.reset();
    try {
        fs.Remove(journalPath);
    } catch (const ArchiveError&) {
        // The archive holds the new content; applying the journal again at
        // the next open changes nothing.
    }
    return written;
}

}  // namespace veltrin::archive
