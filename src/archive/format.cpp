#include "archive/format.h"

#include <algorithm>
#include <cstring>
#include <numeric>
#include <unordered_map>

#include "archive/free_entries.h"
#include "archive/names.h"

namespace veltrin::archive::format {
namespace {

constexpr uint8_t kMagic[4] = {'V', 'E', 'R', '2'};

std::string Quoted(const std::string& name) { return "\"" + name + "\""; }

}  // namespace

std::vector<uint8_t> EncodeHeader(uint64_t count) {
    std::vector<uint8_t> bytes(kHeaderSize);
    std::memcpy(bytes.data(), kMagic, sizeof kMagic);
    StoreLe32(bytes.data() + 4, static_cast<uint32_t>(count));
    return bytes;
}

std::vector<uint8_t> EncodeRecords(std::span<const Entry> entries) {
    std::vector<uint8_t> bytes(kEntrySize * entries.size(), 0);
    uint8_t* record = bytes.data();
    for (const Entry& entry : entries) {
        StoreLe32(record + offsetof(DirectoryRecord, offset), entry.offset);
        StoreLe16(record + offsetof(DirectoryRecord, streamingSize), static_cast<uint16_t>(entry.sectors));
        StoreLe16(record + offsetof(DirectoryRecord, archiveSize), 0);
        std::memcpy(record + offsetof(DirectoryRecord, name), entry.name.data(),
                    std::min(entry.name.size(), kNameField - 1));
        record += kEntrySize;
    }
    return bytes;
}

bool SameRecord(const Entry& a, const Entry& b) {
    return a.offset == b.offset && a.sectors == b.sectors &&
           std::string_view(a.name).substr(0, kNameField - 1) == std::string_view(b.name).substr(0, kNameField - 1);
}

std::vector<uint8_t> EncodeDirectory(const std::vector<Entry>& entries) {
    std::vector<uint8_t> bytes = EncodeHeader(entries.size());
    const std::vector<uint8_t> records = EncodeRecords(entries);
    bytes.insert(bytes.end(), records.begin(), records.end());
    bytes.resize(DirectorySectors(entries.size()) * kSectorSize, 0);
    return bytes;
}

Scan ScanDirectory(File& file, uint64_t fileSize, bool full) {
    Scan scan;
    if (fileSize < kHeaderSize) {
        scan.fatal.push_back({ErrorKind::NotAnArchive, "The file is too short to be an archive."});
        return scan;
    }
    uint8_t header[kHeaderSize];
    file.ReadAt(0, header);
    if (std::memcmp(header, kMagic, sizeof kMagic) != 0) {
        scan.fatal.push_back({ErrorKind::NotAnArchive, "The file is not a version-2 (\"VER2\") archive."});
        return scan;
    }
    const uint64_t count = LoadLe32(header + 4);
    const uint64_t directoryEnd = DirectoryBytes(count);
    if (directoryEnd > fileSize) {
        scan.fatal.push_back({ErrorKind::Damaged, "The directory claims " + std::to_string(count) +
                                                      " entries, more than the file can hold."});
        return scan;
    }
    scan.directory.assign(header, header + kHeaderSize);
    scan.directory.resize(directoryEnd);
    if (directoryEnd > kHeaderSize)
        file.ReadAt(kHeaderSize, std::span<uint8_t>(scan.directory.data() + kHeaderSize, directoryEnd - kHeaderSize));
    const uint8_t* directory = scan.directory.data() + kHeaderSize;

    scan.entries.reserve(count);
    for (uint64_t i = 0; i < count; ++i) {
        const uint8_t* record = directory + i * kEntrySize;
        const char* nameField = reinterpret_cast<const char*>(record + offsetof(DirectoryRecord, name));
        const void* nul = std::memchr(nameField, 0, kNameField);
        Entry entry;
        entry.offset = LoadLe32(record + offsetof(DirectoryRecord, offset));
        entry.sectors = LoadLe16(record + offsetof(DirectoryRecord, streamingSize));
        const uint16_t archiveSize = LoadLe16(record + offsetof(DirectoryRecord, archiveSize));
        // Made only for a finding: scanning a sound directory builds no text.
        const auto where = [i] { return "Entry " + std::to_string(i + 1); };
        if (!nul) {
            entry.name.assign(nameField, kNameField);
            scan.fatal.push_back({ErrorKind::Damaged, where() + " has a name without its terminating NUL byte."});
        } else {
            entry.name.assign(nameField, static_cast<size_t>(static_cast<const char*>(nul) - nameField));
        }
        const uint64_t start = uint64_t{entry.offset} * kSectorSize;
        const uint64_t end = start + uint64_t{entry.sectors} * kSectorSize;
        if (end > fileSize) {
            scan.fatal.push_back(
                {ErrorKind::Damaged, where() + " (" + Quoted(entry.name) + ") reaches beyond the end of the file."});
        } else if (entry.sectors > 0 && start < directoryEnd) {
            scan.fatal.push_back(
                {ErrorKind::Damaged, where() + " (" + Quoted(entry.name) + ") starts inside the directory."});
        }
        if (full && archiveSize != 0 && archiveSize != entry.sectors)
            scan.findings.push_back({ErrorKind::Damaged, where() + " (" + Quoted(entry.name) +
                                                             ") has a size in archive that differs from its size."});
        scan.entries.push_back(std::move(entry));
    }

    // Overlaps, in data order; entries without sectors take no room.
    std::vector<size_t> byOffset(scan.entries.size());
    std::iota(byOffset.begin(), byOffset.end(), size_t{0});
    const auto earlier = [&](size_t a, size_t b) { return scan.entries[a].offset < scan.entries[b].offset; };
    if (!std::is_sorted(byOffset.begin(), byOffset.end(), earlier))
        std::stable_sort(byOffset.begin(), byOffset.end(), earlier);
    uint64_t reached = 0;
    size_t reachedBy = 0;
    bool any = false;
    for (size_t index : byOffset) {
        const Entry& entry = scan.entries[index];
        if (entry.sectors == 0) continue;
        const uint64_t end = uint64_t{entry.offset} + entry.sectors;
        if (any && entry.offset < reached) {
            scan.fatal.push_back({ErrorKind::Damaged, "Entries " + Quoted(scan.entries[reachedBy].name) + " and " +
                                                          Quoted(entry.name) + " overlap."});
            break;
        }
        if (end > reached) {
            reached = end;
            reachedBy = index;
        }
        any = true;
    }
    if (!full || !scan.fatal.empty()) return scan;

    std::unordered_map<std::string, size_t> seen;
    for (size_t i = 0; i < scan.entries.size(); ++i) {
        const Entry& entry = scan.entries[i];
        const auto where = [&] { return "Entry " + std::to_string(i + 1) + " (" + Quoted(entry.name) + ")"; };
        if (const std::string problem = NameProblem(entry.name); !problem.empty() && !IsFreeEntry(entry))
            scan.findings.push_back({ErrorKind::BadName, where() + ": " + problem});
        const auto [it, added] = seen.emplace(FoldedName(entry.name), i);
        if (!added)
            scan.findings.push_back(
                {ErrorKind::Damaged, where() + " has the same name as entry " + std::to_string(it->second + 1) + "."});
    }
    // The game sizes its streaming buffer by the largest entry of all: free
    // space must never make it larger.
    uint32_t largest = 0;
    for (const Entry& entry : scan.entries)
        if (!IsFreeEntry(entry)) largest = std::max(largest, entry.sectors);
    for (const Entry& entry : scan.entries)
        if (IsFreeEntry(entry) && entry.sectors > largest)
            scan.findings.push_back({ErrorKind::Damaged, "The free entry " + Quoted(entry.name) + " (" +
                                                             std::to_string(entry.sectors) +
                                                             " sectors) is larger than the largest entry (" +
                                                             std::to_string(largest) + " sectors)."});
    // The game reads neighbours in one go: data must follow the directory's
    // order with nothing between one entry and the next.
    const Entry* previous = nullptr;
    for (const Entry& entry : scan.entries) {
        if (entry.sectors == 0) continue;
        if (previous) {
            const uint64_t previousEnd = uint64_t{previous->offset} + previous->sectors;
            if (entry.offset < previousEnd) {
                scan.findings.push_back({ErrorKind::Damaged, Quoted(entry.name) + " is stored before " +
                                                                 Quoted(previous->name) +
                                                                 ", which comes earlier in the directory."});
            } else if (entry.offset > previousEnd) {
                scan.findings.push_back({ErrorKind::Damaged, "There are " + std::to_string(entry.offset - previousEnd) +
                                                                 " unused sectors between " + Quoted(previous->name) +
                                                                 " and " + Quoted(entry.name) + "."});
            }
        }
        previous = &entry;
    }
    return scan;
}

}  // namespace veltrin::archive::format
