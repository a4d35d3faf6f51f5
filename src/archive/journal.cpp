#include "archive/journal.h"

#include <algorithm>
#include <cstring>

#include "archive/commit.h"
#include "archive/format.h"

namespace veltrin::archive {
namespace {

using format::LoadLe32;
using format::LoadLe64;
using format::StoreLe32;
using format::StoreLe64;

constexpr uint8_t kMagic[4] = {'V', 'L', 'T', 'J'};
constexpr uint8_t kEndMagic[4] = {'D', 'O', 'N', 'E'};
constexpr uint32_t kVersion = 1;
constexpr size_t kHeadSize = 32;
constexpr size_t kRecordHeadSize = 24;
constexpr size_t kTrailerSize = 12;  // checksum, end magic

// FNV-1a over 64-bit little-endian words (then the last bytes one by one),
// seeded with the length: every step is a one-to-one map of the state, so a
// change in any single word always changes the result. Fed in pieces.
class Checksum {
public:
    explicit Checksum(uint64_t length) : hash_(0xcbf29ce484222325ull ^ length) {}

    void Add(std::span<const uint8_t> bytes) {
        size_t at = 0;
        if (pending_ > 0) {
            const size_t take = std::min(bytes.size(), sizeof word_ - pending_);
            std::memcpy(word_ + pending_, bytes.data(), take);
            pending_ += take;
            at = take;
            if (pending_ < sizeof word_) return;
            Mix(LoadLe64(word_));
            pending_ = 0;
        }
        for (; at + 8 <= bytes.size(); at += 8) Mix(LoadLe64(bytes.data() + at));
        pending_ = bytes.size() - at;
        if (pending_ > 0) std::memcpy(word_, bytes.data() + at, pending_);
    }
    [[nodiscard]] uint64_t Value() const {
        uint64_t hash = hash_;
        for (size_t i = 0; i < pending_; ++i) hash = (hash ^ word_[i]) * kPrime;
        return hash;
    }

private:
    static constexpr uint64_t kPrime = 0x100000001b3ull;
    void Mix(uint64_t word) { hash_ = (hash_ ^ word) * kPrime; }

    uint64_t hash_;
    uint8_t word_[8] = {};
    size_t pending_ = 0;
};

uint64_t BodySize(const Journal& journal) {
    uint64_t size = kHeadSize;
    for (const JournalWrite& write : journal.writes) size += kRecordHeadSize + write.Size();
    return size;
}

// Hands the journal's bytes, in order, to sink: small pieces gathered,
// large data passed through as it is.
template <typename Sink>
void StreamJournal(const Journal& journal, FileSystem& fs, Sink&& sink) {
    constexpr size_t kGather = size_t{64} << 10;
    std::vector<uint8_t> gathered;
    Checksum checksum(BodySize(journal));
    auto emit = [&](std::span<const uint8_t> piece, bool body) {
        if (body) checksum.Add(piece);
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
    emit(head, true);
    for (const JournalWrite& write : journal.writes) {
        uint8_t record[kRecordHeadSize];
        StoreLe64(record, write.offset);
        StoreLe64(record + 8, write.Size());
        StoreLe64(record + 16, write.zeros);
        emit(record, true);
        if (write.staged)
            write.staged->Read(fs, [&](std::span<const uint8_t> piece) { emit(piece, true); });
        else
            emit(write.bytes, true);
    }
    uint8_t trailer[kTrailerSize];
    StoreLe64(trailer, checksum.Value());
    std::memcpy(trailer + 8, kEndMagic, sizeof kEndMagic);
    emit(trailer, false);
    if (!gathered.empty()) sink(std::span<const uint8_t>(gathered));
}

}  // namespace

std::optional<Journal> ReadJournal(File& file) {
    const uint64_t size = file.Size();
    if (size < kHeadSize + kTrailerSize) return std::nullopt;
    const uint64_t bodyEnd = size - kTrailerSize;
    uint8_t head[kHeadSize];
    uint8_t trailer[kTrailerSize];
    file.ReadAt(0, head);
    file.ReadAt(bodyEnd, trailer);
    if (std::memcmp(head, kMagic, sizeof kMagic) != 0 || LoadLe32(head + 4) != kVersion ||
        std::memcmp(trailer + 8, kEndMagic, sizeof kEndMagic) != 0)
        return std::nullopt;
    Checksum checksum(bodyEnd);
    checksum.Add(head);
    Journal journal;
    journal.oldSize = LoadLe64(head + 8);
    journal.newSize = LoadLe64(head + 16);
    const uint32_t count = LoadLe32(head + 24);
    // The data is read through one buffer, only for the checksum: it stays
    // in the file, from where it is applied.
    std::vector<uint8_t> buffer;
    uint64_t at = kHeadSize;
    for (uint32_t i = 0; i < count; ++i) {
        if (bodyEnd - at < kRecordHeadSize) return std::nullopt;
        uint8_t record[kRecordHeadSize];
        file.ReadAt(at, record);
        checksum.Add(record);
        JournalWrite write;
        write.offset = LoadLe64(record);
        write.length = LoadLe64(record + 8);
        write.zeros = LoadLe64(record + 16);
        at += kRecordHeadSize;
        if (write.length > bodyEnd - at || write.offset > journal.newSize ||
            write.length > journal.newSize - write.offset || write.zeros > journal.newSize - write.offset - write.length)
            return std::nullopt;
        for (uint64_t done = 0; done < write.length;) {
            const auto part = static_cast<size_t>(std::min<uint64_t>(write.length - done, StagedData::kPiece));
            buffer.resize(std::max(buffer.size(), part));
            const std::span<uint8_t> piece(buffer.data(), part);
            file.ReadAt(at + done, piece);
            checksum.Add(piece);
            done += part;
        }
        at += write.length;
        journal.writes.push_back(std::move(write));
    }
    if (at != bodyEnd || LoadLe64(trailer) != checksum.Value()) return std::nullopt;
    // An in-place commit grows the archive only by what it writes.
    uint64_t reach = journal.oldSize;
    for (const JournalWrite& write : journal.writes)
        reach = std::max(reach, write.offset + write.Size() + write.zeros);
    if (journal.newSize > reach) return std::nullopt;
    return journal;
}

std::unique_ptr<File> WriteJournal(FileSystem& fs, const std::string& archivePath, const Journal& journal,
                                   const std::function<void(uint64_t bytes)>& progress) {
    auto file = fs.Open(JournalPath(archivePath), OpenMode::CreateAlways);
    uint64_t at = 0;
    StreamJournal(journal, fs, [&](std::span<const uint8_t> piece) {
        file->WriteAt(at, piece);
        at += piece.size();
        if (progress) progress(piece.size());
    });
    file->Flush();
    return file;
}

namespace {

// The padding after each entry's data is written from one block of zeros.
constexpr size_t kZeroBlock = size_t{64} << 10;
constexpr uint8_t kZeros[kZeroBlock] = {};

// Sets the new size, hands each write's data to write at its offset, pads
// it with zeros and flushes.
template <typename WriteData>
uint64_t Apply(File& archive, const Journal& journal, WriteData&& writeData) {
    // The new size first: the file then has its old or its new size, never
    // one in between.
    if (archive.Size() != journal.newSize) archive.Resize(journal.newSize);
    uint64_t written = 0;
    for (const JournalWrite& write : journal.writes) {
        writeData(write);
        uint64_t at = write.offset + write.Size();
        const uint64_t end = at + write.zeros;
        while (at < end) {
            const size_t part = static_cast<size_t>(std::min<uint64_t>(end - at, kZeroBlock));
            archive.WriteAt(at, std::span<const uint8_t>(kZeros, part));
            at += part;
        }
        written += write.Size() + write.zeros;
    }
    archive.Flush();
    return written;
}

}  // namespace

uint64_t ApplyJournal(File& archive, const Journal& journal, File& journalFile,
                      const std::function<void(uint64_t bytes)>& progress) {
    // The journal file: its head, then each record's head and data.
    uint64_t dataAt = kHeadSize;
    return Apply(archive, journal, [&](const JournalWrite& write) {
        dataAt += kRecordHeadSize;
        archive.CopyFrom(journalFile, dataAt, write.offset, write.Size());
        dataAt += write.Size();
        if (progress) progress(write.Size() + write.zeros);
    });
}

}  // namespace veltrin::archive
