#include "tool/runs/game_record.h"

#include <algorithm>
#include <cstring>

#include "archive/archive_error.h"
#include "archive/names.h"
#include "text/ascii.h"
#include "text/path_text.h"
#include "tool/common/file_util.h"
#include "tool/common/publish_group.h"
#include "tool/runs/record_bytes.h"

namespace veltrin::tool {
namespace {

constexpr std::string_view kMark = "VeltrinInstalls\r\n\x1a";
// Version 2 writes an install's layout before it that is the record's own
// (the first install's, mostly) as a reference instead of a second copy;
// version 1 records are read too.
constexpr uint32_t kVersion = 2;
constexpr uint32_t kVersionWithoutShared = 1;
// An install's layout field: none, its own bytes, or the record's layout.
constexpr uint8_t kNoLayout = 0;
constexpr uint8_t kOwnLayout = 1;
constexpr uint8_t kRecordsLayout = 2;
constexpr size_t kSealSize = std::tuple_size_v<archive::Digest>;
// The layout of a stock gta3.img is about half a megabyte and an entry takes
// some 120 bytes; anything near this is no record of ours.
constexpr uint64_t kMaxBytes = uint64_t{256} << 20;

using Writer = RecordWriter;
using Reader = RecordReader;

void WriteLayout(Writer& out, const std::optional<archive::Layout>& layout) {
    out.Flag(layout.has_value());
    if (!layout) return;
    out.Number(layout->fileSize, 8);
    out.Number(layout->front.size(), 8);
    out.Raw(layout->front);
    out.Number(layout->tail.size(), 8);
    out.Raw(layout->tail);
}

archive::Layout ReadLayoutBody(Reader& in) {
    archive::Layout layout;
    layout.fileSize = in.Number(8);
    const auto front = in.Raw(in.Number(8));
    layout.front.assign(front.begin(), front.end());
    const auto tail = in.Raw(in.Number(8));
    layout.tail.assign(tail.begin(), tail.end());
    return layout;
}

std::optional<archive::Layout> ReadLayout(Reader& in) {
    if (!in.Flag()) return std::nullopt;
    return ReadLayoutBody(in);
}

bool SameLayout(const std::optional<archive::Layout>& a, const std::optional<archive::Layout>& b) {
    if (!a || !b) return a.has_value() == b.has_value();
    return a->fileSize == b->fileSize && a->front == b->front && a->tail == b->tail;
}

// An install's layout before it: the record's layout is named, not repeated.
void WriteLayoutBefore(Writer& out, const std::optional<archive::Layout>& layout,
                       const std::optional<archive::Layout>& recordLayout) {
    if (layout && recordLayout && SameLayout(layout, recordLayout)) {
        out.Number(kRecordsLayout, 1);
        return;
    }
    WriteLayout(out, layout);
}

std::optional<archive::Layout> ReadLayoutBefore(Reader& in, uint64_t version,
                                                const std::optional<archive::Layout>& recordLayout) {
    if (version == kVersionWithoutShared) return ReadLayout(in);
    switch (in.Number(1)) {
        case kNoLayout:
            return std::nullopt;
        case kOwnLayout:
            return ReadLayoutBody(in);
        case kRecordsLayout:
            if (!recordLayout) throw RecordError("an install refers to a layout the record does not hold");
            return recordLayout;
        default:
            throw RecordError("an install's layout field holds an unknown kind");
    }
}

void WriteInstall(Writer& out, const GameInstall& install, const std::optional<archive::Layout>& recordLayout) {
    out.Number(install.folders.size(), 4);
    for (const std::string& folder : install.folders) out.Text(folder);
    out.Raw(install.modDigest);
    out.Text(install.computer);
    out.Number(install.time, 8);
    WriteLayoutBefore(out, install.layoutBefore, recordLayout);
    out.Number(install.entries.size(), 4);
    for (const InstallLayer& layer : install.entries) {
        out.Text(layer.name);
        out.Flag(layer.before.has_value());
        if (layer.before) {
            out.Number(layer.before->size, 8);
            out.Raw(layer.before->digest);
            out.Text(layer.beforeName);
        }
        out.Number(layer.put.size, 8);
        out.Raw(layer.put.digest);
    }
}

GameInstall ReadInstall(Reader& in, uint64_t version, const std::optional<archive::Layout>& recordLayout) {
    GameInstall install;
    for (uint32_t folders = in.Count(4); folders > 0; --folders) install.folders.push_back(in.Text());
    install.modDigest = in.Digest();
    install.computer = in.Text();
    install.time = in.Number(8);
    install.layoutBefore = ReadLayoutBefore(in, version, recordLayout);
    for (uint32_t entries = in.Count(4 + 1 + 8 + kSealSize); entries > 0; --entries) {
        InstallLayer layer;
        layer.name = in.Text();
        if (in.Flag()) {
            StoredContent before;
            before.size = in.Number(8);
            before.digest = in.Digest();
            layer.before = before;
            layer.beforeName = in.Text();
        }
        layer.put.size = in.Number(8);
        layer.put.digest = in.Digest();
        install.entries.push_back(std::move(layer));
    }
    return install;
}

template <typename Layers>
auto FindLayer(Layers& layers, std::string_view name) -> decltype(&layers.front()) {
    for (auto& layer : layers)
        if (archive::FoldedEqual{}(layer.name, name)) return &layer;
    return nullptr;
}

}  // namespace

std::string GameRecordPathFor(const std::string& archivePath) { return archivePath + std::string(kGameRecordSuffix); }

bool operator==(const GameInstall& a, const GameInstall& b) {
    return a.folders == b.folders && a.modDigest == b.modDigest && a.computer == b.computer && a.time == b.time &&
           SameLayout(a.layoutBefore, b.layoutBefore) && a.entries == b.entries;
}

bool GameInstall::From(std::string_view folder) const {
    return std::any_of(folders.begin(), folders.end(),
                       [&](const std::string& mine) { return text::EqualIgnoringAsciiCase(mine, folder); });
}

const InstallLayer* GameInstall::Find(std::string_view name) const { return FindLayer(entries, name); }
InstallLayer* GameInstall::Find(std::string_view name) { return FindLayer(entries, name); }

archive::Digest ModDigest(std::vector<ModFileDigest> files) {
    for (ModFileDigest& file : files) file.name = archive::FoldedName(file.name);
    std::sort(files.begin(), files.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
    std::vector<uint8_t> bytes;
    for (const ModFileDigest& file : files) {
        bytes.insert(bytes.end(), file.name.begin(), file.name.end());
        bytes.push_back(0);
        bytes.insert(bytes.end(), file.data.begin(), file.data.end());
    }
    return archive::Sha256Of(bytes);
}

std::vector<uint8_t> EncodeGameRecord(const GameRecord& record) {
    return Writer::Sized([&](Writer& out) {
        out.Raw({reinterpret_cast<const uint8_t*>(kMark.data()), kMark.size()});
        out.Number(kVersion, 4);
        WriteLayout(out, record.layout);
        out.Flag(record.left.has_value());
        if (record.left) {
            out.Raw(record.left->directory);
            out.Number(record.left->fileSize, 8);
        }
        out.Number(record.installs.size(), 4);
        for (const GameInstall& install : record.installs) WriteInstall(out, install, record.layout);
        out.Seal();
    });
}

GameRecord DecodeGameRecord(std::span<const uint8_t> bytes) {
    if (bytes.size() < kMark.size() || std::memcmp(bytes.data(), kMark.data(), kMark.size()) != 0)
        throw RecordError("it is not a record of installs of this tool");
    if (bytes.size() < kMark.size() + 4 + kSealSize) throw RecordError("it ends before its seal");
    Reader header(bytes.subspan(kMark.size(), 4));
    const uint64_t version = header.Number(4);
    if (version != kVersion && version != kVersionWithoutShared)
        throw RecordError("it is of version " + std::to_string(version) + ", which this tool (version " +
                          std::to_string(kVersion) + ") does not read");
    const auto body = bytes.first(bytes.size() - kSealSize);
    const archive::Digest seal = archive::Sha256Of(body);
    if (!std::equal(seal.begin(), seal.end(), body.end()))
        throw RecordError("its seal does not match its content (it is torn, or something changed it)");

    Reader in(body.subspan(kMark.size() + 4));
    GameRecord record;
    record.layout = ReadLayout(in);
    if (in.Flag()) {
        archive::ArchiveState left;
        left.directory = in.Digest();
        left.fileSize = in.Number(8);
        record.left = left;
    }
    for (uint32_t installs = in.Count(4 + kSealSize + 4 + 8 + 1 + 4); installs > 0; --installs)
        record.installs.push_back(ReadInstall(in, version, record.layout));
    if (!in.AtEnd()) throw RecordError("it holds more than its content says");
    return record;
}

std::optional<GameRecord> ReadGameRecord(archive::FileSystem& fs, const std::string& path) {
    if (!fs.Exists(path)) return std::nullopt;
    std::vector<uint8_t> bytes;
    try {
        bytes = ReadWholeFile(fs, path, kMaxBytes, "larger than any record of installs");
    } catch (const archive::ArchiveError& error) {
        if (error.kind() == archive::ErrorKind::TooLarge) throw RecordError("it is " + error.reason());
        throw;
    }
    return DecodeGameRecord(bytes);
}

void WriteGameRecord(archive::FileSystem& fs, const std::string& path, const GameRecord& record) {
    if (record.installs.empty()) {
        if (!fs.Exists(path)) return;
        fs.Remove(path);
        fs.FlushFolder(std::string(text::FolderOf(path)));
        return;
    }
    PublishGroup group(fs);
    group.Write(path, EncodeGameRecord(record));
    group.Publish();
}

}  // namespace veltrin::tool
