#include "archive/free_space.h"

#include "archive/archive_error.h"

namespace veltrin::archive {
namespace {

constexpr uint64_t kMegabyte = uint64_t{1} << 20;

// In MB, rounded up or down: tenths below 10 MB, whole ones from there on.
std::string Megabytes(uint64_t bytes, bool up) {
    const uint64_t tenths = (bytes * 10 + (up ? kMegabyte - 1 : 0)) / kMegabyte;
    if (tenths < 100) return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " MB";
    return std::to_string((bytes + (up ? kMegabyte - 1 : 0)) / kMegabyte) + " MB";
}

}  // namespace

void RequireFreeSpace(FileSystem& fs, const std::string& path, uint64_t needed) {
    const uint64_t free = fs.FreeSpace(path);
    // What is needed rounded up and what is free rounded down: the figures
    // never make the shortage look like none.
    if (free < needed)
        throw ArchiveError(
            ErrorKind::DiskFull, path,
            "the change needs " + Megabytes(needed, true) + " and only " + Megabytes(free, false) + " is free");
}

}  // namespace veltrin::archive
