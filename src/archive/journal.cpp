#include "archive/journal.h"

#include <algorithm>
#include <bit>
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

// On disk: a head; for each write but the growth its record head, its
// data, then one checksum per piece of what the archive held there before.
// Where the commit grows the archive (this version): the growth's head (the
// count of growth writes and a checksum of the archive's old directory),
// their record heads and the intent's seal over everything before it (the
// intent: what the next open needs to cut the growth off, durable before
// the archive grows), then one checksum per piece of each growth write's
// new bytes. Last a trailer that
// seals everything before it. A journal without growth is written as
// version 3 wrote it, which is this layout without the growth's part.
constexpr uint8_t kMagic[4] = {'V', 'L', 'T', 'J'};
constexpr uint8_t kEndMagic[4] = {'D', 'O', 'N', 'E'};
constexpr uint32_t kVersion = 4;
constexpr uint32_t kVersionWithoutGrowth = 3;
// Version 2 had two layouts, told apart by the trailer's size: first sealed
// by the whole SHA-256, then by a word checksum that some tears slip
// through. Journals of both are still read, so that a commit they
// interrupted is completed rather than dropped half applied.
constexpr uint32_t kVersionBefore = 2;
constexpr size_t kHeadSize = 32;
constexpr size_t kRecordHeadSize = 24;
constexpr size_t kSumSize = 16;
constexpr size_t kTrailerSize = 8 + sizeof kEndMagic;  // the seal, the end mark
// The count of growth writes, 4 zero bytes, how many of the archive's first
// bytes are guarded and their checksum.
constexpr size_t kGrowthHeadSize = 16 + kSumSize;
constexpr size_t kIntentSealSize = 8;                  // the first 8 bytes of the SHA-256 before it

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
    {kVersionWithoutGrowth, SealKind::DigestStart, kTrailerSize},
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

// What a piece of growth holds: a fast 128-bit checksum of its bytes. The
// growth is the commit's own (nothing else lies past the old size) and is
// flushed before the seal, so its pieces are checked against tears and
// lost writes, never against another program's bytes; summing every piece of
// a large mod with SHA-256 took longer than writing it. Two 64-bit lanes
// over the bytes' 64-bit little-endian words (the last ones zero-filled),
// each word mixed in by multiplication and rotation, then both lanes
// mixed with the length.
uint64_t FromLittleEndian(uint64_t word) {
    if constexpr (std::endian::native == std::endian::little) return word;
    return LoadLe64(reinterpret_cast<const uint8_t*>(&word));
}

PieceSum GrowthSumOf(std::span<const uint8_t> bytes) {
    constexpr uint64_t kOdd1 = 0x9e3779b97f4a7c15ull, kOdd2 = 0xc2b2ae3d27d4eb4full, kOdd3 = 0x165667b19e3779f9ull;
    const auto rotate = [](uint64_t value, int by) { return (value << by) | (value >> (64 - by)); };
    const auto finish = [](uint64_t value) {
        value ^= value >> 33;
        value *= 0xff51afd7ed558ccdull;
        value ^= value >> 33;
        value *= 0xc4ceb9fe1a85ec53ull;
        return value ^ (value >> 33);
    };
    uint64_t a = kOdd1 ^ bytes.size(), b = kOdd2 + bytes.size();
    const auto mix = [&](uint64_t w) {
        a = rotate(a ^ (w * kOdd2), 31) * kOdd1;
        b = rotate(b + (w ^ kOdd3) * kOdd1, 27) * kOdd3 + a;
    };
    // Whole words straight from the bytes; only the last, short one is
    // copied to be zero-filled.
    const size_t whole = bytes.size() / 8 * 8;
    for (size_t at = 0; at < whole; at += 8) {
        uint64_t w;
        std::memcpy(&w, bytes.data() + at, sizeof w);
        mix(FromLittleEndian(w));
    }
    if (whole < bytes.size()) {
        uint8_t word[8] = {};
        std::memcpy(word, bytes.data() + whole, bytes.size() - whole);
        mix(LoadLe64(word));
    }
    PieceSum sum;
    StoreLe64(sum.data(), finish(a ^ rotate(b, 17)));
    StoreLe64(sum.data() + 8, finish(b + a * kOdd3));
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

// The first piece boundary at or past the archive's old size: growth starts there.
uint64_t GrowthStart(uint64_t oldSize) { return (oldSize + kJournalPiece - 1) / kJournalPiece * kJournalPiece; }

// Where the growth's head lies in the journal's file: after every write but the growth.
uint64_t GrowthHeadAt(const Journal& journal) {
    uint64_t at = kHeadSize;
    for (const JournalWrite& write : journal.writes)
        if (!write.growth) at += kRecordHeadSize + write.Size() + kSumSize * PieceCount(write.offset, write.End());
    return at;
}

// Where each write's data lies in the journal's file, its pieces' old
// checksums after the data; for growth, where its new checksums lie.
std::vector<uint64_t> DataPositions(const Journal& journal) {
    std::vector<uint64_t> positions;
    positions.reserve(journal.writes.size());
    uint64_t at = kHeadSize;
    size_t growth = 0;
    for (const JournalWrite& write : journal.writes) {
        if (write.growth) {
            ++growth;
            continue;
        }
        at += kRecordHeadSize;
        positions.push_back(at);
        at += write.Size() + kSumSize * PieceCount(write.offset, write.End());
    }
    if (growth > 0) at += kGrowthHeadSize + growth * kRecordHeadSize + kIntentSealSize;
    for (const JournalWrite& write : journal.writes) {
        if (!write.growth) continue;
        positions.push_back(at);
        at += kSumSize * PieceCount(write.offset, write.End());
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

// Whether every piece of the write holds the bytes whose checksums (one
// per piece, in order, made by sumOf) sums holds.
bool PiecesHold(File& archive, uint64_t size, const JournalWrite& write, const std::vector<uint8_t>& sums,
                PieceSum (*sumOf)(std::span<const uint8_t>)) {
    size_t index = 0;
    bool same = true;
    ForEachPiece(archive, size, write.offset, write.End(), [&](uint64_t, uint64_t, std::span<const uint8_t> now) {
        const PieceSum sum = sumOf(now);
        same = same && std::equal(sum.begin(), sum.end(), sums.begin() + static_cast<std::ptrdiff_t>(index * kSumSize));
        ++index;
    });
    return same;
}

// The SHA-256 of a file's first `length` bytes, read in pieces.
Digest Sha256OfStart(File& file, uint64_t length) {
    Sha256 sha;
    std::vector<uint8_t> buffer;
    for (uint64_t done = 0; done < length;) {
        buffer.resize(static_cast<size_t>(std::min<uint64_t>(length - done, StagedData::kPiece)));
        file.ReadAt(done, buffer);
        sha.Add(buffer);
        done += buffer.size();
    }
    return sha.Finish();
}

// The checksum of the archive's first `length` bytes (its directory), the
// first 16 bytes of their SHA-256.
PieceSum GuardSum(File& archive, uint64_t length) {
    PieceSum sum;
    std::copy_n(Sha256OfStart(archive, length).begin(), sum.size(), sum.begin());
    return sum;
}

// Takes the journal's bytes in order and hands them to the file: small
// pieces gathered, large data passed through as it is; seals them as they
// go.
class JournalOut {
public:
    JournalOut(File& file, const std::function<void(uint64_t bytes)>& progress) : file_(file), progress_(progress) {}

    void Body(std::span<const uint8_t> piece) {
        sha_.Add(piece);
        Emit(piece);
    }
    // The intent's seal: over everything so far, and itself part of the body.
    void IntentSeal() {
        Sha256 sofar = sha_;
        uint8_t seal[kIntentSealSize];
        std::copy_n(sofar.Finish().begin(), sizeof seal, seal);
        Body(seal);
    }
    void Trailer() {
        uint8_t trailer[kTrailerSize];
        std::copy_n(sha_.Finish().begin(), 8, trailer);
        std::memcpy(trailer + 8, kEndMagic, sizeof kEndMagic);
        Emit(trailer);
    }
    // Writes out what is gathered.
    void Drain() {
        if (!gathered_.empty()) Write(gathered_);
        gathered_.clear();
    }

private:
    static constexpr size_t kGather = size_t{64} << 10;
    void Emit(std::span<const uint8_t> piece) {
        if (piece.size() < kGather) {
            gathered_.insert(gathered_.end(), piece.begin(), piece.end());
            if (gathered_.size() < kGather) return;
            piece = {};
        }
        Drain();
        if (!piece.empty()) Write(piece);
    }
    void Write(std::span<const uint8_t> piece) {
        file_.WriteAt(at_, piece);
        at_ += piece.size();
        if (progress_) progress_(piece.size());
    }

    File& file_;
    const std::function<void(uint64_t bytes)>& progress_;
    Sha256 sha_;
    std::vector<uint8_t> gathered_;
    uint64_t at_ = 0;
};

// Hands a write's new data to take, in pieces: its staged data, the
// archive's own bytes it moves, or its bytes.
template <typename Take>
void ReadData(const JournalWrite& write, FileSystem& fs, File& archive, Take&& take) {
    if (write.staged) {
        write.staged->Read(fs, take);
    } else if (write.fromArchive) {
        std::vector<uint8_t> buffer;
        for (uint64_t done = 0; done < write.length;) {
            buffer.resize(static_cast<size_t>(std::min<uint64_t>(write.length - done, StagedData::kPiece)));
            archive.ReadAt(*write.fromArchive + done, buffer);
            take(std::span<const uint8_t>(buffer));
            done += buffer.size();
        }
    } else {
        take(std::span<const uint8_t>(write.bytes));
    }
}

// The journal's intent: its head, every write but the growth with its data
// and its pieces' old checksums, the growth's count and record heads, and
// the intent's seal.
void WriteIntent(const Journal& journal, FileSystem& fs, File& archive, JournalOut& out) {
    const bool grows = Grows(journal);
    const auto growth = static_cast<size_t>(
        std::count_if(journal.writes.begin(), journal.writes.end(), [](const JournalWrite& w) { return w.growth; }));
    uint8_t head[kHeadSize] = {};
    std::memcpy(head, kMagic, sizeof kMagic);
    StoreLe32(head + 4, grows ? kVersion : kVersionWithoutGrowth);
    StoreLe64(head + 8, journal.oldSize);
    StoreLe64(head + 16, journal.newSize);
    StoreLe32(head + 24, static_cast<uint32_t>(journal.writes.size() - growth));
    StoreLe32(head + 28, static_cast<uint32_t>(kJournalPiece));
    out.Body(head);
    const uint64_t archiveSize = archive.Size();
    std::vector<uint8_t> sums;
    auto record = [&](const JournalWrite& write) {
        uint8_t bytes[kRecordHeadSize];
        StoreLe64(bytes, write.offset);
        StoreLe64(bytes + 8, write.Size());
        StoreLe64(bytes + 16, write.zeros);
        out.Body(bytes);
    };
    for (const JournalWrite& write : journal.writes) {
        if (write.growth) continue;
        record(write);
        ReadData(write, fs, archive, [&](std::span<const uint8_t> piece) { out.Body(piece); });
        sums.clear();
        ForEachPiece(archive, archiveSize, write.offset, write.End(),
                     [&](uint64_t, uint64_t, std::span<const uint8_t> old) {
                         const PieceSum sum = SumOf(old);
                         sums.insert(sums.end(), sum.begin(), sum.end());
                     });
        out.Body(sums);
    }
    if (!grows) return;
    uint8_t growthHead[kGrowthHeadSize] = {};
    StoreLe32(growthHead, static_cast<uint32_t>(growth));
    StoreLe64(growthHead + 8, journal.guarded);
    const PieceSum guard = GuardSum(archive, journal.guarded);
    std::copy(guard.begin(), guard.end(), growthHead + 16);
    out.Body(growthHead);
    for (const JournalWrite& write : journal.writes)
        if (write.growth) record(write);
    out.IntentSeal();
}

constexpr size_t kGrowthBlock = size_t{1} << 20;

// Writes one growth write's new bytes (its data, then zeros) into the
// archive in blocks that begin and end on piece boundaries or the write's
// own ends, and adds the checksum of each piece to sums. The block is the
// caller's, so that every write gathers its bytes in the same memory.
void WriteGrowthRange(const JournalWrite& write, FileSystem& fs, File& archive, std::vector<uint8_t>& block,
                      std::vector<uint8_t>& sums, const std::function<void(uint64_t bytes)>& progress) {
    constexpr size_t kBlock = kGrowthBlock;
    block.clear();
    uint64_t blockAt = write.offset;
    auto put = [&](bool last) {
        const uint64_t blockEnd = blockAt + block.size();
        const uint64_t cutAt = last ? blockEnd : blockEnd / kJournalPiece * kJournalPiece;
        if (cutAt <= blockAt) return;
        const auto length = static_cast<size_t>(cutAt - blockAt);
        archive.WriteAt(blockAt, std::span<const uint8_t>(block.data(), length));
        for (uint64_t piece = blockAt; piece < cutAt;) {
            const uint64_t pieceEnd = std::min(cutAt, (piece / kJournalPiece + 1) * kJournalPiece);
            const PieceSum sum = GrowthSumOf(std::span<const uint8_t>(block.data() + (piece - blockAt),
                                                                      static_cast<size_t>(pieceEnd - piece)));
            sums.insert(sums.end(), sum.begin(), sum.end());
            piece = pieceEnd;
        }
        block.erase(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(length));
        blockAt = cutAt;
        if (progress) progress(length);
    };
    auto take = [&](std::span<const uint8_t> bytes) {
        while (!bytes.empty()) {
            const size_t part = std::min(bytes.size(), kBlock - block.size());
            block.insert(block.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(part));
            bytes = bytes.subspan(part);
            if (block.size() == kBlock) put(false);
        }
    };
    ReadData(write, fs, archive, take);
    const std::vector<uint8_t> zeros(static_cast<size_t>(std::min<uint64_t>(write.zeros, kBlock)), 0);
    for (uint64_t left = write.zeros; left > 0;) {
        const auto part = static_cast<size_t>(std::min<uint64_t>(left, zeros.size()));
        take(std::span<const uint8_t>(zeros.data(), part));
        left -= part;
    }
    put(true);
}

// The growth: the archive takes its new size, every growth write lands and
// the archive is flushed. Returns the checksums of the growth's pieces, in
// journal order.
std::vector<uint8_t> WriteGrowth(const Journal& journal, FileSystem& fs, File& archive,
                                 const std::function<void(uint64_t bytes)>& progress) {
    if (archive.Size() < journal.newSize) archive.Resize(journal.newSize);
    std::vector<uint8_t> sums;
    std::vector<uint8_t> block;
    // The growth lies past the old size: no block is larger than that.
    block.reserve(static_cast<size_t>(
        std::min<uint64_t>(kGrowthBlock, journal.newSize > journal.oldSize ? journal.newSize - journal.oldSize : 0)));
    for (const JournalWrite& write : journal.writes)
        if (write.growth) WriteGrowthRange(write, fs, archive, block, sums, progress);
    archive.Flush();
    return sums;
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
    if (std::memcmp(head, kMagic, sizeof kMagic) != 0 || (read.version != kVersion && read.version != kVersionWithoutGrowth && read.version != kVersionBefore) ||
        LoadLe32(head + 28) != kJournalPiece || read.oldSize > format::kMaxArchiveBytes ||
        read.newSize > format::kMaxArchiveBytes)
        return std::nullopt;
    return read;
}

// Where a journal's parts end in its file, and what its growth's head says
// of the archive's first bytes.
struct Extent {
    uint64_t intentEnd = 0;  // where the intent's seal lies (growth only)
    uint64_t bodyEnd = 0;    // where the trailer lies
    uint64_t guarded = 0;    // how many of the archive's first bytes the intent guards
};

// One record head at `at`, checked: within the new size and at or after
// `reached`, growth past the old size; its data and sums (none for growth)
// within the first `limit` bytes of the file. Moves at past them.
std::optional<JournalWrite> ReadRecord(File& file, const Head& head, bool growth, uint64_t reached, uint64_t limit,
                                       uint64_t& at) {
    if (limit < at || limit - at < kRecordHeadSize) return std::nullopt;
    uint8_t record[kRecordHeadSize];
    file.ReadAt(at, record);
    JournalWrite write;
    write.offset = LoadLe64(record);
    write.length = LoadLe64(record + 8);
    write.zeros = LoadLe64(record + 16);
    write.growth = growth;
    at += kRecordHeadSize;
    if (write.offset < reached || write.offset > head.newSize || write.length > head.newSize - write.offset ||
        write.zeros > head.newSize - write.offset - write.length)
        return std::nullopt;
    if (growth) {
        if (write.offset < GrowthStart(head.oldSize)) return std::nullopt;
        return write;
    }
    const uint64_t sums = kSumSize * PieceCount(write.offset, write.End());
    if (write.length > limit - at || sums > limit - at - write.length) return std::nullopt;
    at += write.length + sums;
    return write;
}

// The writes the record heads describe, each within the new size and after
// the one before, their data and sums within the first `limit` bytes of the
// file (the growth's sums excepted: where they end is extent.bodyEnd, which
// the caller holds against its limit).
std::optional<std::vector<JournalWrite>> ReadWrites(File& file, const Head& head, uint64_t limit, Extent& extent) {
    std::vector<JournalWrite> writes;
    uint64_t at = kHeadSize;
    uint64_t reached = 0;  // where the writes so far end: each starts at or after it
    auto read = [&](uint32_t count, bool growth) {
        for (uint32_t i = 0; i < count; ++i) {
            std::optional<JournalWrite> write = ReadRecord(file, head, growth, reached, limit, at);
            if (!write) return false;
            reached = write->End();
            writes.push_back(std::move(*write));
        }
        return true;
    };
    if (!read(head.count, false)) return std::nullopt;
    uint64_t growthSums = 0;
    if (head.version == kVersion) {
        if (limit < at || limit - at < kGrowthHeadSize) return std::nullopt;
        uint8_t growthHead[kGrowthHeadSize];
        file.ReadAt(at, growthHead);
        at += kGrowthHeadSize;
        const uint32_t growth = LoadLe32(growthHead);
        extent.guarded = LoadLe64(growthHead + 8);
        if (growth == 0 || LoadLe32(growthHead + 4) != 0 || extent.guarded > head.oldSize || !read(growth, true))
            return std::nullopt;
        if (limit - at < kIntentSealSize) return std::nullopt;
        extent.intentEnd = at;
        at += kIntentSealSize;
        for (const JournalWrite& write : writes)
            if (write.growth) growthSums += kSumSize * PieceCount(write.offset, write.End());
    }
    // An in-place commit grows the archive only by what it writes.
    if (head.newSize > std::max(head.oldSize, reached)) return std::nullopt;
    extent.bodyEnd = at + growthSums;
    return writes;
}

// Whether the intent's seal at intentEnd seals everything before it.
bool IntentSealed(File& file, uint64_t intentEnd) {
    const Digest digest = Sha256OfStart(file, intentEnd);
    uint8_t seal[kIntentSealSize];
    file.ReadAt(intentEnd, seal);
    return std::equal(seal, seal + sizeof seal, digest.begin());
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

void MarkGrowth(Journal& journal) {
    for (JournalWrite& write : journal.writes) write.growth = write.offset >= GrowthStart(journal.oldSize);
}

bool Grows(const Journal& journal) {
    return std::any_of(journal.writes.begin(), journal.writes.end(), [](const JournalWrite& w) { return w.growth; });
}

uint64_t JournalBytes(const Journal& journal) {
    uint64_t size = kHeadSize + kTrailerSize;
    for (const JournalWrite& write : journal.writes)
        size += kRecordHeadSize + (write.growth ? 0 : write.Size()) + kSumSize * PieceCount(write.offset, write.End());
    if (Grows(journal)) size += kGrowthHeadSize + kIntentSealSize;
    return size;
}

uint64_t JournalRoomFor(uint64_t bytes, uint64_t writes) {
    // Each range touches at most one piece more than the whole ones it covers.
    return kHeadSize + kTrailerSize + kGrowthHeadSize + kIntentSealSize + writes * (kRecordHeadSize + kSumSize) +
           bytes + (bytes / kJournalPiece + writes) * kSumSize;
}

// Every write within an archive the game can address, each with its record
// head and one piece more than the whole pieces it covers (an unaligned
// start or end shares a piece with its neighbour): the largest journal of
// kMaxJournalWrites writes, with the growth's count and the intent's seal.
const uint64_t kMaxJournalBytes = kHeadSize + kTrailerSize + kGrowthHeadSize + kIntentSealSize +
                                  kMaxJournalWrites * (kRecordHeadSize + kSumSize) +
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
    JournalOut out(*file, progress);
    WriteIntent(journal, fs, archive, out);
    if (Grows(journal)) {
        // The old size is durable before the archive grows, and the growth
        // before the seal.
        out.Drain();
        file->Flush();
        out.Body(WriteGrowth(journal, fs, archive, progress));
    }
    out.Trailer();
    out.Drain();
    file->Flush();
    return file;
}

std::optional<Journal> ReadJournal(File& file, uint64_t maxBytes) {
    const uint64_t size = file.Size();
    if (size < kHeadSize + kShortestTrailer) return std::nullopt;
    const std::optional<Head> head = ReadHead(file);
    if (!head) return std::nullopt;
    const uint64_t limit = size - kShortestTrailer;
    Extent extent;
    std::optional<std::vector<JournalWrite>> writes = ReadWrites(file, *head, limit, extent);
    if (!writes || extent.bodyEnd > limit || !Sealed(file, head->version, extent.bodyEnd)) return std::nullopt;
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
    journal.guarded = extent.guarded;
    return journal;
}

std::optional<Journal> ReadIntent(File& file) {
    const uint64_t size = file.Size();
    if (size < kHeadSize) return std::nullopt;
    const std::optional<Head> head = ReadHead(file);
    if (!head || head->version != kVersion) return std::nullopt;
    Extent extent;
    std::optional<std::vector<JournalWrite>> writes = ReadWrites(file, *head, size, extent);
    if (!writes || writes->size() > kMaxJournalWrites || !IntentSealed(file, extent.intentEnd)) return std::nullopt;
    Journal journal;
    journal.oldSize = head->oldSize;
    journal.newSize = head->newSize;
    journal.writes = std::move(*writes);
    journal.guarded = extent.guarded;
    return journal;
}

bool CutGrowth(File& archive, const Journal& intent, File& journalFile) {
    const uint64_t size = archive.Size();
    if (size == intent.oldSize) return true;  // it never grew: nothing to cut
    if (size < intent.oldSize || size > intent.newSize) return false;
    // The directory as the commit found it.
    std::vector<uint8_t> growthHead(kGrowthHeadSize);
    journalFile.ReadAt(GrowthHeadAt(intent), growthHead);
    const PieceSum guard = GuardSum(archive, intent.guarded);
    if (!std::equal(guard.begin(), guard.end(), growthHead.begin() + 16)) return false;
    // Before the seal the commit changes nothing below the old size: every
    // piece it would overwrite holds what it held when the journal was written.
    std::vector<uint8_t> sums;
    const std::vector<uint64_t> positions = DataPositions(intent);
    for (size_t w = 0; w < intent.writes.size(); ++w) {
        const JournalWrite& write = intent.writes[w];
        if (write.growth) continue;
        sums.resize(static_cast<size_t>(PieceCount(write.offset, write.End()) * kSumSize));
        if (!sums.empty()) journalFile.ReadAt(positions[w] + write.Size(), sums);
        if (!PiecesHold(archive, size, write, sums, SumOf)) return false;
    }
    if (size > intent.oldSize) {
        archive.Resize(intent.oldSize);
        archive.Flush();
    }
    return true;
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
        if (!sums.empty()) journalFile.ReadAt(write.growth ? dataAt : dataAt + write.Size(), sums);
        if (write.growth) {
            // Flushed before the seal: every piece holds its new bytes.
            if (!PiecesHold(archive, size, write, sums, GrowthSumOf)) return JournalFit::Stale;
            continue;
        }
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
        if (write.growth) continue;  // in place since before the seal
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
