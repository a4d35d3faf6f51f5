#include "tool/runs/originals_store.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "archive/sha256.h"
#include "tool/common/platform.h"

namespace veltrin::tool {
namespace {

// The store's files records refer to: contents' own files by SHA-256 (hex),
// and packs by name.
struct Referred {
    std::set<std::string> own;
    std::set<std::string> packs;
};

Referred ReferredBy(const std::vector<const GameRecord*>& records) {
    Referred referred;
    for (const GameRecord* record : records)
        for (const GameInstall& install : record->installs)
            for (const InstallLayer& layer : install.entries) {
                if (!layer.before) continue;
                if (layer.before->pack.empty())
                    referred.own.insert(archive::HexOf(layer.before->digest));
                else
                    referred.packs.insert(layer.before->pack);
            }
    return referred;
}

// How many layers of the record refer to each content.
std::map<StoredContent, int> LayersOf(const GameRecord& record) {
    std::map<StoredContent, int> layers;
    for (const GameInstall& install : record.installs)
        for (const InstallLayer& layer : install.entries)
            if (layer.before) ++layers[*layer.before];
    return layers;
}

constexpr std::string_view kKeptSuffix = ".kept";

StoredContent OwnFileOf(const StoredContent& content) { return {content.size, content.digest, {}, 0}; }

char SeparatorOf(const std::string& path) {
    const size_t last = path.find_last_of("\\/");
    return last == std::string::npos ? PathSeparator() : path[last];
}

}  // namespace

std::string OriginalsFolderFor(const std::string& archivePath) { return archivePath + std::string(kOriginalsSuffix); }

OriginalsStore::OriginalsStore(archive::FileSystem& fs, const std::string& archivePath)
    : fs_(fs), folder_(OriginalsFolderFor(archivePath)), separator_(SeparatorOf(archivePath)) {}

void OriginalsStore::Know(const GameRecord& record) {
    for (const GameInstall& install : record.installs)
        for (const InstallLayer& layer : install.entries)
            if (layer.before && !layer.before->pack.empty()) {
                known_.try_emplace(archive::HexOf(layer.before->digest), *layer.before);
                packsKnown_.insert(layer.before->pack);
            }
}

const StoredContent* OriginalsStore::Find(const StoredContent& content) const {
    const std::string hex = archive::HexOf(content.digest);
    for (const auto* where : {&waiting_, &known_})
        if (const auto found = where->find(hex); found != where->end() && found->second.size == content.size)
            return &found->second;
    return nullptr;
}

StoredContent OriginalsStore::Located(uint64_t size, const archive::Digest& digest) const {
    const StoredContent own{size, digest, {}, 0};
    const StoredContent* found = Find(own);
    return found ? *found : own;
}

std::string OriginalsStore::PathOf(const StoredContent& content) const {
    return folder_ + separator_ + (content.pack.empty() ? archive::HexOf(content.digest) : content.pack);
}

archive::FilePart OriginalsStore::PartOf(const StoredContent& content) const {
    return {PathOf(content), content.offset, content.size};
}

std::string OriginalsStore::PlaceOf(const StoredContent& content) const {
    if (content.pack.empty()) return PathOf(content);
    return PathOf(content) + " (" + std::to_string(content.size) + " bytes from byte " +
           std::to_string(content.offset) + ")";
}

bool OriginalsStore::Has(const StoredContent& content) {
    if (const auto waiting = waiting_.find(archive::HexOf(content.digest));
        waiting != waiting_.end() && waiting->second == content)
        return true;
    if (content.pack.empty() && ownFiles_.count(PathOf(content))) return true;
    const std::string path = PathOf(content);
    if (!fs_.Exists(path)) return false;
    const uint64_t size = fs_.Open(path, archive::OpenMode::Read)->Size();
    return content.pack.empty() ? size == content.size : size >= content.offset + content.size;
}

StoredContent OriginalsStore::Add(StoredContent content, std::function<void(archive::File&, uint64_t at)> fill) {
    if (pack_.empty()) {
        // Never the name of a pack a record knows or one still on the disk.
        std::string name = archive::HexOf(content.digest);
        while (packsKnown_.count(name + std::string(kPackSuffix)) ||
               fs_.Exists(folder_ + separator_ + name + std::string(kPackSuffix)))
            name = archive::HexOf(archive::Sha256Of({reinterpret_cast<const uint8_t*>(name.data()), name.size()}));
        pack_ = name + std::string(kPackSuffix);
    }
    content.pack = pack_;
    content.offset = packed_;
    packed_ += content.size;
    waiting_[archive::HexOf(content.digest)] = content;
    toWrite_.push_back([fill = std::move(fill), at = content.offset](archive::File& pack) { fill(pack, at); });
    return content;
}

StoredContent OriginalsStore::Keep(const archive::Archive& archive, const archive::Entry& entry) {
    archive::Sha256 sum;
    archive.ReadPieces(entry, [&](std::span<const uint8_t> piece) {
        sum.Add(piece);
        return true;
    });
    const StoredContent content = Located(uint64_t{entry.sectors} * archive::kSectorSize, sum.Finish());
    if (Has(content)) return content;
    return Add(content, [&archive, entry](archive::File& pack, uint64_t at) { archive.CopyTo(entry, pack, at); });
}

StoredContent OriginalsStore::KeepFile(const std::string& path, bool ownFile) {
    const std::unique_ptr<archive::File> file = fs_.Open(path, archive::OpenMode::Read);
    const uint64_t size = file->Size();
    archive::Sha256 sum;
    std::vector<uint8_t> piece(static_cast<size_t>(std::min(size, archive::kReadPiece)));
    for (uint64_t at = 0; at < size; at += piece.size()) {
        const auto take = static_cast<size_t>(std::min<uint64_t>(piece.size(), size - at));
        file->ReadAt(at, {piece.data(), take});
        sum.Add({piece.data(), take});
    }
    const StoredContent content = Located(size, sum.Finish());
    if (Has(content)) return content;
    const auto copy = [this, path, size](archive::File& into, uint64_t at) {
        into.CopyFrom(*fs_.Open(path, archive::OpenMode::Read), 0, at, size);
    };
    if (!ownFile) return Add(content, copy);
    const StoredContent own = OwnFileOf(content);
    if (!Has(own)) ownFiles_[PathOf(own)] = [copy](archive::File& into) { copy(into, 0); };
    return own;
}

bool OriginalsStore::HoldsPut(const StoredContent& content, const PutData& put) {
    if (content.size < put.size || waiting_.count(archive::HexOf(content.digest)) || !Has(content)) return false;
    const std::unique_ptr<archive::File> file = fs_.Open(PathOf(content), archive::OpenMode::Read);
    archive::Sha256 sum;
    std::vector<uint8_t> piece(static_cast<size_t>(std::min(content.size, archive::kReadPiece)));
    bool zeros = true;
    for (uint64_t at = 0; at < content.size; at += piece.size()) {
        const auto take = static_cast<size_t>(std::min<uint64_t>(piece.size(), content.size - at));
        file->ReadAt(content.offset + at, {piece.data(), take});
        const uint64_t data = at < put.size ? std::min<uint64_t>(take, put.size - at) : 0;
        sum.Add({piece.data(), static_cast<size_t>(data)});
        zeros =
            zeros && std::all_of(piece.begin() + static_cast<std::ptrdiff_t>(data),
                                 piece.begin() + static_cast<std::ptrdiff_t>(take), [](uint8_t b) { return b == 0; });
    }
    return zeros && sum.Finish() == put.digest;
}

void OriginalsStore::CopyTo(const StoredContent& content, archive::File& target) {
    target.CopyFrom(*fs_.Open(PathOf(content), archive::OpenMode::Read), content.offset, 0, content.size);
}

std::string OriginalsStore::KeptPlaceOf(const StoredContent& content) {
    const std::string path = folder_ + separator_ + archive::HexOf(content.digest) + std::string(kKeptSuffix);
    if (ownFiles_.count(path)) return path;
    if (!fs_.Exists(path) || fs_.Open(path, archive::OpenMode::Read)->Size() != content.size) return {};
    return path;
}

void OriginalsStore::KeepLetGo(const GameRecord& before, const GameRecord& after) {
    const std::map<StoredContent, int> kept = LayersOf(after);
    for (const auto& [content, layers] : LayersOf(before)) {
        const auto still = kept.find(content);
        if (still != kept.end() && still->second >= layers) continue;
        if (!KeptPlaceOf(content).empty() || !Has(content)) continue;  // kept already, or lost before
        ownFiles_[folder_ + separator_ + archive::HexOf(content.digest) + std::string(kKeptSuffix)] =
            [this, from = content](archive::File& file) { CopyTo(from, file); };
    }
}

void OriginalsStore::Publish() {
    if (toWrite_.empty() && ownFiles_.empty()) return;
    const std::vector<std::function<void(archive::File&)>> fills = std::move(toWrite_);
    const std::string path = folder_ + separator_ + pack_;
    std::map<std::string, StoredContent> written = std::move(waiting_);
    const std::map<std::string, std::function<void(archive::File&)>> ownFiles = std::move(ownFiles_);
    toWrite_.clear();
    waiting_.clear();
    ownFiles_.clear();
    pack_.clear();
    packed_ = 0;
    PublishGroup group(fs_);
    if (!fills.empty())
        group.WriteWith(path, [&](archive::File& pack) {
            for (const auto& fill : fills) fill(pack);
        });
    for (const auto& [own, fill] : ownFiles) group.WriteWith(own, fill);
    group.Publish();
    if (!fills.empty()) packsKnown_.insert(path.substr(folder_.size() + 1));
    known_.merge(written);
}

int OriginalsStore::RemoveUnused(const std::vector<const GameRecord*>& before,
                                 const std::vector<const GameRecord*>& after) {
    const Referred was = ReferredBy(before);
    const Referred is = ReferredBy(after);
    int removed = 0;
    const auto remove = [&](const std::string& file) {
        if (!fs_.Exists(file)) return;
        fs_.Remove(file);
        ++removed;
    };
    for (const std::string& hex : was.own) {
        if (is.own.count(hex)) continue;
        const std::string path = folder_ + separator_ + hex;
        remove(path);
        remove(path + std::string(kScratchSuffix));
    }
    for (const std::string& pack : was.packs) {
        if (is.packs.count(pack)) continue;
        const std::string path = folder_ + separator_ + pack;
        remove(path);
        remove(path + std::string(kScratchSuffix));
    }
    if (removed > 0) fs_.FlushFolder(folder_);
    return removed;
}

}  // namespace veltrin::tool
