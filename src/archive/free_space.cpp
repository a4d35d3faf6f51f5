#include "archive/free_space.h"

#include "archive/archive_error.h"

namespace veltrin::archive {
namespace {

constexpr uint64_t kKilobyte = uint64_t{1} << 10;
constexpr uint64_t kMegabyte = uint64_t{1} << 20;

// Rounded up or down: bytes below 1 KB, whole KB below 1 MB, tenths of a
// MB below 10 MB, whole MB from there on.
std::string SizeText(uint64_t bytes, bool up) {
    const auto in = [&](uint64_t unit) { return (bytes + (up ? unit - 1 : 0)) / unit; };
    if (bytes < kKilobyte) return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
    if (in(kKilobyte) < kKilobyte) return std::to_string(in(kKilobyte)) + " KB";
    const uint64_t tenths = (bytes * 10 + (up ? kMegabyte - 1 : 0)) / kMegabyte;
    if (tenths < 100) return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " MB";
    return std::to_string(in(kMegabyte)) + " MB";
}

}  // namespace

void RequireFreeSpace(FileSystem& fs, const std::string& path, uint64_t needed, bool upTo) {
    const uint64_t free = fs.FreeSpace(path);
    // What is needed rounded up and what is free rounded down: the figures
    // never make the shortage look like none.
    if (free < needed)
        throw ArchiveError(ErrorKind::DiskFull, path,
                           std::string(upTo ? "the change needs up to " : "the change needs ") +
                               SizeText(needed, true) + " and only " + SizeText(free, false) +
                               (free < kKilobyte && free != 1 ? " are free" : " is free"));
}

}  // namespace veltrin::archive
