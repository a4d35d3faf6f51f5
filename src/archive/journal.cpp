#include "archive/journal.h"

#include <algorithm>
#include <cstring>

#include "archive/commit.h"
#include "archive/format.h"
#include "archive/sha256.h"

namespace veltrin::archive {
namespace {

using format::LoadLe32;
using format::LoadLe64;
using format::StoreLe32;
using format::StoreLe64;

// On disk: a head; for each write its record head, its data, then one
// checksum per piece of what the archive held there before; a trailer that
// seals everything before it.
constexpr uint8_t kMagic[4] = {'V', 'L', 'T', 'J'};
constexpr uint8_t kEndMagic[4] = {'D', 'O', 'N', 'E'};
constexpr uint32_t kVersion = 3;
// Version 2 had two layouts, told apart by the trailer's size: first sealed
// by the whole SHA-256, then by a word checksum that some tears slip
// through. Journals of both are still read, so that a commit they
// interrupted is completed rather than dropped half applied.
constexpr uint32_t kVersionBefore = 2;
constexpr size_t kHeadSize = 32;
constexpr size_t kRecordHeadSize = 24;
constexpr size_t kSumSize = 16;
constexpr size_t kTrailerSize = 8 + sizeof kEndMagic;  // the seal, the end mark

// How a trailer seals the body before it.
enum class SealKind {
    DigestStart,  // the first 8 bytes of its SHA-256 (this version)
    Words,        // FNV-1a over 64-bit words (version 2, later)
    Digest,       // its whole SHA-256 (version 2, earlier)
};
struct TrailerLayout {
    uint32_t version;
    SealKind seal;
    size_t size;  // the seal and the end mark
};
constexpr TrailerLayout kTrailers[] = {
    {kVersion, SealKind::DigestStart, kTrailerSize},
    {kVersionBefore, SealKind::Words, kTrailerSize},
    {kVersionBefore, SealKind::Digest, sizeof(Digest) + sizeof kEndMagic},
};
constexpr size_t kShortestTrailer = kTrailerSize;

using PieceSum = std::array<uint8_t, kSumSize>;

// What a piece holds, as a checksum strong enough that another program's
// bytes are never taken for the old or the new ones: the first 16 bytes of
// its SHA-256. Pieces of zeros (the sectors past the end of a growing
// archive, free space) are the common case and are summed once.
PieceSum SumOf(std::span<const uint8_t> bytes) {
    static const std::array<PieceSum, kJournalPiece + 1> zeros = [] {
        std::array<PieceSum, kJournalPiece + 1> sums{};
        const std::array<uint8_t, kJournalPiece> none{};
        for (size_t length = 0; length <= kJournalPiece; ++length) {
            const Digest digest = Sha256Of(std::span<const uint8_t>(none.data(), length));
            std::copy_n(digest.begin(), kSumSize, sums[length].begin());
        }
        return sums;
    }();
    if (bytes.size() <= kJournalPiece && std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; }))
        return zeros[bytes.size()];
    const Digest digest = Sha256Of(bytes);
    PieceSum sum;
    std::copy_n(digest.begin(), sum.size(), sum.begin());
    return sum;
}

// The seal over everything before it: the first 8 bytes of its SHA-256, so
// that a torn or cut journal, whatever its data, is found; the data is
// checked against the archive by the pieces' sums. Journals of the earlier
// layouts are checked by their own seals: FNV-1a over 64-bit little-endian
// words (then the last bytes one by one), seeded with the length, or the
// whole SHA-256. Fed in pieces.
class Seal {
public:
    Seal(SealKind kind, uint64_t length) : kind_(kind), hash_(0xcbf29ce484222325ull ^ length) {}

    void Add(std::span<const uint8_t> bytes) {
        if (kind_ != SealKind::Words) {
            sha_.Add(bytes);
            return;
        }
        size_t at = 0;
        for (; at < bytes.size() && pending_ > 0; ++at) Take(bytes[at]);
        for (; at + 8 <= bytes.size(); at += 8) Mix(LoadLe64(bytes.data() + at));
        for (; at < bytes.size(); ++at) Take(bytes[at]);
    }
    // Whether the trailer's seal (its bytes before the end mark) is this one.
    // Once, after the last Add.
    [[nodiscard]] bool Matches(std::span<const uint8_t> sealed) {
        if (kind_ == SealKind::Digest) {
            const Digest digest = sha_.Finish();
            return sealed.size() == digest.size() && std::equal(digest.begin(), digest.end(), sealed.begin());
        }
        return sealed.size() == 8 && LoadLe64(sealed.data()) == Value();
    }
    // The 8-byte seal (DigestStart or Words). Once, after the last Add.
    [[nodiscard]] uint64_t Value() {
        if (kind_ != SealKind::Words) return LoadLe64(sha_.Finish().data());
        uint64_t hash = hash_;
        for (unsigned i = 0; i < pending_; ++i) hash = (hash ^ ((partial_ >> (8 * i)) & 0xff)) * kPrime;
        return hash;
    }

private:
    static constexpr uint64_t kPrime = 0x100000001b3ull;
    void Mix(uint64_t word) { hash_ = (hash_ ^ word) * kPrime; }
    // A byte of a word that does not lie whole in one piece.
    void Take(uint8_t byte) {
        partial_ |= uint64_t{byte} << (8 * pending_);
        if (++pending_ < 8) return;
        Mix(partial_);
        partial_ = 0;
        pending_ = 0;
    }

    SealKind kind_;
    Sha256 sha_;
    uint64_t hash_;
    uint64_t partial_ = 0;
    unsigned pending_ = 0;
};

uint64_t PieceCount(uint64_t offset, uint64_t end) {
    return end > offset ? (end - 1) / kJournalPiece - offset / kJournalPiece + 1 : 0;
}

// Where each write's data lies in the journal's file; its pieces' old
// checksums follow the data.
std::vector<uint64_t> DataPositions(const Journal& journal) {
    std::vector<uint64_t> positions;
    positions.reserve(journal.writes.size());
    uint64_t at = kHeadSize;
    for (const JournalWrite& write : journal.writes) {
        at += kRecordHeadSize;
        positions.push_back(at);
        at += write.Size() + kSumSize * PieceCount(write.offset, write.End());
    }
    return positions;
}

// Calls visit(pieceStart, pieceEnd, bytes) for every piece of [offset, end),
// with the file's bytes there; bytes past the file's end read as zeros, as
// a file grown to reach them would hold.
template <typename Visit>
void ForEachPiece(File& file, uint64_t fileSize, uint64_t offset, uint64_t end, Visit&& visit) {
    constexpr uint64_t kChunk = 512 * kJournalPiece;
    std::vector<uint8_t> buffer;
    for (uint64_t at = offset; at < end;) {
        const uint64_t chunkEnd = std::min(end, (at / kJournalPiece) * kJournalPiece + kChunk);
        buffer.assign(static_cast<size_t>(chunkEnd - at), 0);
        if (at < fileSize) {
            const uint64_t inFile = std::min(chunkEnd, fileSize) - at;
            file.ReadAt(at, std::span<uint8_t>(buffer.data(), static_cast<size_t>(inFile)));
        }
        for (uint64_t piece = at; piece < chunkEnd;) {
            const uint64_t pieceEnd = std::min(chunkEnd, (piece / kJournalPiece + 1) * kJournalPiece);
            visit(piece, pieceEnd,
                  std::span<const uint8_t>(buffer.data() + (piece - at), static_cast<size_t>(pieceEnd - piece)));
            piece = pieceEnd;
        }
        at = chunkEnd;
    }
}

// Hands the journal's bytes, in order, to sink: small pieces gathered,
// large data passed through as it is.
template <typename Sink>
void StreamJournal(const Journal& journal, FileSystem& fs, File& archive, Sink&& sink) {
    constexpr size_t kGather = size_t{64} << 10;
    std::vector<uint8_t> gathered;
    Seal seal(SealKind::DigestStart, JournalBytes(journal) - kTrailerSize);
    auto emit = [&](std::span<const uint8_t> piece, bool body) {
        if (body) seal.Add(piece);
        if (piece.size() < kGather) {
            gathered.insert(gathered.end(), piece.begin(), piece.end());
            if (gathered.size() < kGather) return;
            piece = {};
        }
        if (!gathered.empty()) sink(std::span<const uint8_t>(gathered));
        gathered.clear();
        if (!piece.empty()) sink(piece);
    };
    uint8_t head[kHeadSize] = {};
    std::memcpy(head, kMagic, sizeof kMagic);
    StoreLe32(head + 4, kVersion);
    StoreLe64(head + 8, journal.oldSize);
    StoreLe64(head + 16, journal.newSize);
    StoreLe32(head + 24, static_cast<uint32_t>(journal.writes.size()));
    StoreLe32(head + 28, static_cast<uint32_t>(kJournalPiece));
    emit(head, true);
    const uint64_t archiveSize = archive.Size();
    std::vector<uint8_t> sums;
    for (const JournalWrite& write : journal.writes) {
        uint8_t record[kRecordHeadSize];
        StoreLe64(record, write.offset);
        StoreLe64(record + 8, write.Size());
        StoreLe64(record + 16, write.zeros);
        emit(record, true);
        if (write.staged) {
            write.staged->Read(fs, [&](std::span<const uint8_t> piece) { emit(piece, true); });
        } else if (write.fromArchive) {
            std::vector<uint8_t> buffer;
            for (uint64_t done = 0; done < write.length;) {
                buffer.resize(static_cast<size_t>(std::min<uint64_t>(write.length - done, StagedData::kPiece)));
                archive.ReadAt(*write.fromArchive + done, buffer);
                emit(buffer, true);
                done += buffer.size();
            }
        } else {
            emit(write.bytes, true);
        }
        sums.clear();
        ForEachPiece(archive, archiveSize, write.offset, write.End(),
                     [&](uint64_t, uint64_t, std::span<const uint8_t> old) {
                         const PieceSum sum = SumOf(old);
                         sums.insert(sums.end(), sum.begin(), sum.end());
                     });
        emit(sums, true);
    }
    uint8_t trailer[kTrailerSize];
    StoreLe64(trailer, seal.Value());
    std::memcpy(trailer + 8, kEndMagic, sizeof kEndMagic);
    emit(trailer, false);
    if (!gathered.empty()) sink(std::span<const uint8_t>(gathered));
}

// What a journal's head says.
struct Head {
    uint32_t version = 0;
    uint64_t oldSize = 0;
    uint64_t newSize = 0;
    uint32_t count = 0;
};

std::optional<Head> ReadHead(File& file) {
    uint8_t head[kHeadSize];
    file.ReadAt(0, head);
    Head read{LoadLe32(head + 4), LoadLe64(head + 8), LoadLe64(head + 16), LoadLe32(head + 24)};
    if (std::memcmp(head, kMagic, sizeof kMagic) != 0 || (read.version != kVersion && read.version != kVersionBefore) ||
        LoadLe32(head + 28) != kJournalPiece || read.oldSize > format::kMaxArchiveBytes ||
        read.newSize > format::kMaxArchiveBytes)
        return std::nullopt;
    return read;
}

// The writes the record heads describe, each within the new size and after
// the one before, their data and sums within the first `limit` bytes of the
// file; where the body ends is the position after the last.
std::optional<std::vector<JournalWrite>> ReadWrites(File& file, const Head& head, uint64_t limit, uint64_t& bodyEnd) {
    std::vector<JournalWrite> writes;
    uint64_t at = kHeadSize;
    uint64_t reached = 0;  // where the writes so far end: each starts at or after it
    for (uint32_t i = 0; i < head.count; ++i) {
        if (limit - at < kRecordHeadSize) return std::nullopt;
        uint8_t record[kRecordHeadSize];
        file.ReadAt(at, record);
        JournalWrite write;
        write.offset = LoadLe64(record);
        write.length = LoadLe64(record + 8);
        write.zeros = LoadLe64(record + 16);
        at += kRecordHeadSize;
        if (write.offset < reached || write.offset > head.newSize || write.length > head.newSize - write.offset ||
            write.zeros > head.newSize - write.offset - write.length)
            return std::nullopt;
        const uint64_t sums = kSumSize * PieceCount(write.offset, write.End());
        if (write.length > limit - at || sums > limit - at - write.length) return std::nullopt;
        at += write.length + sums;
        reached = write.End();
        writes.push_back(std::move(write));
    }
    // An in-place commit grows the archive only by what it writes.
    if (head.newSize > std::max(head.oldSize, reached)) return std::nullopt;
    bodyEnd = at;
    return writes;
}

// Whether the trailer after bodyEnd is one of a layout the head's version
// wrote, and seals the body.
bool Sealed(File& file, uint32_t version, uint64_t bodyEnd) {
    const uint64_t trailerSize = file.Size() - bodyEnd;
    const auto layout = std::find_if(std::begin(kTrailers), std::end(kTrailers), [&](const TrailerLayout& candidate) {
        return candidate.version == version && candidate.size == trailerSize;
    });
    if (layout == std::end(kTrailers)) return false;
    std::vector<uint8_t> trailer(layout->size);
    file.ReadAt(bodyEnd, trailer);
    if (std::memcmp(trailer.data() + trailer.size() - sizeof kEndMagic, kEndMagic, sizeof kEndMagic) != 0) return false;
    Seal seal(layout->seal, bodyEnd);
    std::vector<uint8_t> buffer;
    for (uint64_t done = 0; done < bodyEnd;) {
        const auto part = static_cast<size_t>(std::min<uint64_t>(bodyEnd - done, StagedData::kPiece));
        buffer.resize(part);
        file.ReadAt(done, buffer);
        seal.Add(buffer);
        done += part;
    }
    return seal.Matches(std::span<const uint8_t>(trailer).first(trailer.size() - sizeof kEndMagic));
}

}  // namespace

uint64_t JournalBytes(const Journal& journal) {
    uint64_t size = kHeadSize + kTrailerSize;
    for (const JournalWrite& write : journal.writes)
        size += kRecordHeadSize + write.Size() + kSumSize * PieceCount(write.offset, write.End());
    return size;
}

// Every write within an archive the game can address, each with its record
// head and one piece more than the whole pieces it covers (an unaligned
// start or end shares a piece with its neighbour): the largest journal of
// kMaxJournalWrites writes.
const uint64_t kMaxJournalBytes = kHeadSize + kTrailerSize + kMaxJournalWrites * (kRecordHeadSize + kSumSize) +
                                  format::kMaxArchiveBytes + format::kMaxArchiveBytes / kJournalPiece * kSumSize;

bool WithinJournalBound(const Journal& journal, uint64_t maxBytes) {
    return journal.writes.size() <= kMaxJournalWrites && JournalBytes(journal) <= maxBytes;
}

void RequireJournalWithin(const Journal& journal, const std::string& archivePath, uint64_t maxBytes) {
    if (WithinJournalBound(journal, maxBytes)) return;
    const uint64_t bytes = JournalBytes(journal);
    throw ArchiveError(ErrorKind::TooLarge, archivePath,
                       "the save would need a journal of " + std::to_string(bytes) + " bytes in " +
                           std::to_string(journal.writes.size()) + " writes, more than one may hold (" +
                           std::to_string(maxBytes) + " bytes). Nothing was changed.");
}

std::unique_ptr<File> WriteJournal(FileSystem& fs, const std::string& archivePath, const Journal& journal,
                                   File& archive, const std::function<void(uint64_t bytes)>& progress,
                                   uint64_t maxBytes) {
    RequireJournalWithin(journal, archivePath, maxBytes);
    auto file = fs.Open(JournalPath(archivePath), OpenMode::CreateAlways);
    uint64_t at = 0;
    StreamJournal(journal, fs, archive, [&](std::span<const uint8_t> piece) {
        file->WriteAt(at, piece);
        at += piece.size();
        if (progress) progress(piece.size());
    });
    file->Flush();
    return file;
}

std::optional<Journal> ReadJournal(File& file, uint64_t maxBytes) {
    const uint64_t size = file.Size();
    if (size < kHeadSize + kShortestTrailer) return std::nullopt;
    const std::optional<Head> head = ReadHead(file);
    if (!head) return std::nullopt;
    uint64_t bodyEnd = 0;
    std::optional<std::vector<JournalWrite>> writes = ReadWrites(file, *head, size - kShortestTrailer, bodyEnd);
    if (!writes || !Sealed(file, head->version, bodyEnd)) return std::nullopt;
    // Sealed: the journal of a commit past its point of no return, which may
    // be half applied. One larger than a journal may be is never dropped.
    if (size > maxBytes || writes->size() > kMaxJournalWrites)
        throw ArchiveError(ErrorKind::Damaged, {},
                           "the journal of an unfinished save is sealed but larger than a journal may be (" +
                               std::to_string(size) + " bytes in " + std::to_string(writes->size()) +
                               " writes; at most " + std::to_string(maxBytes) +
                               " bytes). It was left as it is: the archive may be half changed.");
    Journal journal;
    journal.oldSize = head->oldSize;
    journal.newSize = head->newSize;
    journal.writes = std::move(*writes);
    return journal;
}

JournalFit CheckJournal(File& archive, const Journal& journal, File& journalFile) {
    const uint64_t size = archive.Size();
    // A crash while the size changes leaves it anywhere from old to new.
    if (size < std::min(journal.oldSize, journal.newSize) || size > std::max(journal.oldSize, journal.newSize))
        return JournalFit::Stale;
    bool allNew = size == journal.newSize;
    std::vector<uint8_t> sums;
    std::vector<uint8_t> fresh;
    const std::vector<uint64_t> positions = DataPositions(journal);
    for (size_t w = 0; w < journal.writes.size(); ++w) {
        const JournalWrite& write = journal.writes[w];
        const uint64_t dataAt = positions[w];
        const uint64_t pieces = PieceCount(write.offset, write.End());
        sums.resize(static_cast<size_t>(pieces * kSumSize));
        if (!sums.empty()) journalFile.ReadAt(dataAt + write.Size(), sums);
        size_t index = 0;
        bool stale = false;
        ForEachPiece(archive, size, write.offset, write.End(),
                     [&](uint64_t start, uint64_t end, std::span<const uint8_t> now) {
                         if (stale) return;
                         const PieceSum nowSum = SumOf(now);
                         // The new bytes: the journal's data, then zeros.
                         fresh.assign(static_cast<size_t>(end - start), 0);
                         const uint64_t dataEnd = write.offset + write.Size();
                         if (start < dataEnd) {
                             const uint64_t inData = std::min(end, dataEnd) - start;
                             journalFile.ReadAt(dataAt + (start - write.offset),
                                                std::span<uint8_t>(fresh.data(), static_cast<size_t>(inData)));
                         }
                         const bool isNew = std::equal(nowSum.begin(), nowSum.end(), SumOf(fresh).begin());
                         const bool isOld = std::equal(nowSum.begin(), nowSum.end(),
                                                       sums.begin() + static_cast<std::ptrdiff_t>(index * kSumSize));
                         ++index;
                         if (!isNew && !isOld) stale = true;
                         if (!isNew) allNew = false;
                     });
        if (stale) return JournalFit::Stale;
    }
    return allNew ? JournalFit::Applied : JournalFit::Pending;
}

uint64_t ApplyJournal(File& archive, const Journal& journal, File& journalFile,
                      const std::function<void(uint64_t bytes)>& progress) {
    // A growing archive takes its new size first, a shrinking one last:
    // every write lands inside the file either way.
    if (archive.Size() < journal.newSize) archive.Resize(journal.newSize);
    // Each write goes out in blocks that begin and end on the archive's
    // 512-byte boundaries (or the write's own ends), data and padding
    // together: a piece is never split between two writes to the disk, so
    // a crash leaves each piece old or new.
    constexpr uint64_t kBlock = uint64_t{1} << 20;
    std::vector<uint8_t> buffer;
    uint64_t written = 0;
    const std::vector<uint64_t> positions = DataPositions(journal);
    for (size_t w = 0; w < journal.writes.size(); ++w) {
        const JournalWrite& write = journal.writes[w];
        const uint64_t dataEnd = write.offset + write.Size();
        for (uint64_t at = write.offset; at < write.End();) {
            uint64_t end = std::min(write.End(), at + kBlock);
            if (end < write.End()) end = end / kJournalPiece * kJournalPiece;
            buffer.assign(static_cast<size_t>(end - at), 0);
            if (at < dataEnd) {
                const uint64_t inData = std::min(end, dataEnd) - at;
                journalFile.ReadAt(positions[w] + (at - write.offset),
                                   std::span<uint8_t>(buffer.data(), static_cast<size_t>(inData)));
            }
            archive.WriteAt(at, buffer);
            at = end;
        }
        written += write.Size() + write.zeros;
        if (progress) progress(write.Size() + write.zeros);
    }
    if (archive.Size() > journal.newSize) archive.Resize(journal.newSize);
    archive.Flush();
    return written;
}

}  // namespace veltrin::archive
