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
// The version before sealed journals with a word checksum that some tears
// slip through. A journal it left is still read, so that a commit it
// interrupted is completed rather than dropped half applied.
constexpr uint32_t kWordSealedVersion = 2;
constexpr size_t kHeadSize = 32;
constexpr size_t kRecordHeadSize = 24;
constexpr size_t kSumSize = 16;
constexpr size_t kTrailerSize = 8 + sizeof kEndMagic;  // the seal, the end mark
// A journal never holds more than the archive it belongs to could, and its
// checksums.
constexpr uint64_t kMaxJournalBytes = format::kMaxArchiveBytes + (format::kMaxArchiveBytes / kJournalPiece) * kSumSize;

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
// checked against the archive by the pieces' sums. Journals of the word-
// sealed version are checked by FNV-1a over 64-bit little-endian words (then
// the last bytes one by one), seeded with the length. Fed in pieces.
class Seal {
public:
    Seal(uint32_t version, uint64_t length)
        : words_(version == kWordSealedVersion), hash_(0xcbf29ce484222325ull ^ length) {}

    void Add(std::span<const uint8_t> bytes) {
        if (!words_) {
            sha_.Add(bytes);
            return;
        }
        size_t at = 0;
        for (; at < bytes.size() && pending_ > 0; ++at) Take(bytes[at]);
        for (; at + 8 <= bytes.size(); at += 8) Mix(LoadLe64(bytes.data() + at));
        for (; at < bytes.size(); ++at) Take(bytes[at]);
    }
    // Once, after the last Add.
    [[nodiscard]] uint64_t Value() {
        if (!words_) return LoadLe64(sha_.Finish().data());
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

    bool words_;
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
    Seal seal(kVersion, JournalBytes(journal) - kTrailerSize);
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

}  // namespace

uint64_t JournalBytes(const Journal& journal) {
    uint64_t size = kHeadSize + kTrailerSize;
    for (const JournalWrite& write : journal.writes)
        size += kRecordHeadSize + write.Size() + kSumSize * PieceCount(write.offset, write.End());
    return size;
}

std::unique_ptr<File> WriteJournal(FileSystem& fs, const std::string& archivePath, const Journal& journal,
                                   File& archive, const std::function<void(uint64_t bytes)>& progress) {
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

std::optional<Journal> ReadJournal(File& file) {
    const uint64_t size = file.Size();
    if (size < kHeadSize + kTrailerSize || size > kMaxJournalBytes) return std::nullopt;
    const uint64_t bodyEnd = size - kTrailerSize;
    uint8_t head[kHeadSize];
    uint8_t trailer[kTrailerSize];
    file.ReadAt(0, head);
    file.ReadAt(bodyEnd, trailer);
    const uint32_t version = LoadLe32(head + 4);
    if (std::memcmp(head, kMagic, sizeof kMagic) != 0 || (version != kVersion && version != kWordSealedVersion) ||
        LoadLe32(head + 28) != kJournalPiece || std::memcmp(trailer + 8, kEndMagic, sizeof kEndMagic) != 0)
        return std::nullopt;
    Seal seal(version, bodyEnd);
    seal.Add(head);
    Journal journal;
    journal.oldSize = LoadLe64(head + 8);
    journal.newSize = LoadLe64(head + 16);
    const uint32_t count = LoadLe32(head + 24);
    if (journal.oldSize > format::kMaxArchiveBytes || journal.newSize > format::kMaxArchiveBytes) return std::nullopt;
    // The data and checksums are read through one buffer, only for the
    // seal: they stay in the file, from where they are checked and applied.
    std::vector<uint8_t> buffer;
    auto addToSeal = [&](uint64_t from, uint64_t length) {
        for (uint64_t done = 0; done < length;) {
            const auto part = static_cast<size_t>(std::min<uint64_t>(length - done, StagedData::kPiece));
            buffer.resize(std::max(buffer.size(), part));
            const std::span<uint8_t> piece(buffer.data(), part);
            file.ReadAt(from + done, piece);
            seal.Add(piece);
            done += part;
        }
    };
    uint64_t at = kHeadSize;
    uint64_t reached = 0;  // where the writes so far end: each starts at or after it
    for (uint32_t i = 0; i < count; ++i) {
        if (bodyEnd - at < kRecordHeadSize) return std::nullopt;
        uint8_t record[kRecordHeadSize];
        file.ReadAt(at, record);
        seal.Add(record);
        JournalWrite write;
        write.offset = LoadLe64(record);
        write.length = LoadLe64(record + 8);
        write.zeros = LoadLe64(record + 16);
        at += kRecordHeadSize;
        if (write.offset < reached || write.offset > journal.newSize || write.length > journal.newSize - write.offset ||
            write.zeros > journal.newSize - write.offset - write.length)
            return std::nullopt;
        const uint64_t sums = kSumSize * PieceCount(write.offset, write.End());
        if (write.length > bodyEnd - at || sums > bodyEnd - at - write.length) return std::nullopt;
        addToSeal(at, write.length + sums);
        at += write.length + sums;
        reached = write.End();
        journal.writes.push_back(std::move(write));
    }
    if (at != bodyEnd) return std::nullopt;
    if (LoadLe64(trailer) != seal.Value()) return std::nullopt;
    // An in-place commit grows the archive only by what it writes.
    if (journal.newSize > std::max(journal.oldSize, reached)) return std::nullopt;
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
