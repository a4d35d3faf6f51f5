#include "img_file.h"

#include <fstream>
#include <stdexcept>

namespace veltrin::e2e::test {
namespace {

uint32_t Le32(const std::string& bytes, size_t at) {
    uint32_t value = 0;
    for (size_t i = 0; i < 4; ++i) value |= uint32_t{static_cast<unsigned char>(bytes[at + i])} << (8 * i);
    return value;
}

void PutLe(std::string& out, uint32_t value, size_t width) {
    for (size_t i = 0; i < width; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

}  // namespace

std::string Padded(const std::string& bytes) {
    std::string padded = bytes;
    padded.resize((bytes.size() + kSector - 1) / kSector * kSector, '\0');
    return padded;
}

void WriteImg(const std::filesystem::path& path, const std::vector<ImgEntry>& entries) {
    const size_t directorySectors = (8 + 32 * entries.size() + kSector - 1) / kSector;
    std::string head = "VER2";
    PutLe(head, static_cast<uint32_t>(entries.size()), 4);
    size_t offset = directorySectors;
    for (const auto& entry : entries) {
        const size_t sectors = (entry.bytes.size() + kSector - 1) / kSector;
        PutLe(head, static_cast<uint32_t>(offset), 4);
        PutLe(head, static_cast<uint32_t>(sectors), 2);
        PutLe(head, 0, 2);
        std::string name = entry.name;
        name.resize(24, '\0');
        head += name;
        offset += sectors;
    }
    head.resize(directorySectors * kSector, '\0');
    std::filesystem::create_directories(path.parent_path());
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(head.data(), static_cast<std::streamsize>(head.size()));
    for (const auto& entry : entries) {
        const std::string padded = Padded(entry.bytes);
        file.write(padded.data(), static_cast<std::streamsize>(padded.size()));
    }
    if (!file.flush()) throw std::runtime_error("cannot write " + path.string());
}

std::vector<ImgEntry> ReadImg(const std::filesystem::path& path) {
    const std::string bytes = ReadFileBytes(path);
    if (bytes.size() < 8 || bytes.compare(0, 4, "VER2") != 0) throw std::runtime_error("not VER2: " + path.string());
    const size_t count = Le32(bytes, 4);
    if (8 + 32 * count > bytes.size()) throw std::runtime_error("directory cut short: " + path.string());
    std::vector<ImgEntry> entries;
    for (size_t i = 0; i < count; ++i) {
        const size_t at = 8 + 32 * i;
        const size_t offset = Le32(bytes, at) * kSector;
        const size_t streaming = Le32(bytes, at + 4) & 0xFFFF;
        const size_t inArchive = Le32(bytes, at + 4) >> 16;
        const size_t size = (inArchive != 0 ? inArchive : streaming) * kSector;
        if (offset + size > bytes.size()) throw std::runtime_error("entry beyond the end: " + path.string());
        std::string name = bytes.substr(at + 8, 24);
        name.resize(name.find('\0') == std::string::npos ? name.size() : name.find('\0'));
        entries.push_back({name, bytes.substr(offset, size)});
    }
    return entries;
}

Digest DigestOf(const std::string& bytes) {
    uint64_t hash = 14695981039346656037ull;
    for (const char c : bytes) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    return {bytes.size(), hash};
}

void PrintTo(const Digest& digest, std::ostream* out) {
    *out << digest.size << " bytes, hash " << std::hex << digest.hash << std::dec;
}

std::map<std::string, Digest> ByName(const std::vector<ImgEntry>& entries) {
    std::map<std::string, Digest> map;
    for (const auto& entry : entries) {
        // Records whose names have no dot are free space, never loaded.
        if (entry.name.find('.') == std::string::npos) continue;
        // A file written over a larger entry fills its sectors with zeros:
        // whole sectors of zeros at the end are padding, not content.
        std::string bytes = entry.bytes;
        while (bytes.size() >= kSector && bytes.find_first_not_of('\0', bytes.size() - kSector) == std::string::npos)
            bytes.resize(bytes.size() - kSector);
        map[Lower(entry.name)] = DigestOf(bytes);
    }
    return map;
}

std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

std::string ReadFileBytes(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    if (!file) throw std::runtime_error("cannot read " + path.string());
    std::string bytes(static_cast<size_t>(file.tellg()), '\0');
    file.seekg(0);
    file.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!file) throw std::runtime_error("cannot read " + path.string());
    return bytes;
}

void WriteFileBytes(const std::filesystem::path& path, const std::string& bytes) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!file.flush()) throw std::runtime_error("cannot write " + path.string());
}

}  // namespace veltrin::e2e::test
