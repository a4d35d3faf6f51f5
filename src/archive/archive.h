#pragma once
// Version-2 ("VER2") .img archives: read the directory and entries, stage
// additions, replacements and removals, and commit them as one transaction.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "archive/archive_error.h"
#include "archive/file_io.h"
#include "archive/sha256.h"

namespace veltrin::archive {

inline constexpr uint32_t kSectorSize = 2048;
inline constexpr size_t kMaxNameLength = 23;  // plus the terminating NUL
inline constexpr uint32_t kMaxEntrySectors = 65535;
inline constexpr uint64_t kMaxEntryBytes = uint64_t{kMaxEntrySectors} * kSectorSize;

struct Entry {
    std::string name;      // as stored (case kept)
    uint32_t offset = 0;   // in sectors
    uint32_t sectors = 0;  // stored size in sectors
};

// Why a name cannot be stored, or empty when it can: too long, characters
// that file names cannot hold, or a name of the space kept for free entries.
std::string NameProblem(std::string_view name);

// Where new data would like to go: the sector to start at, taken when those
// sectors are free once the commit's other changes are made.
struct Placement {
    std::optional<uint32_t> at;
};

// The free entries of an archive (free_entries.h).
struct FreeSpace {
    uint64_t entries = 0;
    uint64_t sectors = 0;
};

// An archive's header and directory (a checksum of their bytes) and its
// size: what tells one state of an archive from another.
struct ArchiveState {
    Digest directory{};
    uint64_t fileSize = 0;
    friend bool operator==(const ArchiveState&, const ArchiveState&) = default;
};

// The start of an archive as it lies on disk (its header, directory and the
// spare room up to its first entry), the bytes after its last entry and its
// size: with the entries' bytes, all that makes it the archive it is. The
// tool keeps it to give the archive back byte for byte (layout_restore.h).
struct Layout {
    std::vector<uint8_t> front;
    std::vector<uint8_t> tail;  // from the end of the last entry in directory order to the end of the file
    uint64_t fileSize = 0;
};

// Called during long work: done and total in bytes.
using Progress = std::function<void(uint64_t done, uint64_t total)>;

struct CommitStats {
    uint64_t bytesWritten = 0;
    bool replaced = false;  // written anew and put in the old file's place
    bool inPlace = false;   // changed in place through the journal
    // A file of the commit's own that it could not remove after it
    // succeeded, and why; empty when none was left (commit.h, rule 8).
    std::string leftOver;
};

// What opening found and did about an interrupted earlier commit.
enum class Recovery {
    None,
    RolledBack,  // an unfinished commit was undone: the archive holds its older content
    Completed,   // an unfinished commit was completed
    Stale,       // a journal that no longer fits the archive (another program changed it since) was dropped
};

class StagedData;

class Archive {
public:
    // Opens an existing archive; first completes or rolls back a commit that
    // an earlier run left unfinished. Throws ArchiveError (NotFound,
    // NotAnArchive, Damaged, Locked, AccessDenied, ...). Nothing is written
    // when the archive is sound and no earlier commit was left unfinished.
    static Archive Open(const std::string& path, FileSystem& fs = SystemFileSystem());
    // Opens the archive as Open does and takes it for the object's life:
    // it stays open for exclusive access, so that no other program (and no
    // other run of the tool) opens it until the object goes (Locked), and
    // what is read from it beside the archive stays true while it is held.
    static Archive Take(const std::string& path, FileSystem& fs = SystemFileSystem());
    // Writes a new, empty archive (fails when the file exists).
    static Archive Create(const std::string& path, FileSystem& fs = SystemFileSystem());

    Archive(Archive&&) noexcept;
    Archive& operator=(Archive&&) noexcept;
    ~Archive();

    [[nodiscard]] const std::string& Path() const;
    [[nodiscard]] Recovery RecoveryOnOpen() const;
    // The committed entries, in directory order; free entries are not among
    // them.
    [[nodiscard]] const std::vector<Entry>& Entries() const;
    // Every committed record in directory order, free entries too.
    [[nodiscard]] const std::vector<Entry>& Records() const;
    [[nodiscard]] FreeSpace Free() const;
    // The directory and size as committed, to compare with another time's.
    [[nodiscard]] ArchiveState CurrentState() const;
    // The header and directory as committed: the bytes CurrentState sums.
    [[nodiscard]] const std::vector<uint8_t>& CurrentDirectory() const;
    // The layout as committed (read from the file).
    [[nodiscard]] Layout CurrentLayout() const;
    // Why the layout as committed could not be given back byte for byte
    // later (WhyLayoutCannotBeKept), or empty when it could.
    [[nodiscard]] std::string WhyLayoutCannotBeKept() const;
    // The committed entry of that name (any case), or nullptr.
    [[nodiscard]] const Entry* Find(std::string_view name) const;
    // All stored bytes of a committed entry (its whole sectors).
    [[nodiscard]] std::vector<uint8_t> Read(const Entry& entry) const;
    // Writes the same bytes to target at `at`, file to file.
    void CopyTo(const Entry& entry, File& target, uint64_t at = 0) const;
    // Hands the stored bytes of a committed entry (its whole sectors) to take,
    // in order, a piece at a time through one buffer, so that a large entry
    // never has to be held in memory. Stops as soon as take returns false.
    // Returns whether every piece was taken (an empty entry has none).
    bool ReadPieces(const Entry& entry, const std::function<bool(std::span<const uint8_t> piece)>& take) const;

    // Staged changes, applied by Commit. Put replaces the entry of the same
    // name (any case; the stored name takes the new spelling) or adds one.
    // Throws ArchiveError BadName or TooLarge at once. Returns true when it
    // replaces: the name takes the place of a committed entry (even one whose
    // removal is staged) or of one staged earlier.
    bool Put(std::string_view name, std::vector<uint8_t> bytes, const Placement& placement = {});
    // Put with the bytes of a file, which the commit reads as it writes them,
    // so that large files never have to be held in memory. The file's size is
    // checked now (NotFound, TooLarge naming the file); a commit that finds
    // the file changed in size stops before it changes anything.
    bool PutFile(std::string_view name, const std::string& path, const Placement& placement = {});
    // PutFile with the file's size as the caller found it, which the commit
    // checks in the same way.
    bool PutFile(std::string_view name, const std::string& path, uint64_t size, const Placement& placement = {});
    // Put with part of a file, which the commit checks still reaches as far.
    bool PutPart(std::string_view name, const FilePart& part, const Placement& placement = {});
    // Returns false when no such entry exists (committed or staged).
    bool Remove(std::string_view name);
    [[nodiscard]] bool HasChanges() const;
    // Applies every staged change as one transaction: afterwards, and after a
    // crash at any moment, the archive reads as its old or its new content
    // (the protocol is in commit.h). Entries stay in directory order with no
    // gaps; only what changes is written (in_place_plan.h), unless the
    // archive's layout is unsound or the game's rules forbid a move, when it
    // is written anew. After a failure the object may commit again, or
    // refuses every use when the failure came past the point of no return
    // (CommitInterrupted).
    //
    // A replacement smaller than the sectors it replaces may be written in
    // place, padded with zeros to the old size; with Fit::Exact every entry
    // takes exactly the sectors its new data needs (restoring originals).
    //
    // beforeWriting, when given, hears the state the commit will leave and
    // the header and directory it sums, once the commit has taken the archive
    // and planned, before it
    // writes anything: the place to make durable what must survive the
    // change and name what it will be; the archive's committed entries can
    // still be read then (through the commit's own handle). When it throws,
    // nothing is changed.
    enum class Fit { AllowPadding, Exact };
    using BeforeWriting = std::function<void(const ArchiveState& planned, const std::vector<uint8_t>& directory)>;
    CommitStats Commit(const Progress& progress = {}, Fit fit = Fit::AllowPadding,
                       const BeforeWriting& beforeWriting = {});
    // Writes the archive anew with its entries in data order and no gaps,
    // as one transaction like Commit; staged changes are not allowed.
    // Entries of one name (any case) keep their order among themselves, so
    // that the game reads the same one of them; player.img keeps its
    // directory order (game_table.h).
    CommitStats Rebuild(const Progress& progress = {});
    // Gives the archive back a layout it had, as one transaction like
    // Commit: the front bytes and the size as they were; each entry of that
    // layout in its old sectors, its bytes taken from originals (folded name
    // -> the stored bytes of the layout's first entry of that name, the one
    // the game reads, in a file or part of one) or else from the entry of that name
    // now (of twins, the one of the same spelling), which must be as large;
    // free entries zeroed; the bytes after the last entry as they were. Only
    // what differs is written. Staged changes are not allowed. Throws before
    // anything changes when the layout is not sound or an entry's bytes are
    // not to be had.
    CommitStats RestoreLayout(const Layout& layout, const std::map<std::string, FilePart>& originals,
                              const Progress& progress = {});

private:
    struct State;
    explicit Archive(std::unique_ptr<State> state);
    void RequireStorableName(std::string_view name) const;
    // Where the entry's data starts; throws when it reaches past the end.
    uint64_t RequireInFile(const Entry& entry) const;
    bool Stage(std::string_view name, StagedData data, const Placement& placement);
    static Archive OpenHeld(const std::string& path, FileSystem& fs, bool held);
    template <typename Execute>
    CommitStats CommitWith(Execute&& execute);
    std::unique_ptr<State> state_;
};

// Problems found by a full check of an archive, in plain words; empty when
// it is sound. Reports (and resolves) an interrupted commit too, and names
// the entries of player.img that the game never sees (game_table.h).
std::vector<std::string> Verify(const std::string& path, FileSystem& fs = SystemFileSystem());

// Rewrites the archive with entries in data order and no gaps, atomically
// (Archive::Rebuild).
CommitStats Rebuild(const std::string& path, const Progress& progress = {}, FileSystem& fs = SystemFileSystem());

}  // namespace veltrin::archive
