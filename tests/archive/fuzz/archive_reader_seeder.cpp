// Writes the seed corpus of the archive reader fuzzer into the folder given:
// sound archives, damaged ones, and journals (each input's first byte picks
// archive, even, or journal, odd).
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/journal.h"
#include "archive_builder.h"
#include "testing/journal_bytes.h"
#include "testing/memory_file_system.h"

namespace {

using namespace veltrin::archive;
using testing::EncodeJournal;
using testing::MemoryFileSystem;
using testing::Pattern;
using testing::RawArchive;

void Write(const std::string& folder, const std::string& name, uint8_t mode, const std::vector<uint8_t>& bytes) {
    std::ofstream out(folder + "/" + name, std::ios::binary);
    out.put(static_cast<char>(mode));
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> Made(const std::vector<std::pair<std::string, size_t>>& entries) {
    MemoryFileSystem fs;
    Archive archive = Archive::Create("seed.img", fs);
    uint32_t seed = 1;
    for (const auto& [name, size] : entries) archive.Put(name, Pattern(size, seed++));
    archive.Commit();
    return fs.Contents("seed.img");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
        return 2;
    }
    const std::string folder = argv[1];
    Write(folder, "empty", 0, Made({}));
    Write(folder, "example", 0, Made({{"a.dff", 3000}, {"b.txd", 100}}));
    Write(folder, "several", 0, Made({{"x.dff", 1}, {"Y.TXD", 2048}, {"z.dff", 5000}, {"w.txd", 0}}));
    Write(folder, "hole", 0, RawArchive({{"a.dff", 1, 1}, {"b.dff", 3, 1}}, 4 * 2048));
    Write(folder, "overlap", 0, RawArchive({{"a.dff", 1, 2}, {"b.dff", 2, 1}}, 4 * 2048));
    Write(folder, "beyond", 0, RawArchive({{"a.dff", 1, 9}}, 2 * 2048));
    Write(folder, "duplicate", 0, RawArchive({{"a.dff", 1, 1}, {"A.DFF", 2, 1}}, 3 * 2048));
    Write(folder, "version1", 0, RawArchive({{"a.dff", 1, 1}}, 2 * 2048, "VER1"));

    Journal journal;
    journal.oldSize = 4 * 2048;
    journal.newSize = 5 * 2048;
    journal.writes.push_back({0, std::vector<uint8_t>{'V', 'E', 'R', '2', 3, 0, 0, 0}});
    journal.writes.push_back({4 * 2048, Pattern(2048, 9)});
    MemoryFileSystem files;  // the journal's data is all in it
    Write(folder, "journal", 1, EncodeJournal(journal, files));
    Write(folder, "journal-word-sealed", 1, testing::WordSealed(EncodeJournal(journal, files)));
    Write(folder, "journal-digest-sealed", 1, testing::DigestSealed(EncodeJournal(journal, files)));
    std::vector<uint8_t> torn = EncodeJournal(journal, files);
    torn.resize(torn.size() / 2);
    Write(folder, "journal-torn", 1, torn);
    // Of a commit that grows the archive: sealed, and its intent alone.
    Journal growing = journal;
    growing.guarded = 8;
    MarkGrowth(growing);
    const std::vector<uint8_t> grown = EncodeJournal(growing, files);
    Write(folder, "journal-growth", 1, grown);
    Write(folder, "journal-growth-intent", 1, std::vector<uint8_t>(grown.begin(), grown.end() - 12 - 4 * 16));
    return 0;
}
