#pragma once
// Helpers shared by the tool's suites: archives made from generated entries,
// their content read back, and a report that records what it is told.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "archive/archive.h"
#include "archive/file_io.h"
#include "block_lines.h"
#include "install/script.h"
#include "tool/common/console.h"
#include "tool/common/report.h"

namespace veltrin::tool::testing {

using Bytes = std::vector<uint8_t>;
// Name and stored bytes of each entry.
using Content = std::vector<std::pair<std::string, Bytes>>;

// size bytes that differ with the seed, so entries never match by accident.
inline Bytes Pattern(size_t size, uint8_t seed) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7 + i / 251);
    return bytes;
}

// The bytes as the archive stores them: padded with zeros to whole sectors.
inline Bytes Stored(Bytes bytes) {
    const size_t sectors = (bytes.size() + archive::kSectorSize - 1) / archive::kSectorSize;
    bytes.resize(sectors * archive::kSectorSize, 0);
    return bytes;
}

// A version-2 archive written byte by byte, so that entry names can hold what
// the library would never store: entry i is one sector holding i + 1.
inline Bytes RawArchive(const std::vector<std::string>& names) {
    const auto count = static_cast<uint32_t>(names.size());
    Bytes bytes(archive::kSectorSize * (1 + count), 0);
    std::memcpy(bytes.data(), "VER2", 4);
    std::memcpy(bytes.data() + 4, &count, 4);  // both builds run on little-endian machines
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t offset = 1 + i;
        const uint16_t sectors = 1;
        std::memcpy(bytes.data() + 8 + 32 * i, &offset, 4);
        std::memcpy(bytes.data() + 8 + 32 * i + 4, &sectors, 2);
        std::memcpy(bytes.data() + 8 + 32 * i + 8, names[i].data(), std::min<size_t>(names[i].size(), 23));
        bytes[archive::kSectorSize * offset] = static_cast<uint8_t>(i + 1);
    }
    return bytes;
}

inline void MakeArchive(archive::FileSystem& fs, const std::string& path, const Content& entries) {
    auto made = archive::Archive::Create(path, fs);
    for (const auto& [name, bytes] : entries) made.Put(name, bytes);
    if (made.HasChanges()) made.Commit();
}

// The entries by name (ASCII case folded for the order): where an entry
// lies, and so its place in the directory, is the archive's business.
inline Content ReadContent(archive::FileSystem& fs, const std::string& path) {
    const auto opened = archive::Archive::Open(path, fs);
    Content content;
    for (const auto& entry : opened.Entries()) content.emplace_back(entry.name, opened.Read(entry));
    const auto folded = [](std::string name) {
        for (char& c : name) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        return name;
    };
    std::sort(content.begin(), content.end(),
              [&](const auto& a, const auto& b) { return folded(a.first) < folded(b.first); });
    return content;
}

// Content compared as the game sees it: names without regard to case (an
// install renames an entry to the mod file's spelling), bytes as the archive
// stores them (whole sectors).
inline Content Folded(Content content) {
    for (auto& [name, bytes] : content) {
        for (auto& c : name) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        bytes = Stored(bytes);
    }
    std::sort(content.begin(), content.end());
    return content;
}

// Whether an entry's stored bytes are the file's, padded with zeros (to
// whole sectors, or to the sectors of a larger entry it was written over).
inline bool HoldsFile(const Bytes& stored, const Bytes& file) {
    return stored.size() >= file.size() && std::equal(file.begin(), file.end(), stored.begin()) &&
           std::all_of(stored.begin() + static_cast<std::ptrdiff_t>(file.size()), stored.end(),
                       [](uint8_t b) { return b == 0; });
}

// One game folder and one application folder, as the script suites use them.
inline const std::string kGame = R"(C:\Games\GTA San Andreas)";
inline const std::string kApp = R"(D:\Mod Folder)";
inline const std::string kScript = kApp + R"(\Install.dat)";
inline const std::string kGta3 = kGame + R"(\models\gta3.img)";
inline const std::string kPlayer = kGame + R"(\models\player.img)";

// A mod file beside the installer, and where its backup goes.
inline std::string Payload(const std::string& archive, const std::string& name) {
    return kApp + "\\" + archive + "\\" + name;
}
inline std::string Backup(const std::string& archive, const std::string& name) {
    return kApp + "\\Backups\\" + archive + "\\" + name;
}

// The installer's own script for the two blocks, CR LF line ends.
inline std::string InstallScript(const std::vector<std::string>& block1, const std::vector<std::string>& block2) {
    std::string text;
    for (const auto& line : install::testing::BlockLinesOf(install::Block::Gta3, kGame, kApp, block1))
        text += line + "\r\n";
    for (const auto& line : install::testing::BlockLinesOf(install::Block::Player, kGame, kApp, block2))
        text += line + "\r\n";
    return text;
}

inline std::string Text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }
inline Bytes BytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

// A console that keeps what is written and answers as told.
class FakeConsole final : public Console {
public:
    bool terminal = false;
    bool ownsWindow = false;
    int width = 0;
    int waits = 0;
    std::string text;

    void Write(std::string_view written) override { text += written; }
    bool IsTerminal() override { return terminal; }
    int Width() override { return width; }
    bool OwnsWindow() override { return ownsWindow; }
    void WaitForEnter() override { ++waits; }
};

// The lines a report kept, and the two questions tests ask of them.
struct ReportLines {
    std::vector<std::string> lines;

    [[nodiscard]] bool Has(std::string_view text) const {
        for (const auto& line : lines)
            if (line.find(text) != std::string::npos) return true;
        return false;
    }
    [[nodiscard]] std::string All() const {
        std::string all;
        for (const auto& line : lines) all += line + "\n";
        return all;
    }
};

class RecordingReport final : public Report, public ReportLines {
public:
    struct Step {
        std::string what;
        uint64_t done = 0;
        uint64_t total = 0;
    };
    std::vector<Step> progress;

    void Line(std::string_view text) override { lines.emplace_back(text); }
    void Progress(std::string_view what, uint64_t done, uint64_t total) override {
        progress.push_back({std::string(what), done, total});
    }
};

}  // namespace veltrin::tool::testing
