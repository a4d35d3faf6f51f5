// Any bytes as the body of a folder's install record (Backups\Install.record,
// which comes from outside: a mod's folder, often out of a zip made on
// another computer). The fuzzer seals what it makes as the writer does (the
// record's mark, the version the first byte picks, the SHA-256 seal), so the
// decoder behind the seal is reached. The reader either refuses the record
// with a RecordError or returns one that writes back and reads back the
// same; a record of a version it does not read, or one torn or changed after
// its seal, is always refused.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "archive/sha256.h"
#include "tool/runs/install_record.h"

namespace {

using veltrin::tool::DecodeRecord;
using veltrin::tool::EncodeRecord;
using veltrin::tool::InstallRecord;
using veltrin::tool::RecordError;
using Bytes = std::vector<uint8_t>;

constexpr std::string_view kMark = "VeltrinRecord\r\n\x1a";
constexpr std::string_view kFolder = R"(D:\Mod Folder\Backups)";
// The versions this tool reads; the first byte picks one, or one it does not.
constexpr uint32_t kKnownVersions[] = {5, 4, 3, 2, 1};

// A property that does not hold names its line and stops the run.
void Check(bool holds, int line = __builtin_LINE()) {
    if (holds) return;
    std::fprintf(stderr, "check on line %d does not hold\n", line);
    std::abort();
}

uint32_t VersionPicked(uint8_t pick) { return pick % 6 < 5 ? kKnownVersions[pick % 6] : 6u + pick / 6u; }

bool IsKnown(uint32_t version) {
    return std::find(std::begin(kKnownVersions), std::end(kKnownVersions), version) != std::end(kKnownVersions);
}

Bytes Sealed(uint32_t version, std::span<const uint8_t> body) {
    Bytes bytes(kMark.begin(), kMark.end());
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(version >> (8 * i)));
    bytes.insert(bytes.end(), body.begin(), body.end());
    const auto seal = veltrin::archive::Sha256Of(bytes);
    bytes.insert(bytes.end(), seal.begin(), seal.end());
    return bytes;
}

bool Refused(std::span<const uint8_t> bytes, std::string_view folder) {
    try {
        (void)DecodeRecord(bytes, folder);
        return false;
    } catch (const RecordError&) {
        return true;
    }
}

bool SameRecord(const InstallRecord& a, const InstallRecord& b) {
    if (a.computer != b.computer || a.archives.size() != b.archives.size()) return false;
    for (size_t i = 0; i < a.archives.size(); ++i) {
        const auto& x = a.archives[i];
        const auto& y = b.archives[i];
        if (x.path != y.path || x.layoutNotKept != y.layoutNotKept || x.found != y.found || x.left != y.left ||
            x.entries != y.entries || x.layout.has_value() != y.layout.has_value())
            return false;
        if (x.layout && (x.layout->front != y.layout->front || x.layout->tail != y.layout->tail ||
                         x.layout->fileSize != y.layout->fileSize))
            return false;
    }
    return true;
}

// The seal this fuzzer makes is the writer's: an empty record written by the
// tool is the mark, version 5 and the seal around an empty body.
bool SealIsTheWriters() {
    const Bytes empty = EncodeRecord(InstallRecord{});
    const Bytes body(empty.begin() + static_cast<std::ptrdiff_t>(kMark.size() + 4), empty.end() - 32);
    return Sealed(5, body) == empty;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool sealIsTheWriters = SealIsTheWriters();
    Check(sealIsTheWriters);
    if (size == 0) return 0;
    const uint32_t version = VersionPicked(data[0]);
    const Bytes bytes = Sealed(version, std::span<const uint8_t>(data + 1, size - 1));

    // Torn anywhere in its seal, or a byte changed: refused.
    Check(Refused(std::span<const uint8_t>(bytes).first(bytes.size() - 1 - data[0] % 32), kFolder));
    Bytes changed = bytes;
    changed[(data[0] + size * 31) % changed.size()] ^= 0x5a;
    Check(Refused(changed, kFolder));

    // Without a folder, a record naming a backup inside it is refused; any
    // other outcome is a record or a refusal, never a fault.
    (void)Refused(bytes, {});

    InstallRecord record;
    std::optional<veltrin::tool::RecordSave> save;
    try {
        record = DecodeRecord(bytes, kFolder, &save);
    } catch (const RecordError&) {
        return 0;
    }
    Check(IsKnown(version));
    Check(version >= 4 || !save.has_value());
    // Written again with the save it names, it reads back the same, save
    // and all.
    const Bytes written = EncodeRecord(record, kFolder, save ? &*save : nullptr);
    std::optional<veltrin::tool::RecordSave> saveAgain;
    Check(SameRecord(DecodeRecord(written, kFolder, &saveAgain), record));
    Check(saveAgain == save);
    // Written whole (no folder), it reads back the same without one; read in
    // another folder, a backup it names lies outside that folder: refused.
    const Bytes whole = EncodeRecord(record);
    Check(SameRecord(DecodeRecord(whole, {}), record));
    bool namesBackup = false;
    for (const veltrin::tool::RecordedArchive& archive : record.archives)
        for (const veltrin::tool::RecordedEntry& entry : archive.entries)
            namesBackup = namesBackup || !entry.backup.empty();
    Check(Refused(whole, "E:\\Elsewhere") == namesBackup);
    return 0;
}
