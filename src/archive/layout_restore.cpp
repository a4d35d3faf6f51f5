#include "archive/layout_restore.h"

#include <algorithm>
#include <cstring>

#include "archive/format.h"
#include "archive/free_entries.h"
#include "archive/in_place.h"
#include "archive/names.h"

namespace veltrin::archive {
namespace {

// A file over bytes in memory, for reading a directory that is not on disk.
class BytesFile final : public File {
public:
    BytesFile(const std::vector<uint8_t>& bytes, uint64_t size) : bytes_(bytes), size_(size) {}
    uint64_t Size() override { return size_; }
    void ReadAt(uint64_t offset, std::span<uint8_t> out) override {
        if (offset + out.size() > bytes_.size())
            throw ArchiveError(ErrorKind::Damaged, {}, "the layout's directory reaches past its first entry");
        std::memcpy(out.data(), bytes_.data() + offset, out.size());
    }
    void WriteAt(uint64_t, std::span<const uint8_t>) override {}
    void Resize(uint64_t) override {}
    void Flush() override {}

private:
    const std::vector<uint8_t>& bytes_;
    uint64_t size_;
};

// The runs in which two byte ranges differ, as writes of the new bytes;
// runs closer than a record's size are joined.
void DifferingRuns(const std::vector<uint8_t>& now, const std::vector<uint8_t>& wanted,
                   std::vector<JournalWrite>& writes) {
    constexpr size_t kJoin = 32;
    size_t at = 0;
    const auto differs = [&](size_t i) { return i >= now.size() || now[i] != wanted[i]; };
    while (at < wanted.size()) {
        if (!differs(at)) {
            ++at;
            continue;
        }
        size_t end = at + 1, same = 0;
        for (size_t i = end; i < wanted.size() && same < kJoin; ++i) {
            if (differs(i)) {
                end = i + 1;
                same = 0;
            } else {
                ++same;
            }
        }
        writes.push_back({at,
                          std::vector<uint8_t>(wanted.begin() + static_cast<std::ptrdiff_t>(at),
                                               wanted.begin() + static_cast<std::ptrdiff_t>(end)),
                          0});
        at = end;
    }
}

// What a kept front's directory lists.
format::Scan ScanOf(const Layout& layout) {
    BytesFile front(layout.front, layout.fileSize);
    return format::ScanDirectory(front, layout.fileSize, false);
}

uint64_t EndOf(const Entry& record) { return (uint64_t{record.offset} + record.sectors) * kSectorSize; }

// The live records lying now, by name (any case): those of one name linked
// in directory order (twins: the first is the one the game reads), each
// taken once.
class Lying {
public:
    explicit Lying(const std::vector<Entry>& records) : records_(records), next_(records.size(), kNone) {
        std::vector<size_t> last(records.size(), kNone);
        heads_.reserve(records.size());
        for (size_t i = 0; i < records.size(); ++i) {
            if (IsFreeEntry(records[i])) continue;
            const auto [head, first] = heads_.try_emplace(records[i].name, i);
            if (first) {
                last[i] = i;
                continue;
            }
            next_[last[head->second]] = i;
            last[head->second] = i;
        }
        taken_.assign(records.size(), false);
    }

    // Takes, out of the records of the name not yet taken, the first of the
    // same spelling, or else the first (sameSpelling false: the first).
    // Twins keep their own bytes even where they came to lie in another
    // order. nullptr when none is left.
    const Entry* Take(const std::string& name, bool sameSpelling) {
        const auto head = heads_.find(name);
        if (head == heads_.end()) return nullptr;
        size_t chosen = kNone;
        for (size_t i = head->second; i != kNone; i = next_[i]) {
            if (taken_[i]) continue;
            if (chosen == kNone) chosen = i;
            if (!sameSpelling) break;
            if (records_[i].name == name) {
                chosen = i;
                break;
            }
        }
        if (chosen == kNone) return nullptr;
        taken_[chosen] = true;
        return &records_[chosen];
    }

private:
    static constexpr size_t kNone = static_cast<size_t>(-1);
    const std::vector<Entry>& records_;
    FoldedMap<size_t> heads_;  // name -> its first record
    std::vector<size_t> next_;
    std::vector<bool> taken_;
};

}  // namespace

std::string WhyLayoutCannotBeKept(const std::vector<Entry>& records, uint64_t fileSize) {
    const uint64_t front = records.empty() ? fileSize : uint64_t{records.front().offset} * kSectorSize;
    uint64_t next = front;
    for (const Entry& record : records) {
        if (uint64_t{record.offset} * kSectorSize != next)
            return "its entries do not follow one another (holes between them, or data out of directory order, as "
                   "other editors leave them)";
        next = EndOf(record);
    }
    if (next > fileSize) return "its entries reach past its end";
    if (front > kMaxLayoutFront)
        return "its directory and the spare room after it take " + std::to_string(front) +
               " bytes, more than an install record keeps";
    if (fileSize - next > kMaxLayoutTail)
        return std::to_string(fileSize - next) + " bytes lie after its last entry, more than an install record keeps";
    return {};
}

namespace {

// WhyLayoutCannotBeGivenBack with the layout's directory scanned already.
std::string WhyNotGivenBack(const Layout& layout, const format::Scan& scan) {
    if (!scan.fatal.empty()) return scan.fatal.front().text;
    const std::vector<Entry>& records = scan.entries;
    if (!records.empty() && layout.front.size() != uint64_t{records.front().offset} * kSectorSize)
        return "its start does not end at its first entry";
    if (std::string why = WhyLayoutCannotBeKept(records, layout.fileSize); !why.empty()) return why;
    const uint64_t end = records.empty() ? layout.front.size() : EndOf(records.back());
    if (end + layout.tail.size() != layout.fileSize) return "the bytes after its last entry were not kept";
    return {};
}

}  // namespace

std::string WhyLayoutCannotBeGivenBack(const Layout& layout) { return WhyNotGivenBack(layout, ScanOf(layout)); }

InPlacePlan PlanLayoutRestore(const StagedChanges& now, const std::vector<uint8_t>& frontNow,
                              const LayoutRestore& restore, FileSystem& fs, const std::string& path) {
    const Layout& layout = restore.layout;
    const auto damaged = [&](const std::string& why) {
        return ArchiveError(ErrorKind::Damaged, path, "the layout to give back is not sound: " + why);
    };
    const format::Scan scan = ScanOf(layout);
    if (const std::string why = WhyNotGivenBack(layout, scan); !why.empty()) throw damaged(why);
    const std::vector<Entry>& records = scan.entries;

    // Where each entry lies now: by name, the records of that name in
    // directory order (twins: the first is the one the game reads).
    Lying lying(now.records);
    // The free entries now (zeroed), by start, each with the furthest end
    // of any that starts at or before it.
    std::vector<std::pair<uint64_t, uint64_t>> freeNow;
    for (const Entry& record : now.records)
        if (IsFreeEntry(record)) freeNow.emplace_back(record.offset, uint64_t{record.offset} + record.sectors);
    std::sort(freeNow.begin(), freeNow.end());
    for (size_t i = 1; i < freeNow.size(); ++i) freeNow[i].second = std::max(freeNow[i].second, freeNow[i - 1].second);
    const auto zeroNow = [&](uint64_t start, uint64_t end) {
        const auto after = std::upper_bound(freeNow.begin(), freeNow.end(), start,
                                            [](uint64_t at, const auto& run) { return at < run.first; });
        return after != freeNow.begin() && end <= std::prev(after)->second;
    };
    FoldedMap<const FilePart*> originals;  // the restore's originals by name, without copying each name
    for (const auto& [key, file] : restore.originals) originals.emplace(key, &file);
    FoldedMap<bool> seen;  // names of the layout's records so far
    seen.reserve(records.size());

    InPlacePlan plan;
    plan.records = records;
    plan.directory = scan.directory;
    std::vector<JournalWrite> writes;
    DifferingRuns(frontNow, layout.front, writes);
    restore.staged.reserve(records.size());
    for (const Entry& record : records) {
        const uint64_t bytes = uint64_t{record.sectors} * kSectorSize;
        if (record.sectors == 0) continue;
        if (IsFreeEntry(record)) {
            if (!zeroNow(record.offset, uint64_t{record.offset} + record.sectors))
                writes.push_back({uint64_t{record.offset} * kSectorSize, {}, bytes});
            continue;
        }
        const bool first = seen.try_emplace(record.name, true).second;
        const auto original = first ? originals.find(record.name) : originals.end();
        if (original != originals.end()) {
            // The entry the game read and the install replaced: the first of its name now.
            lying.Take(record.name, false);
            const FilePart& part = *original->second;
            const uint64_t size = part.size;
            if (fs.Open(part.path, OpenMode::Read)->Size() < part.offset + size)
                throw ArchiveError(ErrorKind::Io, part.path, "it is shorter than the original it holds");
            if (format::SectorsFor(size) != record.sectors)
                throw ArchiveError(ErrorKind::Io, part.path,
                                   "it holds " + std::to_string(size) + " bytes, not the " + std::to_string(bytes) +
                                       " bytes of the entry it is the original of");
            restore.staged.push_back(StagedData::FromPart(part));
            JournalWrite write;
            write.offset = uint64_t{record.offset} * kSectorSize;
            write.staged = &restore.staged.back();
            write.zeros = bytes - size;
            writes.push_back(std::move(write));
            continue;
        }
        const Entry* there = lying.Take(record.name, true);
        if (!there || there->sectors != record.sectors)
            throw ArchiveError(
                ErrorKind::NotFound, path,
                "\"" + record.name + "\" is not in the archive as it was, and there is no original of it");
        if (there->offset == record.offset) continue;
        JournalWrite write;
        write.offset = uint64_t{record.offset} * kSectorSize;
        write.fromArchive = uint64_t{there->offset} * kSectorSize;
        write.length = bytes;
        writes.push_back(std::move(write));
    }
    if (!layout.tail.empty()) writes.push_back({layout.fileSize - layout.tail.size(), layout.tail, 0});
    std::sort(writes.begin(), writes.end(),
              [](const JournalWrite& a, const JournalWrite& b) { return a.offset < b.offset; });
    for (size_t i = 1; i < writes.size(); ++i)
        if (writes[i].offset < writes[i - 1].End()) throw damaged("its parts overlap");
    // Whatever the file grows by is written too, so that the journal reaches its new size.
    const uint64_t reach = std::max(now.fileSize, writes.empty() ? 0 : writes.back().End());
    if (layout.fileSize > reach) writes.push_back({reach, {}, layout.fileSize - reach});
    plan.journal.oldSize = now.fileSize;
    plan.journal.newSize = layout.fileSize;
    plan.journal.writes = std::move(writes);
    return plan;
}

}  // namespace veltrin::archive
