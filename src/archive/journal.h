#pragma once
// The redo journal of an in-place commit, `<archive>.journal` (commit.h,
// rules 6 to 8 and 10 to 12): every byte range the commit will write, with
// its new bytes and with a checksum of what each piece of it held before;
// except the growth, the ranges that lie wholly past the archive's old size,
// which go straight into the archive before the journal is sealed, and of
// which the journal holds a checksum of each piece's new bytes.
//
// A piece is the part of a range that lies in one 512-byte block of the
// archive, the smallest unit a disk writes whole. After a crash in the
// middle of applying, every piece holds either its old or its new bytes;
// a piece that holds neither was changed by something else since, and the
// journal must not be applied over it.
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/file_io.h"
#include "archive/staged_data.h"

namespace veltrin::archive {

inline constexpr uint64_t kJournalPiece = 512;

struct JournalWrite {
    uint64_t offset = 0;
    std::vector<uint8_t> bytes;
    uint64_t zeros = 0;  // zero bytes that follow the bytes (the padding of an entry's last sectors)
    // Staged data used in place of bytes, read when the journal is written,
    // so that large entries are neither copied nor held; it must outlive
    // the journal.
    const StagedData* staged = nullptr;
    // The data's length when it was read from a journal file and left
    // there, or when it is taken from the archive itself.
    uint64_t length = 0;
    // Set: the data is the archive's own bytes from here (an entry that
    // moves), read when the journal is written, before anything changes.
    std::optional<uint64_t> fromArchive{};
    // Growth (MarkGrowth): the write lies wholly past the archive's old size,
    // from the first piece that holds none of its old bytes, where nothing
    // anyone reads lies before the commit. It is written into the archive
    // before the journal is sealed, and the journal holds only the checksums
    // of its pieces' new bytes.
    bool growth = false;

    [[nodiscard]] uint64_t Size() const {
        if (staged) return staged->Size();
        return bytes.empty() ? length : bytes.size();
    }
    [[nodiscard]] uint64_t End() const { return offset + Size() + zeros; }
};

struct Journal {
    uint64_t oldSize = 0;              // the archive's size before the commit
    uint64_t newSize = 0;              // and after it
    std::vector<JournalWrite> writes;  // in offset order, none overlapping another
    // Where the commit grows the archive: how many of its first bytes (its
    // header and directory as they lie before the commit) the journal's
    // intent holds a checksum of, so that the next open cuts growth off only
    // an archive whose directory is as the commit found it. At most oldSize.
    uint64_t guarded = 0;
};

// Marks as growth every write that lies wholly past the archive's old size,
// from the first piece that holds none of its old bytes (rule 6).
void MarkGrowth(Journal& journal);
[[nodiscard]] bool Grows(const Journal& journal);

// The bytes the journal takes on disk, exactly: its head and trailer, for
// each write its record head, its data and a checksum for every piece it
// touches (growth carries no data), and where it grows the archive the
// growth's head (its count and the checksum of the old directory) and the
// intent's seal.
uint64_t JournalBytes(const Journal& journal);
// The most room a commit takes in journal and growth (rule 3) that writes
// at most `bytes` bytes in at most `writes` ranges: what a caller checks
// before the first of several commits, none of which is planned yet.
uint64_t JournalRoomFor(uint64_t bytes, uint64_t writes);

// The bound on a journal, one for the writer and the reader: the most
// writes, and the most bytes (the size of a journal of that many writes
// that together cover an archive of the largest size the game can address).
// A commit whose journal would pass it is written anew instead (commit.h,
// rule 6).
inline constexpr uint64_t kMaxJournalWrites = uint64_t{1} << 20;
extern const uint64_t kMaxJournalBytes;

bool WithinJournalBound(const Journal& journal, uint64_t maxBytes = kMaxJournalBytes);
// Throws TooLarge, naming the archive, when the journal passes the bound.
void RequireJournalWithin(const Journal& journal, const std::string& archivePath, uint64_t maxBytes = kMaxJournalBytes);

// Writes the journal beside the archive, each piece's old checksum read from
// archive as it is now, and makes it durable (rule 6); returns it still
// open. A journal that grows the archive is written in three steps: its
// intent (everything but the growth's checksums and the seal) made durable,
// then the growth written into the archive, which takes its new size, and
// made durable, then the growth's checksums and the seal, made durable.
// When it fails after the intent, the archive may have grown: the caller
// cuts it back to its old size before it discards the journal (rule 12). progress, when
// given, hears of each piece written to either file. A journal past the
// bound is refused (RequireJournalWithin) before anything is written.
std::unique_ptr<File> WriteJournal(FileSystem& fs, const std::string& archivePath, const Journal& journal,
                                   File& archive, const std::function<void(uint64_t bytes)>& progress = {},
                                   uint64_t maxBytes = kMaxJournalBytes);

// The journal in this file, or nothing when it is not a complete, sealed
// one (of this version's layout, version 3's, which it extends by growth,
// or either of version 2's). Its data is only checked, not held:
// ApplyJournal copies it from the file. A sealed journal
// past the bound is never dropped: it throws Damaged (rule 10).
std::optional<Journal> ReadJournal(File& file, uint64_t maxBytes = kMaxJournalBytes);

// The intent of a journal that grows the archive and was never sealed: its
// commit may have grown the archive, but changed nothing below its old
// size. Nothing when the file holds no complete intent of such a journal:
// then the commit never grew the archive.
std::optional<Journal> ReadIntent(File& file);

// Cuts off what the intent's commit may have added past the archive's old
// size, and makes the cut durable (rule 10), only where that is provably
// the commit's own: the size lies between the old and the new one, the
// directory is as the intent found it and every piece below the old size
// that the commit would overwrite holds its old bytes. An archive of its
// old size has nothing to cut.
// Returns whether it was (the archive is then its old self); where not,
// nothing was changed.
bool CutGrowth(File& archive, const Journal& intent, File& journalFile);

// What the archive holds, measured against a journal read from journalFile.
enum class JournalFit {
    Pending,  // every piece holds its old or its new bytes, not all the new ones yet
    Applied,  // every piece and the size are already the new ones
    Stale,    // some piece, or the size, is neither (or some growth piece is not
              // the new one): something else changed the archive since
};
JournalFit CheckJournal(File& archive, const Journal& journal, File& journalFile);

// Applies every write of the journal but the growth (which is in place
// already) to the archive, its data copied from the journal's file, gives
// the archive its new size and flushes it (rule 7). Applying twice is
// harmless.
uint64_t ApplyJournal(File& archive, const Journal& journal, File& journalFile,
                      const std::function<void(uint64_t bytes)>& progress = {});

}  // namespace veltrin::archive
