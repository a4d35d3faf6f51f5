#include "archive/in_place_plan.h"

#include <algorithm>
#include <limits>
#include <map>
#include <unordered_map>

#include "archive/format.h"
#include "archive/free_entries.h"
#include "archive/in_place.h"
#include "archive/names.h"

namespace veltrin::archive {
namespace {

constexpr size_t kNew = std::numeric_limits<size_t>::max();

// One entry of the layout being planned.
struct Placed {
    const std::string* name = nullptr;
    uint64_t offset = 0;
    uint64_t sectors = 0;
    size_t record = kNew;              // its committed record, if it had one
    const StagedData* data = nullptr;  // new data to write, or
    std::optional<uint64_t> moveFrom;  // its own sectors, to copy from there (in sectors)
    bool write = false;                // whether its sectors are written
    uint64_t order = 0;                // keeps entries that start at the same sector in order
    [[nodiscard]] uint64_t End() const { return offset + sectors; }
};

// Free sectors as runs, start -> end, merged when they touch.
class FreeRuns {
public:
    void Add(uint64_t start, uint64_t end) {
        if (start >= end) return;
        auto next = runs_.lower_bound(start);
        if (next != runs_.begin()) {
            auto previous = std::prev(next);
            if (previous->second >= start) {
                start = previous->first;
                end = std::max(end, previous->second);
                runs_.erase(previous);
            }
        }
        while (next != runs_.end() && next->first <= end) {
            end = std::max(end, next->second);
            next = runs_.erase(next);
        }
        runs_.emplace(start, end);
    }
    // Takes [start, start + length) when all of it is free.
    bool Take(uint64_t start, uint64_t length) {
        auto run = runs_.upper_bound(start);
        if (run == runs_.begin()) return false;
        --run;
        const uint64_t runStart = run->first, runEnd = run->second;
        if (start + length > runEnd) return false;
        runs_.erase(run);
        Add(runStart, start);
        Add(start + length, runEnd);
        return true;
    }
    // The start of the smallest run that holds length sectors (the first of
    // equals), if any.
    [[nodiscard]] std::optional<uint64_t> BestFit(uint64_t length) const {
        std::optional<uint64_t> best;
        uint64_t bestLength = 0;
        for (const auto& [start, end] : runs_)
            if (end - start >= length && (!best || end - start < bestLength)) {
                best = start;
                bestLength = end - start;
            }
        return best;
    }
    void CutFrom(uint64_t at) {
        for (auto run = runs_.begin(); run != runs_.end();) {
            if (run->first >= at) {
                run = runs_.erase(run);
            } else {
                if (run->second > at) run->second = at;
                ++run;
            }
        }
    }
    [[nodiscard]] const std::map<uint64_t, uint64_t>& Runs() const { return runs_; }

private:
    std::map<uint64_t, uint64_t> runs_;
};

bool Sound(const StagedChanges& staged, uint64_t dataStart) {
    const std::vector<Entry>& records = staged.records;
    if (format::DirectoryBytes(records.size()) > dataStart * kSectorSize) return false;
    for (size_t i = 1; i < records.size(); ++i)
        if (records[i].offset != uint64_t{records[i - 1].offset} + records[i - 1].sectors) return false;
    const uint64_t end = records.empty() ? dataStart : uint64_t{records.back().offset} + records.back().sectors;
    return end * kSectorSize <= staged.fileSize;
}

// The raw record of a committed entry, moved to another sector.
void CopyRecord(const std::vector<uint8_t>& raw, size_t record, uint64_t offset, uint8_t* to) {
    const auto from = raw.begin() + static_cast<std::ptrdiff_t>(format::kHeaderSize + record * format::kEntrySize);
    std::copy(from, from + static_cast<std::ptrdiff_t>(format::kEntrySize), to);
    format::StoreLe32(to, static_cast<uint32_t>(offset));
}

// A record of the planned layout: a live entry (and the entry it is), or
// a free one.
struct Slot {
    Entry record;
    Placed* entry = nullptr;
};

// The order of records: by sector; an empty entry before one that starts
// where it lies; else by their order.
bool InRecordOrder(const Placed* a, const Placed* b) {
    if (a->offset != b->offset) return a->offset < b->offset;
    if ((a->sectors > 0) != (b->sectors > 0)) return a->sectors == 0;
    return a->order < b->order;
}

// The records of a layout, written into slots (whose memory is used again):
// the live entries (in record order) and, in the gaps between them, free
// entries. False when two entries overlap (a planning fault).
bool RecordsOf(const std::vector<Placed*>& entries, uint64_t dataStart, uint64_t end, uint32_t cap,
               std::vector<Slot>& slots) {
    slots.clear();
    slots.reserve(entries.size());
    uint64_t cursor = dataStart;
    const auto freeUpTo = [&](uint64_t to) {
        for (Entry& entry : FreeEntriesFor(cursor, to, cap)) slots.push_back({std::move(entry), nullptr});
    };
    for (Placed* entry : entries) {
        if (entry->offset < cursor) return false;
        freeUpTo(entry->offset);
        slots.push_back(
            {{*entry->name, static_cast<uint32_t>(entry->offset), static_cast<uint32_t>(entry->sectors)}, entry});
        cursor = entry->End();
    }
    if (cursor > end) return false;
    freeUpTo(end);
    return true;
}

// The layout being planned: the committed one at first, then with every
// change made.
struct Planning {
    uint64_t dataStart = 0;      // the first sector after the directory and its spare room
    uint64_t oldEnd = 0;         // the end of the committed records
    uint64_t end = 0;            // where the next entry that goes to the end goes
    std::vector<Placed> live;    // the committed live entries, then the additions
    std::vector<size_t> liveOf;  // committed record -> its live entry, or kNew for free ones
    size_t committedLive = 0;
    std::vector<bool> gone;  // by live entry: removed
    FreeRuns free;
    // The entries to place: live entry, the sector it asks for.
    std::vector<std::pair<size_t, std::optional<uint32_t>>> toPlace;
    std::vector<Placed*> kept;  // the live entries that stay, in record order
    uint32_t cap = 0;           // the largest kept entry: no free entry is larger

    void Append(Placed& entry) {
        entry.offset = end;
        end += entry.sectors;
    }
    // The records of the layout as it stands, into slots; false when two
    // entries overlap.
    [[nodiscard]] bool Records(std::vector<Slot>& slots) const { return RecordsOf(kept, dataStart, end, cap, slots); }
};

// The committed layout: live entries as they are, free entries as runs.
// Nothing when the layout is not sound.
std::optional<Planning> Committed(const StagedChanges& staged) {
    const std::vector<Entry>& records = staged.records;
    Planning planning;
    planning.dataStart = records.empty()
                             ? std::max<uint64_t>(format::DirectorySectors(0), format::SectorsFor(staged.fileSize))
                             : uint64_t{records.front().offset};
    if (!Sound(staged, planning.dataStart)) return std::nullopt;
    // An archive without records has nothing to move: its data starts after
    // the directory it will have.
    if (records.empty())
        planning.dataStart = std::max(planning.dataStart, format::DirectorySectors(staged.additions.size()));
    planning.oldEnd = records.empty() ? planning.dataStart : uint64_t{records.back().offset} + records.back().sectors;

    planning.liveOf.assign(records.size(), kNew);
    planning.live.reserve(records.size() + staged.additions.size());
    for (size_t i = 0; i < records.size(); ++i) {
        const Entry& record = records[i];
        if (IsFreeEntry(record)) {
            planning.free.Add(record.offset, uint64_t{record.offset} + record.sectors);
            continue;
        }
        planning.liveOf[i] = planning.live.size();
        planning.live.push_back({&record.name, record.offset, record.sectors, i, nullptr, std::nullopt, false, i});
    }
    planning.committedLive = planning.live.size();
    planning.gone.assign(planning.live.size(), false);
    return planning;
}

// The changes: a removal frees its entry's sectors; a replacement that fits
// stays where it is, any other one leaves its sectors free and is to be
// placed, as is every addition.
void StageChanges(const StagedChanges& staged, Planning& planning) {
    for (const StagedChanges::Change& change : staged.changes) {
        const size_t at = planning.liveOf.at(change.index);
        Placed& entry = planning.live[at];
        if (change.removed) {
            planning.free.Add(entry.offset, entry.End());
            planning.gone[at] = true;
            continue;
        }
        const uint64_t sectors = format::SectorsFor(change.data->Size());
        entry.name = change.name;
        entry.data = change.data;
        entry.write = true;
        const bool fits = staged.exactSizes ? sectors == entry.sectors : sectors <= entry.sectors;
        if (fits && (!change.at || *change.at == entry.offset)) continue;  // in place
        planning.free.Add(entry.offset, entry.End());
        entry.sectors = sectors;
        planning.toPlace.emplace_back(at, change.at);
    }
    planning.live.reserve(planning.live.size() + staged.additions.size());
    for (const StagedChanges::Addition& addition : staged.additions) {
        planning.toPlace.emplace_back(planning.live.size(), addition.at);
        planning.live.push_back({addition.name, 0, format::SectorsFor(addition.data->Size()), kNew, addition.data,
                                 std::nullopt, true, staged.records.size() + planning.live.size()});
        planning.gone.push_back(false);
    }
}

// Where each entry to place goes: the sectors it asks for when they are
// free, then the smallest free run that holds it, then the end.
void Place(Planning& planning) {
    planning.end = planning.oldEnd;
    std::vector<Placed>& live = planning.live;
    std::vector<bool> placed(live.size(), false);
    for (const auto& [at, wanted] : planning.toPlace)
        if (wanted && live[at].sectors > 0 && planning.free.Take(*wanted, live[at].sectors)) {
            live[at].offset = *wanted;
            placed[at] = true;
        }
    for (const auto& [at, wanted] : planning.toPlace) {
        if (placed[at]) continue;
        Placed& entry = live[at];
        const std::optional<uint64_t> run = entry.sectors > 0 ? planning.free.BestFit(entry.sectors) : std::nullopt;
        if (run && planning.free.Take(*run, entry.sectors))
            entry.offset = *run;
        else
            planning.Append(entry);
    }
}

// The entries that stay; the archive ends with the last of them, so free
// sectors at the end are cut off.
void Keep(Planning& planning) {
    planning.end = planning.dataStart;
    planning.kept.reserve(planning.live.size());
    for (size_t i = 0; i < planning.live.size(); ++i) {
        if (planning.gone[i]) continue;
        Placed& entry = planning.live[i];
        planning.kept.push_back(&entry);
        planning.cap = std::max(planning.cap, static_cast<uint32_t>(entry.sectors));
        planning.end = std::max(planning.end, entry.End());
    }
    std::sort(planning.kept.begin(), planning.kept.end(), InRecordOrder);
}

// Room for the directory: the first records move to the end (free ones
// are dropped) until the directory fits before the first record; after
// holds the records then. False when it cannot be made.
bool MakeRoomForDirectory(Planning& planning, std::vector<Slot>& after) {
    const uint64_t movedFrom = planning.end;  // records from here on have moved already
    while (format::DirectoryBytes(after.size()) > planning.dataStart * kSectorSize) {
        if (after.empty()) return false;
        const Slot& first = after.front();
        if (!first.entry) {
            planning.dataStart = uint64_t{first.record.offset} + first.record.sectors;
        } else {
            // Each live entry once: one that moved already has no room to give.
            if (first.entry->offset >= movedFrom) return false;
            Placed* moving = first.entry;
            if (!moving->data && !moving->moveFrom) moving->moveFrom = moving->offset;
            moving->write = true;
            planning.dataStart = std::max(planning.dataStart, moving->End());
            planning.Append(*moving);
            moving->order += std::numeric_limits<uint64_t>::max() / 2;
            // It lies last now: past every record, after the empty ones there.
            const auto at = std::find(planning.kept.begin(), planning.kept.end(), moving);
            if (at != planning.kept.end()) std::rotate(at, at + 1, planning.kept.end());
            if (!std::is_sorted(planning.kept.begin(), planning.kept.end(), InRecordOrder))
                std::sort(planning.kept.begin(), planning.kept.end(), InRecordOrder);
        }
        if (!planning.Records(after)) return false;
    }
    return true;
}

// The game reads the first of the records that share a name (any case):
// twins keep their order, so that it reads the same one after the change.
bool TwinsKeepTheirOrder(const std::vector<Slot>& after) {
    FoldedMap<size_t> last;  // name -> the committed record seen last
    last.reserve(after.size());
    for (const auto& [record, entry] : after) {
        if (!entry || entry->record == kNew) continue;
        const auto [seen, first] = last.try_emplace(record.name, entry->record);
        if (first) continue;
        if (seen->second > entry->record) return false;
        seen->second = entry->record;
    }
    return true;
}

// What the game reads stays what it reads: a record of its fixed table
// stays within it, and twins keep their order.
bool KeepsTheGamesReading(const StagedChanges& staged, const std::vector<Slot>& after) {
    if (staged.tableLimit > 0) {
        for (size_t i = 0; i < after.size(); ++i) {
            const Placed* entry = after[i].entry;
            if (entry && entry->record != kNew && entry->record < staged.tableLimit && i >= staged.tableLimit)
                return false;
        }
    }
    return TwinsKeepTheirOrder(after);
}

// The directory: a record that only moved keeps its bytes on disk (what
// lies after its name's NUL, its size in archive), with the new offset.
void EncodeDirectory(const StagedChanges& staged, const std::vector<Slot>& after, InPlacePlan& plan) {
    plan.records.reserve(after.size());
    plan.directory = format::EncodeHeader(after.size());
    plan.directory.resize(format::DirectoryBytes(after.size()));
    for (size_t i = 0; i < after.size(); ++i) {
        const auto& [record, entry] = after[i];
        uint8_t* to = plan.directory.data() + format::kHeaderSize + i * format::kEntrySize;
        if (entry && entry->record != kNew && *entry->name == staged.records[entry->record].name &&
            entry->sectors == staged.records[entry->record].sectors) {
            CopyRecord(staged.directory, entry->record, record.offset, to);
        } else {
            const std::vector<uint8_t> encoded = format::EncodeRecords(std::span<const Entry>(&record, 1));
            std::copy(encoded.begin(), encoded.end(), to);
        }
        plan.records.push_back(record);
    }
}

// The entries' new sectors: their new data padded with zeros, or their own
// bytes from where they were.
void EntryWrites(const Planning& planning, std::vector<JournalWrite>& writes) {
    for (const Placed* entry : planning.kept) {
        if (!entry->write) continue;
        JournalWrite write;
        write.offset = entry->offset * kSectorSize;
        if (entry->data) {
            write.staged = entry->data;
            write.zeros = entry->sectors * kSectorSize - entry->data->Size();
        } else {
            write.fromArchive = *entry->moveFrom * kSectorSize;
            write.length = entry->sectors * kSectorSize;
        }
        writes.push_back(std::move(write));
    }
}

// Zeros over the sectors that entries left, where free records cover them.
void ZerosOverLeftSectors(const StagedChanges& staged, const Planning& planning, const std::vector<Slot>& after,
                          std::vector<JournalWrite>& writes) {
    std::vector<std::pair<uint64_t, uint64_t>> left;  // sectors that entries left, and are free now
    for (size_t i = 0; i < planning.committedLive; ++i) {
        const Placed& entry = planning.live[i];
        const Entry& was = staged.records[entry.record];
        if (planning.gone[i] || entry.offset != was.offset || entry.sectors != was.sectors || entry.moveFrom)
            left.emplace_back(was.offset, uint64_t{was.offset} + was.sectors);
    }
    std::sort(left.begin(), left.end());
    // Both in sector order: each free record meets the stretches that overlap it.
    size_t next = 0;
    for (const auto& [record, entry] : after) {
        if (entry) continue;
        const uint64_t start = record.offset, stop = start + record.sectors;
        while (next < left.size() && left[next].second <= start) ++next;
        for (size_t i = next; i < left.size() && left[i].first < stop; ++i) {
            const uint64_t a = std::max(left[i].first, start), b = std::min(left[i].second, stop);
            if (a < b) writes.push_back({a * kSectorSize, {}, (b - a) * kSectorSize});
        }
    }
}

// The writes: the directory, the zeros after a directory that shrank, the
// entries' new sectors, and zeros over sectors that entries left; in file
// order. Nothing when two of them overlap (a planning fault).
std::optional<std::vector<JournalWrite>> WritesOf(const StagedChanges& staged, const Planning& planning,
                                                  const std::vector<Slot>& after,
                                                  const std::vector<uint8_t>& directory) {
    std::vector<JournalWrite> writes = DirectoryWrites(staged.directory, directory);
    if (directory.size() < staged.directory.size())
        writes.push_back({directory.size(), {}, staged.directory.size() - directory.size()});
    EntryWrites(planning, writes);
    ZerosOverLeftSectors(staged, planning, after, writes);
    std::sort(writes.begin(), writes.end(),
              [](const JournalWrite& a, const JournalWrite& b) { return a.offset < b.offset; });
    for (size_t i = 1; i < writes.size(); ++i)
        if (writes[i].offset < writes[i - 1].End()) return std::nullopt;
    return writes;
}

}  // namespace

std::optional<InPlacePlan> PlanInPlace(const StagedChanges& staged) {
    std::optional<Planning> planning = Committed(staged);
    if (!planning) return std::nullopt;
    StageChanges(staged, *planning);
    Place(*planning);
    Keep(*planning);
    std::vector<Slot> after;
    if (!planning->Records(after) || !MakeRoomForDirectory(*planning, after) ||
        !KeepsTheGamesReading(staged, after))
        return std::nullopt;

    const uint64_t end = planning->end;
    const uint64_t newSize = end == planning->oldEnd ? std::max(staged.fileSize, end * kSectorSize) : end * kSectorSize;
    if (newSize > format::kMaxArchiveBytes) return std::nullopt;

    InPlacePlan plan;
    EncodeDirectory(staged, after, plan);
    std::optional<std::vector<JournalWrite>> writes = WritesOf(staged, *planning, after, plan.directory);
    if (!writes) return std::nullopt;  // never: a planning fault
    plan.journal.oldSize = staged.fileSize;
    plan.journal.newSize = newSize;
    plan.journal.writes = std::move(*writes);
    MarkGrowth(plan.journal);
    plan.journal.guarded = std::min<uint64_t>(staged.directory.size(), staged.fileSize);
    return plan;
}

}  // namespace veltrin::archive
