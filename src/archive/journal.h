#pragma once
// The redo journal of an in-place commit, `<archive>.journal` (commit.h,
// rules 6 to 8 and 10): every byte range the commit will write.
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

struct JournalWrite {
    uint64_t offset = 0;
    std::vector<uint8_t> bytes;
    uint64_t zeros = 0;  // zero bytes that follow the bytes (the padding of an entry's last sectors)
    // Staged data used in place of bytes, read when the journal is written,
    // so that large entries are neither copied nor held; it must outlive
    // the journal.
    const StagedData* staged = nullptr;
    // The data's length when it was read from a journal file and left there.
    uint64_t length = 0;

    [[nodiscard]] uint64_t Size() const {
        if (staged) return staged->Size();
        return bytes.empty() ? length : bytes.size();
    }
};

struct Journal {
    uint64_t oldSize = 0;  // the archive's size before the commit
    uint64_t newSize = 0;  // and after it
    std::vector<JournalWrite> writes;
};

// The journal in this file, or nothing when it is not a complete one. Its
// data is only checked, not held: ApplyJournal copies it from the file.
std::optional<Journal> ReadJournal(File& file);

// Writes the journal beside the archive and makes it durable (rule 6);
// returns it still open. progress, when given, hears of each piece written.
std::unique_ptr<File> WriteJournal(FileSystem& fs, const std::string& archivePath, const Journal& journal,
                                   const std::function<void(uint64_t bytes)>& progress = {});
// Applies every write of the journal to the archive, its data copied from
// the journal's file, and flushes the archive (rule 7).
uint64_t ApplyJournal(File& archive, const Journal& journal, File& journalFile,
                      const std::function<void(uint64_t bytes)>& progress = {});

}  // namespace veltrin::archive
