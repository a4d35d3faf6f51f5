#include "tool/runs/originals_store.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "archive/sha256.h"
#include "text/path_text.h"
#include "tool/common/platform.h"

namespace veltrin::tool {
namespace {

std::set<std::string> Referred(const GameRecord& record) {
    std::set<std::string> hex;
    for (const GameInstall& install : record.installs)
        for (const InstallLayer& layer : install.entries)
            if (layer.before) hex.insert(archive::HexOf(layer.before->digest));
    return hex;
}

char SeparatorOf(const std::string& path) {
    const size_t last = path.find_last_of("\\/");
    return last == std::string::npos ? PathSeparator() : path[last];
}

}  // namespace

std::string OriginalsFolderFor(const std::string& archivePath) { return archivePath + std::string(kOriginalsSuffix); }

OriginalsStore::OriginalsStore(archive::FileSystem& fs, const std::string& archivePath)
    : fs_(fs), folder_(OriginalsFolderFor(archivePath)), separator_(SeparatorOf(archivePath)) {}

std::string OriginalsStore::PathOf(const StoredContent& content) const {
    return folder_ + separator_ + archive::HexOf(content.digest);
}

bool OriginalsStore::Has(const StoredContent& content) {
    const std::string path = PathOf(content);
    if (toWrite_.count(path)) return true;
    if (!fs_.Exists(path)) return false;
    return fs_.Open(path, archive::OpenMode::Read)->Size() == content.size;
}

StoredContent OriginalsStore::Keep(const archive::Archive& archive, const archive::Entry& entry) {
    archive::Sha256 sum;
    archive.ReadPieces(entry, [&](std::span<const uint8_t> piece) {
        sum.Add(piece);
        return true;
    });
    const StoredContent content{uint64_t{entry.sectors} * archive::kSectorSize, sum.Finish()};
    if (!Has(content))
        toWrite_[PathOf(content)] = [&archive, entry](archive::File& file) { archive.CopyTo(entry, file); };
    return content;
}

StoredContent OriginalsStore::KeepFile(const std::string& path) {
    const std::unique_ptr<archive::File> file = fs_.Open(path, archive::OpenMode::Read);
    const uint64_t size = file->Size();
    archive::Sha256 sum;
    std::vector<uint8_t> piece(static_cast<size_t>(std::min(size, archive::kReadPiece)));
    for (uint64_t at = 0; at < size; at += piece.size()) {
        const auto take = static_cast<size_t>(std::min<uint64_t>(piece.size(), size - at));
        file->ReadAt(at, {piece.data(), take});
        sum.Add({piece.data(), take});
    }
    const StoredContent content{size, sum.Finish()};
    if (!Has(content))
        toWrite_[PathOf(content)] = [this, path, size](archive::File& copy) {
            copy.CopyFrom(*fs_.Open(path, archive::OpenMode::Read), 0, 0, size);
        };
    return content;
}

bool OriginalsStore::HoldsPut(const StoredContent& content, const PutData& put) {
    if (content.size < put.size || toWrite_.count(PathOf(content)) || !Has(content)) return false;
    const std::unique_ptr<archive::File> file = fs_.Open(PathOf(content), archive::OpenMode::Read);
    archive::Sha256 sum;
    std::vector<uint8_t> piece(static_cast<size_t>(std::min(content.size, archive::kReadPiece)));
    bool zeros = true;
    for (uint64_t at = 0; at < content.size; at += piece.size()) {
        const auto take = static_cast<size_t>(std::min<uint64_t>(piece.size(), content.size - at));
        file->ReadAt(at, {piece.data(), take});
        const uint64_t data = at < put.size ? std::min<uint64_t>(take, put.size - at) : 0;
        sum.Add({piece.data(), static_cast<size_t>(data)});
        zeros =
            zeros && std::all_of(piece.begin() + static_cast<std::ptrdiff_t>(data),
                                 piece.begin() + static_cast<std::ptrdiff_t>(take), [](uint8_t b) { return b == 0; });
    }
    return zeros && sum.Finish() == put.digest;
}

void OriginalsStore::Publish() {
    if (toWrite_.empty()) return;
    PublishGroup group(fs_);
    for (const auto& [path, fill] : toWrite_) group.WriteWith(path, fill);
    toWrite_.clear();
    group.Publish();
}

int OriginalsStore::RemoveUnused(const GameRecord& before, const GameRecord& now) {
    const std::set<std::string> kept = Referred(now);
    int removed = 0;
    for (const std::string& hex : Referred(before)) {
        if (kept.count(hex)) continue;
        const std::string path = folder_ + separator_ + hex;
        for (const std::string& file : {path, path + std::string(kScratchSuffix)})
            if (fs_.Exists(file)) {
                fs_.Remove(file);
                ++removed;
            }
    }
    if (removed > 0) fs_.FlushFolder(folder_);
    return removed;
}

}  // namespace veltrin::tool
