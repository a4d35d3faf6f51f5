// Feeds arbitrary bytes to the archive reader: as an archive, and as a
// journal left beside a sound archive. Whatever opens must read, check and
// take a commit, and read back what was committed.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "archive/archive.h"
#include "testing/memory_file_system.h"

namespace {

using namespace veltrin::archive;
using veltrin::archive::testing::MemoryFileSystem;

const std::string kPath = "gta3.img";

void Check(bool condition) {
    if (!condition) std::abort();
}

void ExerciseArchive(MemoryFileSystem& fs) {
    Archive archive = Archive::Open(kPath, fs);
    for (const Entry& entry : archive.Entries()) {
        const std::vector<uint8_t> bytes = archive.Read(entry);
        Check(bytes.size() == uint64_t{entry.sectors} * kSectorSize);
    }
    (void)Verify(kPath, fs);
    const std::vector<uint8_t> added(100, 0x5A);
    archive.Put("fuzz.dff", added);
    archive.Commit();
    const Archive again = Archive::Open(kPath, fs);
    const Entry* entry = again.Find("fuzz.dff");
    Check(entry != nullptr);
    const std::vector<uint8_t> stored = again.Read(*entry);
    Check(stored.size() >= added.size() && std::equal(added.begin(), added.end(), stored.begin()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    MemoryFileSystem fs;
    std::vector<uint8_t> bytes(data + 1, data + size);
    if (data[0] & 1) {
        // A journal beside a sound two-entry archive.
        {
            Archive archive = Archive::Create(kPath, fs);
            archive.Put("a.dff", std::vector<uint8_t>(3000, 1));
            archive.Put("b.txd", std::vector<uint8_t>(100, 2));
            archive.Commit();
        }
        fs.SetFile(kPath + ".journal", std::move(bytes));
    } else {
        fs.SetFile(kPath, std::move(bytes));
    }
    try {
        ExerciseArchive(fs);
    } catch (const ArchiveError&) {
        // Refusing is fine; crashing, leaking or reading out of bounds is not.
    }
    return 0;
}
