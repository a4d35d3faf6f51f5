#include "tool/runs/game_record.h"

#include <algorithm>
#include <cstring>
#include <string_view>

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
// Version 6 says where in the originals store each original lies (a pack
// and where in it); version 5 is version 6 with every original in a file of
// its own. Both write the first layout against the directory the record
// leaves; version 4 against nothing, and keeps the save that wrote it, as
// versions 5 and 6 do; version 3 is version 4 without the save. All four keep
// each layout as its changes against the one written before it; versions 2
// and 1, which keep layouts whole, are read too.
constexpr uint32_t kVersion = 6;
constexpr uint32_t kVersionWithoutPacks = 5;
constexpr uint32_t kVersionAgainstNothing = 4;
constexpr uint32_t kVersionWithoutSave = 3;
constexpr uint32_t kVersionShared = 2;
constexpr uint32_t kVersionWithoutShared = 1;
// A version 2 install's layout field: none, its own bytes, or the record's
// layout.
constexpr uint8_t kNoLayout = 0;
constexpr uint8_t kOwnLayout = 1;
constexpr uint8_t kRecordsLayout = 2;
constexpr size_t kSealSize = std::tuple_size_v<archive::Digest>;
// An entry takes some 120 bytes and the layouts at most 64 MiB: anything
// near this is no record of ours.
constexpr uint64_t kMaxBytes = kMaxGameRecordBytes;

using Writer = RecordWriter;
// The first base of a record that leaves no directory.
const std::vector<uint8_t> kNothing;
using Reader = RecordReader;

// A whole layout (versions 1 and 2): its bytes are the file's, which is
// bounded, so it takes nothing from the budget.
archive::Layout ReadLayoutBody(Reader& in) {
    archive::Layout layout;
    layout.fileSize = in.Number(8);
    const auto front = in.Raw(in.Number(8));
    layout.front.assign(front.begin(), front.end());
    const auto tail = in.Raw(in.Number(8));
    layout.tail.assign(tail.begin(), tail.end());
    return layout;
}

KeptLayout ReadLayout(Reader& in) {
    if (!in.Flag()) return std::nullopt;
    return ReadLayoutBody(in);
}

KeptLayout ReadLayoutBefore(Reader& in, uint64_t version, const KeptLayout& recordLayout, uint64_t& budget) {
    if (version == kVersionWithoutShared) return ReadLayout(in);
    switch (in.Number(1)) {
    case kNoLayout:
        return std::nullopt;
    case kOwnLayout:
        return ReadLayoutBody(in);
    case kRecordsLayout:
        if (!recordLayout) throw RecordError("an install refers to a layout the record does not hold");
        if (recordLayout.Bytes() > budget)  // as a copy of it once took
            throw RecordError("its layouts would take more memory than any record of installs needs");
        budget -= recordLayout.Bytes();
        return recordLayout;
    default:
        throw RecordError("an install's layout field holds an unknown kind");
    }
}

// The layouts written so far: the last one is the base of the next, the
// record's first base (the directory it leaves, or nothing) before any.
struct Chain {
    const std::vector<uint8_t>& first;
    const KeptLayout* last = nullptr;
};

// Whether the bytes are the header and directory the state sums.
bool DirectoryOf(const std::vector<uint8_t>& directory, const archive::ArchiveState& state) {
    return !directory.empty() && archive::Sha256Of(directory) == state.directory;
}

void WriteState(Writer& out, const std::optional<archive::ArchiveState>& state) {
    out.Flag(state.has_value());
    if (state) {
        out.Raw(state->directory);
        out.Number(state->fileSize, 8);
    }
}

std::optional<archive::ArchiveState> ReadState(Reader& in) {
    if (!in.Flag()) return std::nullopt;
    archive::ArchiveState state;
    state.directory = in.Digest();
    state.fileSize = in.Number(8);
    return state;
}

void WriteLayoutOf(Writer& out, const KeptLayout& layout, bool keep, Chain& chain) {
    out.Flag(layout && keep);
    if (!layout || !keep) return;
    static const KeptLayout none;
    layout.Write(out, chain.last ? *chain.last : none, chain.first);
    chain.last = &layout;
}

void WriteInstall(Writer& out, const GameInstall& install, bool keepLayout, Chain& chain) {
    out.Number(install.folders.size(), 4);
    for (const std::string& folder : install.folders) out.Text(folder);
    out.Raw(install.modDigest);
    out.Text(install.computer);
    out.Number(install.time, 8);
    WriteLayoutOf(out, install.layoutBefore, keepLayout, chain);
    out.Number(install.entries.size(), 4);
    for (const InstallLayer& layer : install.entries) {
        out.Text(layer.name);
        out.Flag(layer.before.has_value());
        if (layer.before) {
            out.Number(layer.before->size, 8);
            out.Raw(layer.before->digest);
            out.Text(layer.before->pack);
            out.Number(layer.before->offset, 8);
            out.Text(layer.beforeName);
        }
        out.Number(layer.put.size, 8);
        out.Raw(layer.put.digest);
    }
}

// The layouts read so far, from version 3 on: the last one is the base of
// the next. Once one base is not at hand (the archive is not the one the
// record left), no later layout can be read either.
struct ReadChain {
    const std::vector<uint8_t>* first = &kNothing;
    KeptLayout last;
    bool known = true;
    uint64_t budget = kMaxLayoutsInMemory;
};

KeptLayout ReadLayoutOf(Reader& in, ReadChain& chain) {
    if (!in.Flag()) return std::nullopt;
    if (!chain.known) {
        KeptLayout::Pass(in);
        return std::nullopt;
    }
    chain.last = KeptLayout::Read(in, chain.last, *chain.first, chain.budget);
    return chain.last;
}

GameInstall ReadInstall(Reader& in, uint64_t version, const KeptLayout& recordLayout, ReadChain& chain) {
    GameInstall install;
    for (uint32_t folders = in.Count(4); folders > 0; --folders) install.folders.push_back(in.Text());
    install.modDigest = in.Digest();
    install.computer = in.Text();
    install.time = in.Number(8);
    install.layoutBefore = version >= kVersionWithoutSave ? ReadLayoutOf(in, chain)
                                                          : ReadLayoutBefore(in, version, recordLayout, chain.budget);
    for (uint32_t entries = in.Count(4 + 1 + 8 + kSealSize); entries > 0; --entries) {
        InstallLayer layer;
        layer.name = in.Text();
        if (in.Flag()) {
            StoredContent before;
            before.size = in.Number(8);
            before.digest = in.Digest();
            if (version == kVersion) {
                before.pack = in.Text();
                before.offset = in.Number(8);
                if (!before.pack.empty() && !IsPackName(before.pack))
                    throw RecordError("it names a pack of originals that is no pack's name: \"" + before.pack + "\"");
                if (before.offset > kMaxPackBytes || before.size > kMaxPackBytes - before.offset)
                    throw RecordError("it names an original past the end of any pack");
            }
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

bool IsPackName(std::string_view name) {
    const size_t hex = 2 * kSealSize;
    return name.size() == hex + kPackSuffix.size() && name.ends_with(kPackSuffix) &&
           std::all_of(name.begin(), name.begin() + hex,
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

std::string GameRecordPathFor(const std::string& archivePath) { return archivePath + std::string(kGameRecordSuffix); }

bool operator==(const GameInstall& a, const GameInstall& b) {
    return a.folders == b.folders && a.modDigest == b.modDigest && a.computer == b.computer && a.time == b.time &&
           a.layoutBefore == b.layoutBefore && a.entries == b.entries;
}

bool GameInstall::From(std::string_view folder) const {
    return std::any_of(folders.begin(), folders.end(),
                       [&](const std::string& mine) { return text::EqualIgnoringAsciiCase(mine, folder); });
}

const InstallLayer* GameInstall::Find(std::string_view name) const { return FindLayer(entries, name); }

std::vector<InstallLayer>& InstallLayers::Own() {
    if (!layers_)
        layers_ = std::make_shared<std::vector<InstallLayer>>();
    else if (layers_.use_count() > 1)
        layers_ = std::make_shared<std::vector<InstallLayer>>(*layers_);
    return *layers_;
}

const std::vector<InstallLayer>& InstallLayers::All() const {
    static const std::vector<InstallLayer> none;
    return layers_ ? *layers_ : none;
}

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

void WritePuts(RecordWriter& out, const std::vector<GamePut>& puts) {
    out.U32(static_cast<uint32_t>(puts.size()));
    for (const GamePut& put : puts) {
        out.Text(put.name);
        out.Flag(put.holds.has_value());
        if (put.holds) {
            out.U64(put.holds->size);
            out.Raw(put.holds->digest);
        }
    }
}

std::vector<GamePut> ReadPuts(RecordReader& in) {
    std::vector<GamePut> puts;
    for (uint32_t count = in.Count(4 + 1); count > 0; --count) {
        GamePut put;
        put.name = in.Text();
        if (in.Flag()) put.holds = PutData{in.U64(), in.Digest()};
        puts.push_back(std::move(put));
    }
    return puts;
}

void GameRecord::LeaveAt(const archive::ArchiveState& state, std::vector<uint8_t> directory) {
    left = state;
    leftDirectory_ = std::make_shared<const std::vector<uint8_t>>(std::move(directory));
}

const std::vector<uint8_t>& GameRecord::LeftDirectory() const { return leftDirectory_ ? *leftDirectory_ : kNothing; }

std::vector<uint8_t> EncodeGameRecord(const GameRecord& record, const SaveOfRecord& save) {
    // Layouts are written against the directory the record leaves, which a
    // later run reads from the archive; without it at hand, none are.
    const bool base = record.left && DirectoryOf(record.LeftDirectory(), *record.left);
    const bool layouts = base || !record.left;
    return Writer::Sized([&](Writer& out) {
        out.Raw({reinterpret_cast<const uint8_t*>(kMark.data()), kMark.size()});
        out.Number(kVersion, 4);
        WriteState(out, record.left);
        // The newest installs' layouts that fit beside the record's own.
        uint64_t taken = record.layout ? record.layout.Bytes() : 0;
        size_t keepFrom = record.installs.size();
        while (keepFrom > 0) {
            const KeptLayout& layout = record.installs[keepFrom - 1].layoutBefore;
            const uint64_t bytes = layout ? layout.Bytes() : 0;
            if (taken + bytes > kMaxLayoutsInMemory) break;
            taken += bytes;
            --keepFrom;
        }
        if (!layouts) keepFrom = record.installs.size();
        Chain chain{base ? record.LeftDirectory() : kNothing};
        WriteLayoutOf(out, record.layout, layouts && taken <= kMaxLayoutsInMemory, chain);
        out.Number(record.installs.size(), 4);
        for (size_t i = 0; i < record.installs.size(); ++i) WriteInstall(out, record.installs[i], i >= keepFrom, chain);
        out.State(save.found);
        WritePuts(out, save.puts);
        out.Seal();
    });
}

GameRecord DecodeGameRecord(std::span<const uint8_t> bytes, SaveOfRecord* save,
                            const std::vector<uint8_t>* directoryNow) {
    if (bytes.size() < kMark.size() || std::memcmp(bytes.data(), kMark.data(), kMark.size()) != 0)
        throw RecordError("it is not a record of installs of this tool");
    if (bytes.size() < kMark.size() + 4 + kSealSize) throw RecordError("it ends before its seal");
    Reader header(bytes.subspan(kMark.size(), 4));
    const uint64_t version = header.Number(4);
    if (version != kVersion && version != kVersionWithoutPacks && version != kVersionAgainstNothing &&
        version != kVersionWithoutSave && version != kVersionShared && version != kVersionWithoutShared)
        throw RecordError("it is of version " + std::to_string(version) + ", which this tool (version " +
                          std::to_string(kVersion) + ") does not read");
    const auto body = bytes.first(bytes.size() - kSealSize);
    const archive::Digest seal = archive::Sha256Of(body);
    if (!std::equal(seal.begin(), seal.end(), body.end()))
        throw RecordError("its seal does not match its content (it is torn, or something changed it)");

    Reader in(body.subspan(kMark.size() + 4));
    GameRecord record;
    ReadChain chain;
    // Whether the archive holds the directory the record left.
    const auto leftIsNow = [&] { return record.left && directoryNow && DirectoryOf(*directoryNow, *record.left); };
    if (version >= kVersionWithoutPacks) {
        record.left = ReadState(in);
        if (record.left) {
            chain.known = leftIsNow();
            if (chain.known) chain.first = directoryNow;
        }
    }
    record.layout = version >= kVersionWithoutSave ? ReadLayoutOf(in, chain) : ReadLayout(in);
    if (version < kVersionWithoutPacks) record.left = ReadState(in);
    if (version >= kVersionWithoutPacks ? record.left && chain.known : leftIsNow())
        record.LeaveAt(*record.left, *directoryNow);
    for (uint32_t installs = in.Count(4 + kSealSize + 4 + 8 + 1 + 4); installs > 0; --installs)
        record.installs.push_back(ReadInstall(in, version, record.layout, chain));
    if (version >= kVersionAgainstNothing) {
        SaveOfRecord read;
        read.found = in.State();
        read.puts = ReadPuts(in);
        if (save) *save = std::move(read);
    }
    if (!in.AtEnd()) throw RecordError("it holds more than its content says");
    return record;
}

std::optional<GameRecord> ReadGameRecord(archive::FileSystem& fs, const std::string& path,
                                         const std::vector<uint8_t>* directoryNow) {
    if (!fs.Exists(path)) return std::nullopt;
    std::vector<uint8_t> bytes;
    try {
        bytes = ReadWholeFile(fs, path, kMaxBytes, "larger than any record of installs");
    } catch (const archive::ArchiveError& error) {
        if (error.kind() == archive::ErrorKind::TooLarge) throw RecordError("it is " + error.reason());
        throw;
    }
    return DecodeGameRecord(bytes, nullptr, directoryNow);
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
