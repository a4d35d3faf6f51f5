#include "testing/journal_bytes.h"

#include "archive/commit.h"
#include "archive/sha256.h"

namespace veltrin::archive::testing {
namespace {

const std::string kScratch = "journal-bytes.img";

}  // namespace

std::vector<uint8_t> EncodeJournal(const Journal& journal, MemoryFileSystem& fs,
                                   const std::vector<uint8_t>& archiveBefore) {
    fs.SetFile(kScratch,
               archiveBefore.empty() ? std::vector<uint8_t>(static_cast<size_t>(journal.oldSize)) : archiveBefore);
    {
        // Writable: a journal that grows the archive writes its growth into it.
        auto archive = fs.Open(kScratch, OpenMode::ReadWrite);
        WriteJournal(fs, kScratch, journal, *archive).reset();
    }
    std::vector<uint8_t> bytes = fs.Contents(JournalPath(kScratch));
    fs.Remove(JournalPath(kScratch));
    fs.Remove(kScratch);
    return bytes;
}

std::vector<uint8_t> WordSealed(std::vector<uint8_t> bytes) {
    const size_t body = bytes.size() - 12;  // the seal and the end mark follow
    bytes[4] = 2;
    constexpr uint64_t kPrime = 0x100000001b3ull;
    uint64_t hash = 0xcbf29ce484222325ull ^ body;
    size_t at = 0;
    for (; at + 8 <= body; at += 8) {
        uint64_t word = 0;
        for (size_t i = 8; i-- > 0;) word = word << 8 | bytes[at + i];
        hash = (hash ^ word) * kPrime;
    }
    for (; at < body; ++at) hash = (hash ^ bytes[at]) * kPrime;
    for (size_t i = 0; i < 8; ++i) bytes[body + i] = static_cast<uint8_t>(hash >> (8 * i));
    return bytes;
}

std::vector<uint8_t> DigestSealed(const std::vector<uint8_t>& bytes) {
    const size_t body = bytes.size() - 12;
    std::vector<uint8_t> sealed(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(body));
    sealed[4] = 2;
    const Digest digest = Sha256Of(sealed);
    sealed.insert(sealed.end(), digest.begin(), digest.end());
    sealed.insert(sealed.end(), bytes.end() - 4, bytes.end());
    return sealed;
}

std::optional<Journal> DecodeJournal(const std::vector<uint8_t>& bytes) {
    MemoryFileSystem fs;
    fs.SetFile(JournalPath(kScratch), bytes);
    auto file = fs.Open(JournalPath(kScratch), OpenMode::Read);
    std::optional<Journal> journal = ReadJournal(*file);
    if (!journal) return journal;
    // The data stays in the file; applied to an archive, it lands where each
    // write says, and is read back from there.
    fs.SetFile(kScratch, std::vector<uint8_t>(static_cast<size_t>(journal->oldSize)));
    auto archive = fs.Open(kScratch, OpenMode::ReadWrite);
    ApplyJournal(*archive, *journal, *file);
    for (JournalWrite& write : journal->writes) {
        write.bytes.resize(static_cast<size_t>(write.length));
        if (!write.bytes.empty()) archive->ReadAt(write.offset, write.bytes);
    }
    return journal;
}

}  // namespace veltrin::archive::testing
