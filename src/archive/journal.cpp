#include "archive/journal.h"

#include <algorithm>
#include <cstring>

#include "archive/format.h"
#include "archive/rewrite.h"

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

uint64_t Checksum(const uint8_t* bytes, size_t size) {
    // FNV-1a over 64-bit words: every step is a one-to-one map of the state,
    // so a change in any single word always changes the result.
    constexpr uint64_t kPrime = 0x100000001b3ull;
    uint64_t hash = 0xcbf29ce484222325ull ^ size;
    size_t at = 0;
    for (; at + 8 <= size; at += 8) hash = (hash ^ LoadLe64(bytes + at)) * kPrime;
    for (; at < size; ++at) hash = (hash ^ bytes[at]) * kPrime;
    return hash;
}

}  // namespace

std::string JournalPath(const std::string& archivePath) { return archivePath + ".journal"; }

std::vector<uint8_t> EncodeJournal(const Journal& journal) {
    size_t size = kHeadSize + kTrailerSize;
    for (const JournalWrite& write : journal.writes) size += kRecordHeadSize + write.bytes.size();
    std::vector<uint8_t> bytes(size, 0);
    std::memcpy(bytes.data(), kMagic, sizeof kMagic);
    StoreLe32(bytes.data() + 4, kVersion);
    StoreLe64(bytes.data() + 8, journal.oldSize);
    StoreLe64(bytes.data() + 16, journal.newSize);
    StoreLe32(bytes.data() + 24, static_cast<uint32_t>(journal.writes.size()));
    size_t at = kHeadSize;
    for (const JournalWrite& write : journal.writes) {
        StoreLe64(bytes.data() + at, write.offset);
        StoreLe64(bytes.data() + at + 8, write.bytes.size());
        StoreLe64(bytes.data() + at + 16, write.zeros);
        at += kRecordHeadSize;
        if (!write.bytes.empty()) std::memcpy(bytes.data() + at, write.bytes.data(), write.bytes.size());
        at += write.bytes.size();
    }
    StoreLe64(bytes.data() + at, Checksum(bytes.data(), at));
    std::memcpy(bytes.data() + at + 8, kEndMagic, sizeof kEndMagic);
    return bytes;
}

std::optional<Journal> DecodeJournal(const std::vector<uint8_t>& bytes) {
    if (bytes.size() < kHeadSize + kTrailerSize) return std::nullopt;
    const size_t bodyEnd = bytes.size() - kTrailerSize;
    if (std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0 || LoadLe32(bytes.data() + 4) != kVersion ||
        std::memcmp(bytes.data() + bodyEnd + 8, kEndMagic, sizeof kEndMagic) != 0 ||
        LoadLe64(bytes.data() + bodyEnd) != Checksum(bytes.data(), bodyEnd))
        return std::nullopt;
    Journal journal;
    journal.oldSize = LoadLe64(bytes.data() + 8);
    journal.newSize = LoadLe64(bytes.data() + 16);
    const uint32_t count = LoadLe32(bytes.data() + 24);
    size_t at = kHeadSize;
    for (uint32_t i = 0; i < count; ++i) {
        if (bodyEnd - at < kRecordHeadSize) return std::nullopt;
        JournalWrite write;
        write.offset = LoadLe64(bytes.data() + at);
        const uint64_t length = LoadLe64(bytes.data() + at + 8);
        write.zeros = LoadLe64(bytes.data() + at + 16);
        at += kRecordHeadSize;
        if (length > bodyEnd - at || write.offset > journal.newSize || length > journal.newSize - write.offset ||
            write.zeros > journal.newSize - write.offset - length)
            return std::nullopt;
        write.bytes.assign(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                           bytes.begin() + static_cast<std::ptrdiff_t>(at + length));
        at += static_cast<size_t>(length);
        journal.writes.push_back(std::move(write));
    }
    if (at != bodyEnd) return std::nullopt;
    // An in-place commit grows the archive only by what it writes.
    uint64_t reach = journal.oldSize;
    for (const JournalWrite& write : journal.writes)
        reach = std::max(reach, write.offset + write.bytes.size() + write.zeros);
    if (journal.newSize > reach) return std::nullopt;
    return journal;
}

void WriteJournal(FileSystem& fs, const std::string& archivePath, const Journal& journal) {
    const std::vector<uint8_t> bytes = EncodeJournal(journal);
    auto file = fs.Open(JournalPath(archivePath), OpenMode::CreateAlways);
    file->WriteAt(0, bytes);
    file->Flush();
}

uint64_t ApplyJournal(File& archive, const Journal& journal) {
    // The new size first: the file then has its old or its new size, never
    // one in between.
    if (archive.Size() != journal.newSize) archive.Resize(journal.newSize);
    uint64_t written = 0;
    std::vector<uint8_t> zeros;
    for (const JournalWrite& write : journal.writes) {
        archive.WriteAt(write.offset, write.bytes);
        uint64_t at = write.offset + write.bytes.size();
        const uint64_t end = at + write.zeros;
        if (write.zeros > 0 && zeros.empty()) zeros.resize(size_t{1} << 20, 0);
        while (at < end) {
            const size_t part = static_cast<size_t>(std::min<uint64_t>(end - at, zeros.size()));
            archive.WriteAt(at, std::span<const uint8_t>(zeros.data(), part));
            at += part;
        }
        written += write.bytes.size() + write.zeros;
    }
    archive.Flush();
    return written;
}

Recovery RecoverInterruptedCommit(FileSystem& fs, const std::string& archivePath) {
    Recovery recovery = Recovery::None;
    const std::string rewritePath = RewritePath(archivePath);
    if (fs.Exists(rewritePath)) {
        fs.Remove(rewritePath);
        recovery = Recovery::RolledBack;
    }
    const std::string journalPath = JournalPath(archivePath);
    if (!fs.Exists(journalPath)) return recovery;

    std::optional<Journal> journal;
    {
        auto file = fs.Open(journalPath, OpenMode::Read);
        const uint64_t size = file->Size();
        // A journal never holds more than the archive it belongs to could.
        if (size <= format::kMaxArchiveBytes + (uint64_t{1} << 24)) {
            std::vector<uint8_t> bytes(static_cast<size_t>(size));
            if (!bytes.empty()) file->ReadAt(0, bytes);
            journal = DecodeJournal(bytes);
        }
    }
    recovery = Recovery::RolledBack;
    if (journal) {
        auto archive = fs.Open(archivePath, OpenMode::ReadWrite);
        const uint64_t size = archive->Size();
        // A journal whose sizes do not fit this file was left beside some
        // other archive; applying it would do harm. (An in-place commit
        // never shrinks the archive.)
        if (size >= journal->oldSize && size <= journal->newSize) {
            ApplyJournal(*archive, *journal);
            recovery = Recovery::Completed;
        }
    }
    fs.Remove(journalPath);
    return recovery;
}

}  // namespace veltrin::archive
