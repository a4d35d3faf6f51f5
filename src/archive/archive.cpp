#include "archive/archive.h"

#include <algorithm>
#include <map>
#include <unordered_map>

#include "archive/commit.h"
#include "archive/format.h"
#include "archive/in_place.h"
#include "archive/names.h"
#include "archive/recovery.h"
#include "archive/rewrite.h"
#include "archive/staged_data.h"

namespace veltrin::archive {
namespace {

// A staged change to one name: new data, or removal of a committed entry.
struct Change {
    std::string name;  // the spelling to store
    bool removed = false;
    StagedData data;
};

void Require(bool condition, ErrorKind kind, const std::string& path, const std::string& reason) {
    if (!condition) throw ArchiveError(kind, path, reason);
}

}  // namespace

struct Archive::State {
    std::string path;
    FileSystem* fs = nullptr;
    Recovery recovery = Recovery::None;
    std::vector<Entry> entries;
    std::unordered_map<std::string, size_t> index;  // folded name -> committed entry
    uint64_t fileSize = 0;
    std::unique_ptr<File> file;  // open for reading while nothing is being committed
    // Set by a commit that failed after its point of no return (commit.h,
    // rule 12).
    bool stale = false;

    std::map<size_t, Change> changes;                 // committed entry index -> change
    std::vector<Change> additions;                    // new names, in the order they were put
    std::unordered_map<std::string, size_t> addedAt;  // folded name -> index in additions
    uint64_t dataSectors = 0;                         // all data sectors once the changes apply

    void Load(std::vector<Entry> loaded, uint64_t size) {
        entries = std::move(loaded);
        fileSize = size;
        index.clear();
        for (size_t i = 0; i < entries.size(); ++i) index.emplace(FoldedName(entries[i].name), i);
        ClearChanges();
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
    // Rule 12.
    void RequireCurrent() const {
        Require(!stale, ErrorKind::Io, path, "an earlier commit of this archive failed; open the archive again");
    }
    File& Reader() {
        RequireCurrent();
        if (!file) file = fs->Open(path, OpenMode::Read);
        return *file;
    }
};

Archive::Archive(std::unique_ptr<State> state) : state_(std::move(state)) {}
Archive::Archive(Archive&&) noexcept = default;
Archive& Archive::operator=(Archive&&) noexcept = default;
Archive::~Archive() = default;

Archive Archive::Open(const std::string& path, FileSystem& fs) {
    auto state = std::make_unique<State>();
    state->path = path;
    state->fs = &fs;
    state->recovery = RecoverInterruptedCommit(fs, path);
    state->file = fs.Open(path, OpenMode::Read);
    const uint64_t size = state->file->Size();
    format::Scan scan = format::ScanDirectory(*state->file, size, false);
    if (!scan.fatal.empty()) throw ArchiveError(scan.fatal.front().kind, path, scan.fatal.front().text);
    state->Load(std::move(scan.entries), size);
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

const Entry* Archive::Find(std::string_view name) const {
    state_->RequireCurrent();
    const auto it = state_->index.find(FoldedName(name));
    return it == state_->index.end() ? nullptr : &state_->entries[it->second];
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

void Archive::CopyTo(const Entry& entry, File& target) const {
    const uint64_t start = RequireInFile(entry);
    if (entry.sectors > 0) target.CopyFrom(state_->Reader(), start, 0, uint64_t{entry.sectors} * kSectorSize);
}

bool Archive::ReadPieces(const Entry& entry, const std::function<bool(std::span<const uint8_t>)>& take) const {
    constexpr uint64_t kPieceBytes = uint64_t{1} << 20;
    uint64_t offset = RequireInFile(entry);
    uint64_t left = uint64_t{entry.sectors} * kSectorSize;
    std::vector<uint8_t> buffer(static_cast<size_t>(std::min(left, kPieceBytes)));
    while (left > 0) {
        const std::span<uint8_t> piece(buffer.data(), static_cast<size_t>(std::min<uint64_t>(left, buffer.size())));
        state_->Reader().ReadAt(offset, piece);
        if (!take(piece)) return false;
        offset += piece.size();
        left -= piece.size();
    }
    return true;
}

bool Archive::Put(std::string_view name, std::vector<uint8_t> bytes) {
    RequireStorableName(name);
    Require(bytes.size() <= kMaxEntryBytes, ErrorKind::TooLarge, state_->path,
            "\"" + std::string(name) + "\" is larger than one entry can hold (" + std::to_string(kMaxEntrySectors) +
                " sectors of " + std::to_string(kSectorSize) + " bytes).");
    return Stage(name, StagedData::InMemory(std::move(bytes)));
}

bool Archive::PutFile(std::string_view name, const std::string& path) {
    RequireStorableName(name);
    const uint64_t size = state_->fs->Open(path, OpenMode::Read)->Size();
    Require(size <= kMaxEntryBytes, ErrorKind::TooLarge, path,
            std::to_string(size) + " bytes, more than one entry can hold (" + std::to_string(kMaxEntryBytes) +
                " bytes)");
    return Stage(name, StagedData::FromFile(path, size));
}

void Archive::RequireStorableName(std::string_view name) const {
    if (const std::string problem = NameProblem(name); !problem.empty())
        throw ArchiveError(ErrorKind::BadName, state_->path, "\"" + std::string(name) + "\": " + problem);
}

bool Archive::Stage(std::string_view name, StagedData data) {
    State& s = *state_;
    s.RequireCurrent();
    const std::string nameText(name);
    const uint64_t sectors = format::SectorsFor(data.Size());

    const std::string key = FoldedName(name);
    uint64_t oldSectors = 0;
    bool counted = true;  // the name already counts among the entries after the changes
    if (const auto committed = s.index.find(key); committed != s.index.end()) {
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
    Change change{nameText, false, std::move(data)};
    if (const auto committed = s.index.find(key); committed != s.index.end()) {
        s.changes[committed->second] = std::move(change);
        return true;
    }
    if (const auto added = s.addedAt.find(key); added != s.addedAt.end()) {
        s.additions[added->second] = std::move(change);
        return true;
    }
    s.addedAt.emplace(key, s.additions.size());
    s.additions.push_back(std::move(change));
    return false;
}

bool Archive::Remove(std::string_view name) {
    State& s = *state_;
    s.RequireCurrent();
    const std::string key = FoldedName(name);
    if (const auto committed = s.index.find(key); committed != s.index.end()) {
        const size_t at = committed->second;
        const auto staged = s.changes.find(at);
        if (staged != s.changes.end() && staged->second.removed) return false;
        s.dataSectors -=
            staged != s.changes.end() ? format::SectorsFor(staged->second.data.Size()) : s.entries[at].sectors;
        s.changes[at] = Change{s.entries[at].name, true, {}};
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

CommitStats Archive::Commit(const Progress& progress, Fit fit) {
    State& s = *state_;
    s.RequireCurrent();
    if (!HasChanges()) return {};

    StagedChanges staged{s.entries, s.fileSize, {}, {}, fit == Fit::Exact};
    for (const auto& [at, change] : s.changes)
        staged.changes.push_back({at, change.removed, &change.name, change.removed ? nullptr : &change.data});
    for (const Change& addition : s.additions) staged.additions.push_back({&addition.name, &addition.data});

    s.file.reset();  // rule 2
    CommitResult result;
    try {
        if (const std::optional<InPlacePlan> plan = PlanInPlace(staged))
            result = CommitInPlace(*s.fs, s.path, *plan, progress);
        else
            result = RewriteArchive(*s.fs, s.path, PlanRewrite(staged), progress);
    } catch (const CommitInterrupted&) {
        s.stale = true;  // rule 12
        throw;
    }
    s.Load(std::move(result.entries), result.fileSize);  // rule 13
    return result.stats;
}

}  // namespace veltrin::archive
