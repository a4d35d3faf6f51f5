#include "archive/archive.h"

#include <algorithm>
#include <map>
#include <numeric>
#include <unordered_map>

#include "archive/commit.h"
#include "archive/format.h"
#include "archive/free_entries.h"
#include "archive/game_table.h"
#include "archive/in_place.h"
#include "archive/layout_restore.h"
#include "archive/names.h"
#include "archive/recovery.h"
#include "archive/rewrite.h"
#include "archive/staged_data.h"
#include "text/ascii.h"

namespace veltrin::archive {
namespace {

// A staged change to one name: new data, or removal of a committed entry.
struct Change {
    std::string name;  // the spelling to store
    bool removed = false;
    StagedData data;
    std::optional<uint32_t> at;
};

void Require(bool condition, ErrorKind kind, const std::string& path, const std::string& reason) {
    if (!condition) throw ArchiveError(kind, path, reason);
}

// Points into the names of the entries it indexes.
using NameIndex = FoldedMap<size_t>;

// The records in the order of their data, except that records of one name
// (any case) keep their order among themselves: the game reads the first.
std::vector<Entry> InDataOrder(const std::vector<Entry>& records) {
    std::vector<size_t> order(records.size());
    std::iota(order.begin(), order.end(), size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return records[a].offset < records[b].offset; });
    std::unordered_map<std::string, std::vector<size_t>> places;  // folded name -> its places in order
    for (size_t place = 0; place < order.size(); ++place)
        places[FoldedName(records[order[place]].name)].push_back(place);
    for (const auto& [name, at] : places) {
        if (at.size() < 2) continue;
        std::vector<size_t> twins;
        for (const size_t place : at) twins.push_back(order[place]);
        std::sort(twins.begin(), twins.end());
        for (size_t i = 0; i < at.size(); ++i) order[at[i]] = twins[i];
    }
    std::vector<Entry> sorted;
    sorted.reserve(records.size());
    for (const size_t record : order) sorted.push_back(records[record]);
    return sorted;
}

}  // namespace

struct Archive::State {
    std::string path;
    FileSystem* fs = nullptr;
    Recovery recovery = Recovery::None;
    std::vector<Entry> records;    // every record, free entries too
    std::vector<Entry> entries;    // the live ones, in directory order
    std::vector<size_t> recordOf;  // live entry -> its record
    NameIndex index;               // name (any case) -> live entry, made when first asked for (Names)
    bool indexed = false;
    std::vector<uint8_t> directory;  // header and records as read or last written
    uint64_t fileSize = 0;
    std::optional<ArchiveState> summed;  // StateOf(directory, fileSize), once asked for
    std::unique_ptr<File> file;          // open for reading while nothing is being committed
    // Taken for the object's life (Take): the file above is open for
    // exclusive access, and the commit writes through it.
    bool held = false;
    // While a commit runs, the handle it writes through: what is read before
    // it writes (BeforeWriting) is read through it.
    File* committing = nullptr;
    // Set by a commit that failed after its point of no return (commit.h,
    // rule 13).
    bool stale = false;

    std::map<size_t, Change> changes;                 // live entry index -> change
    std::vector<Change> additions;                    // new names, in the order they were put
    std::unordered_map<std::string, size_t> addedAt;  // folded name -> index in additions
    uint64_t dataSectors = 0;                         // all live data sectors once the changes apply

    void Load(std::vector<Entry> loaded, std::vector<uint8_t> raw, uint64_t size) {
        records = std::move(loaded);
        directory = std::move(raw);
        fileSize = size;
        summed.reset();
        entries.clear();
        recordOf.clear();
        index.clear();
        indexed = false;
        entries.reserve(records.size());
        recordOf.reserve(records.size());

        for (size_t i = 0; i < records.size(); ++i) {
            if (IsFreeEntry(records[i])) continue;
            entries.push_back(records[i]);
            recordOf.push_back(i);
        }
        ClearChanges();
    }
    // The index of names; a commit's reload leaves it to be made when the
    // archive is used again (most are not).
    const NameIndex& Names() {
        if (!indexed) {
            index.reserve(entries.size());
            for (size_t i = 0; i < entries.size(); ++i) index.emplace(entries[i].name, i);
            indexed = true;
        }
        return index;
    }
    void ClearChanges() {
        changes.clear();
        additions.clear();
        addedAt.clear();
        dataSectors = 0;
        for (const Entry& entry : entries) dataSectors += entry.sectors;
    }
    [[nodiscard]] size_t FinalCount() const {
        size_t removed = 0;
        for (const auto& [at, change] : changes) removed += change.removed ? 1 : 0;
        return entries.size() - removed + additions.size();
    }
    // Rule 13.
    void RequireCurrent() const {
        Require(!stale, ErrorKind::Io, path, "an earlier commit of this archive failed; open the archive again");
    }
    // A taken archive opened for exclusive access again, or none when
    // another program got in first (then the next read opens it, or says
    // Locked).
    std::unique_ptr<File> TakeAgain() {
        try {
            return fs->Open(path, OpenMode::ReadWrite);
        } catch (const ArchiveError&) {
            return nullptr;
        }
    }
    File& Reader() {
        RequireCurrent();
        if (committing) return *committing;
        if (!file) file = fs->Open(path, held ? OpenMode::ReadWrite : OpenMode::Read);
        return *file;
    }
};

Archive::Archive(std::unique_ptr<State> state) : state_(std::move(state)) {}
Archive::Archive(Archive&&) noexcept = default;
Archive& Archive::operator=(Archive&&) noexcept = default;
Archive::~Archive() = default;

Archive Archive::Open(const std::string& path, FileSystem& fs) { return OpenHeld(path, fs, false); }

Archive Archive::Take(const std::string& path, FileSystem& fs) { return OpenHeld(path, fs, true); }

Archive Archive::OpenHeld(const std::string& path, FileSystem& fs, bool held) {
    auto state = std::make_unique<State>();
    state->path = path;
    state->fs = &fs;
    state->held = held;
    state->recovery = RecoverInterruptedCommit(fs, path);
    state->file = fs.Open(path, held ? OpenMode::ReadWrite : OpenMode::Read);
    const uint64_t size = state->file->Size();
    format::Scan scan = format::ScanDirectory(*state->file, size, false);
    if (!scan.fatal.empty()) throw ArchiveError(scan.fatal.front().kind, path, scan.fatal.front().text);
    state->Load(std::move(scan.entries), std::move(scan.directory), size);
    return Archive(std::move(state));
}

Archive Archive::Create(const std::string& path, FileSystem& fs) {
    {
        auto file = fs.Open(path, OpenMode::CreateNew);
        file->WriteAt(0, format::EncodeDirectory({}));
        file->Flush();
    }
    return Open(path, fs);
}

const std::string& Archive::Path() const { return state_->path; }
Recovery Archive::RecoveryOnOpen() const { return state_->recovery; }
const std::vector<Entry>& Archive::Entries() const {
    state_->RequireCurrent();
    return state_->entries;
}
const std::vector<Entry>& Archive::Records() const {
    state_->RequireCurrent();
    return state_->records;
}

FreeSpace Archive::Free() const {
    FreeSpace free;
    for (const Entry& record : Records())
        if (IsFreeEntry(record)) {
            ++free.entries;
            free.sectors += record.sectors;
        }
    return free;
}

ArchiveState Archive::CurrentState() const {
    state_->RequireCurrent();
    if (!state_->summed) state_->summed = StateOf(state_->directory, state_->fileSize);
    return *state_->summed;
}

const std::vector<uint8_t>& Archive::CurrentDirectory() const {
    state_->RequireCurrent();
    return state_->directory;
}

Layout Archive::CurrentLayout() const {
    State& s = *state_;
    s.RequireCurrent();
    const uint64_t frontSize = s.records.empty()
                                   ? s.fileSize
                                   : std::min<uint64_t>(s.fileSize, uint64_t{s.records.front().offset} * kSectorSize);
    Layout layout{std::vector<uint8_t>(static_cast<size_t>(frontSize)), {}, s.fileSize};
    if (frontSize > 0) s.Reader().ReadAt(0, layout.front);
    if (!s.records.empty()) {
        const uint64_t end = (uint64_t{s.records.back().offset} + s.records.back().sectors) * kSectorSize;
        if (end < s.fileSize) {
            layout.tail.resize(static_cast<size_t>(s.fileSize - end));
            s.Reader().ReadAt(end, layout.tail);
        }
    }
    return layout;
}

std::string Archive::WhyLayoutCannotBeKept() const {
    state_->RequireCurrent();
    return archive::WhyLayoutCannotBeKept(state_->records, state_->fileSize);
}

const Entry* Archive::Find(std::string_view name) const {
    state_->RequireCurrent();
    const NameIndex& names = state_->Names();
    const auto it = names.find(name);
    return it == names.end() ? nullptr : &state_->entries[it->second];
}

uint64_t Archive::RequireInFile(const Entry& entry) const {
    state_->RequireCurrent();
    const uint64_t start = uint64_t{entry.offset} * kSectorSize;
    const uint64_t size = uint64_t{entry.sectors} * kSectorSize;
    Require(start + size <= state_->fileSize, ErrorKind::Damaged, state_->path,
            "Entry \"" + entry.name + "\" reaches beyond the end of the file.");
    return start;
}

std::vector<uint8_t> Archive::Read(const Entry& entry) const {
    const uint64_t start = RequireInFile(entry);
    std::vector<uint8_t> bytes(size_t{entry.sectors} * kSectorSize);
    if (!bytes.empty()) state_->Reader().ReadAt(start, bytes);
    return bytes;
}

void Archive::CopyTo(const Entry& entry, File& target, uint64_t at) const {
    const uint64_t start = RequireInFile(entry);
    if (entry.sectors > 0) target.CopyFrom(state_->Reader(), start, at, uint64_t{entry.sectors} * kSectorSize);
}

bool Archive::ReadPieces(const Entry& entry, const std::function<bool(std::span<const uint8_t>)>& take) const {
    uint64_t offset = RequireInFile(entry);
    uint64_t left = uint64_t{entry.sectors} * kSectorSize;
    std::vector<uint8_t> buffer(static_cast<size_t>(std::min(left, kReadPiece)));
    while (left > 0) {
        const std::span<uint8_t> piece(buffer.data(), static_cast<size_t>(std::min<uint64_t>(left, buffer.size())));
        state_->Reader().ReadAt(offset, piece);
        if (!take(piece)) return false;
        offset += piece.size();
        left -= piece.size();
    }
    return true;
}

bool Archive::Put(std::string_view name, std::vector<uint8_t> bytes, const Placement& placement) {
    RequireStorableName(name);
    Require(bytes.size() <= kMaxEntryBytes, ErrorKind::TooLarge, state_->path,
            "\"" + std::string(name) + "\" is larger than one entry can hold (" + std::to_string(kMaxEntrySectors) +
                " sectors of " + std::to_string(kSectorSize) + " bytes).");
    return Stage(name, StagedData::InMemory(std::move(bytes)), placement);
}

bool Archive::PutFile(std::string_view name, const std::string& path, const Placement& placement) {
    RequireStorableName(name);
    return PutFile(name, path, state_->fs->Open(path, OpenMode::Read)->Size(), placement);
}

bool Archive::PutFile(std::string_view name, const std::string& path, uint64_t size, const Placement& placement) {
    RequireStorableName(name);
    Require(
        size <= kMaxEntryBytes, ErrorKind::TooLarge, path,
        std::to_string(size) + " bytes, more than one entry can hold (" + std::to_string(kMaxEntryBytes) + " bytes)");
    return Stage(name, StagedData::FromFile(path, size), placement);
}

bool Archive::PutPart(std::string_view name, const FilePart& part, const Placement& placement) {
    RequireStorableName(name);
    Require(part.size <= kMaxEntryBytes, ErrorKind::TooLarge, part.path,
            std::to_string(part.size) + " bytes, more than one entry can hold (" + std::to_string(kMaxEntryBytes) +
                " bytes)");
    return Stage(name, StagedData::FromPart(part), placement);
}

void Archive::RequireStorableName(std::string_view name) const {
    if (const std::string problem = NameProblem(name); !problem.empty())
        throw ArchiveError(ErrorKind::BadName, state_->path, "\"" + std::string(name) + "\": " + problem);
}

bool Archive::Stage(std::string_view name, StagedData data, const Placement& placement) {
    State& s = *state_;
    s.RequireCurrent();
    const std::string nameText(name);
    const uint64_t sectors = format::SectorsFor(data.Size());

    const std::string key = FoldedName(name);
    const bool replaces = s.Names().count(key) != 0 || s.addedAt.count(key) != 0;
    uint64_t oldSectors = 0;
    bool counted = true;  // the name already counts among the entries after the changes
    if (const auto committed = s.Names().find(key); committed != s.Names().end()) {
        const auto change = s.changes.find(committed->second);
        if (change == s.changes.end())
            oldSectors = s.entries[committed->second].sectors;
        else if (change->second.removed)
            counted = false;
        else
            oldSectors = format::SectorsFor(change->second.data.Size());
    } else if (const auto added = s.addedAt.find(key); added != s.addedAt.end()) {
        oldSectors = format::SectorsFor(s.additions[added->second].data.Size());
    } else {
        counted = false;
    }
    const uint64_t count = s.FinalCount() + (counted ? 0 : 1);
    const uint64_t newData = s.dataSectors - oldSectors + sectors;
    Require((format::DirectorySectors(count) + newData) * kSectorSize <= format::kMaxArchiveBytes, ErrorKind::TooLarge,
            s.path,
            "Adding \"" + nameText + "\" would make the archive larger than 4 GB, more than the game can read.");

    s.dataSectors = newData;
    Change change{nameText, false, std::move(data), placement.at};
    if (const auto committed = s.Names().find(key); committed != s.Names().end()) {
        s.changes[committed->second] = std::move(change);
    } else if (const auto added = s.addedAt.find(key); added != s.addedAt.end()) {
        s.additions[added->second] = std::move(change);
    } else {
        s.addedAt.emplace(key, s.additions.size());
        s.additions.push_back(std::move(change));
    }
    return replaces;
}

bool Archive::Remove(std::string_view name) {
    State& s = *state_;
    s.RequireCurrent();
    const std::string key = FoldedName(name);
    if (const auto committed = s.Names().find(key); committed != s.Names().end()) {
        const size_t at = committed->second;
        const auto staged = s.changes.find(at);
        if (staged != s.changes.end() && staged->second.removed) return false;
        s.dataSectors -=
            staged != s.changes.end() ? format::SectorsFor(staged->second.data.Size()) : s.entries[at].sectors;
        s.changes[at] = Change{s.entries[at].name, true, {}, std::nullopt};
        return true;
    }
    const auto added = s.addedAt.find(key);
    if (added == s.addedAt.end()) return false;
    const size_t at = added->second;
    s.dataSectors -= format::SectorsFor(s.additions[at].data.Size());
    s.additions.erase(s.additions.begin() + static_cast<std::ptrdiff_t>(at));
    s.addedAt.erase(added);
    for (auto& [folded, position] : s.addedAt)
        if (position > at) --position;
    return true;
}

bool Archive::HasChanges() const { return !state_->changes.empty() || !state_->additions.empty(); }

namespace {

// Rule 2: under the exclusive handle, the archive must still be the one the
// object read: the same header, directory and size.
void RequireUnchanged(File& file, const std::string& path, const std::vector<uint8_t>& directory, uint64_t fileSize) {
    bool same = file.Size() == fileSize && fileSize >= directory.size();
    if (same) {
        std::vector<uint8_t> now(directory.size());
        file.ReadAt(0, now);
        same = now == directory;
    }
    if (!same) throw ArchiveError(ErrorKind::Changed, path, "changed by another program since it was read");
}

}  // namespace

template <typename Execute>
CommitStats Archive::CommitWith(Execute&& execute) {
    State& s = *state_;
    // Rule 2: a taken archive is open for exclusive access already.
    std::unique_ptr<File> file = s.held ? std::move(s.file) : nullptr;
    s.file.reset();
    if (!file) file = s.fs->Open(s.path, OpenMode::ReadWrite);
    CommitResult result;
    s.committing = file.get();
    try {
        RequireUnchanged(*file, s.path, s.directory, s.fileSize);
        result = execute(file);
    } catch (const CommitInterrupted& interrupted) {
        s.committing = nullptr;
        s.stale = true;  // rule 13
        throw CommitInterrupted(interrupted, StateOf(s.directory, s.fileSize), interrupted.After());
    } catch (...) {
        s.committing = nullptr;
        // Nothing was changed: a taken archive stays taken (a rewrite that
        // stopped had closed it already).
        if (s.held) s.file = file ? std::move(file) : s.TakeAgain();
        throw;
    }
    s.committing = nullptr;
    s.Load(std::move(result.entries), std::move(result.directory), result.fileSize);  // rule 14
    // A rewrite closed the old file to put the new one in its place; the
    // commit took effect whether or not it can be taken again.
    if (s.held) s.file = file ? std::move(file) : s.TakeAgain();
    return result.stats;
}

CommitStats Archive::Commit(const Progress& progress, Fit fit, const BeforeWriting& beforeWriting) {
    State& s = *state_;
    s.RequireCurrent();
    if (!HasChanges()) return {};

    StagedChanges staged{s.records, s.directory, s.fileSize, {}, {}, fit == Fit::Exact, TableLimitOf(s.path)};
    for (const auto& [at, change] : s.changes)
        staged.changes.push_back(
            {s.recordOf[at], change.removed, &change.name, change.removed ? nullptr : &change.data, change.at});
    for (const Change& addition : s.additions)
        staged.additions.push_back({&addition.name, &addition.data, addition.at});

    return CommitWith([&](std::unique_ptr<File>& file) {
        const std::optional<InPlacePlan> inPlace = PlanInPlace(staged);
        if (inPlace && WithinJournalBound(inPlace->journal)) {  // else written anew (rule 6)
            if (beforeWriting) beforeWriting(StateOf(inPlace->directory, inPlace->journal.newSize), inPlace->directory);
            return CommitInPlace(*s.fs, s.path, *file, *inPlace, progress);
        }
        const RewritePlan plan = PlanRewrite(staged);
        if (beforeWriting) {
            std::vector<uint8_t> directory = format::EncodeHeader(plan.size());
            const std::vector<uint8_t> records = format::EncodeRecords(RewrittenEntries(plan));
            directory.insert(directory.end(), records.begin(), records.end());
            beforeWriting(StateOf(directory, RewrittenSize(plan)), directory);
        }
        return RewriteArchive(*s.fs, s.path, std::move(file), plan, progress);
    });
}

CommitStats Archive::Rebuild(const Progress& progress) {
    State& s = *state_;
    s.RequireCurrent();
    if (HasChanges())
        throw ArchiveError(ErrorKind::Io, s.path, "the archive has changes that are not saved; save them first");
    // Data order, records of one name keeping their order among themselves;
    // but an archive the game copies into its fixed table (player.img) keeps
    // its directory order, in which the game finds each entry by name, first
    // match: no record of the table leaves it (free entries going only moves
    // records up) and no twin overtakes another.
    const std::vector<Entry> byOffset = TableLimitOf(s.path) == 0 ? InDataOrder(s.records) : s.records;
    // No change: the entries only take their data order, and free entries go.
    const StagedChanges unchanged{byOffset, s.directory, s.fileSize, {}, {}, false, 0};
    return CommitWith([&](std::unique_ptr<File>& file) {
        return RewriteArchive(*s.fs, s.path, std::move(file), PlanRewrite(unchanged), progress);
    });
}

CommitStats Archive::RestoreLayout(const Layout& layout, const std::map<std::string, FilePart>& originals,
                                   const Progress& progress) {
    State& s = *state_;
    s.RequireCurrent();
    if (HasChanges())
        throw ArchiveError(ErrorKind::Io, s.path, "the archive has changes that are not saved; save them first");
    const StagedChanges now{s.records, s.directory, s.fileSize, {}, {}, false, 0};
    std::vector<StagedData> staged;
    return CommitWith([&](std::unique_ptr<File>& file) {
        std::vector<uint8_t> front(static_cast<size_t>(std::min<uint64_t>(layout.front.size(), s.fileSize)));
        if (!front.empty()) file->ReadAt(0, front);
        const InPlacePlan plan = PlanLayoutRestore(now, front, {layout, originals, staged}, *s.fs, s.path);
        return CommitInPlace(*s.fs, s.path, *file, plan, progress);
    });
}

}  // namespace veltrin::archive
