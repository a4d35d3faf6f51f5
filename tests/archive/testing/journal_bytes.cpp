#include "testing/journal_bytes.h"

#include "archive/commit.h"

namespace veltrin::archive::testing {
namespace {

const std::string kScratch = "journal-bytes.img";

}  // namespace

std::vector<uint8_t> EncodeJournal(const Journal& journal, MemoryFileSystem& fs,
                                   const std::vector<uint8_t>& archiveBefore) {
    fs.SetFile(kScratch,
               archiveBefore.empty() ? std::vector<uint8_t>(static_cast<size_t>(journal.oldSize)) : archiveBefore);
    {
        auto archive = fs.Open(kScratch, OpenMode::Read);
        WriteJournal(fs, kScratch, journal, *archive).reset();
    }
    std::vector<uint8_t> bytes = fs.Contents(JournalPath(kScratch));
    fs.Remove(JournalPath(kScratch));
    fs.Remove(kScratch);
    return bytes;
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
