#include "tool/entry_match.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "archive/archive_error.h"
#include "tool/error_text.h"

namespace veltrin::tool {
namespace {

// Stops the copy at the first difference.
struct Different {};
// Carries an error of the compared file out through the archive's copy.
struct FileFailed {
    archive::ArchiveError error;
};

// The target of Archive::CopyTo: takes the entry's bytes block by block and
// compares each with the same stretch of the file, or with zeros past its end.
class ComparingSink final : public archive::File {
public:
    ComparingSink(archive::File& file, uint64_t fileSize) : file_(file), fileSize_(fileSize) {}

    uint64_t Size() override { return end_; }
    void ReadAt(uint64_t, std::span<uint8_t>) override {
        throw archive::ArchiveError(archive::ErrorKind::Io, {}, "the comparison cannot be read back");
    }
    void WriteAt(uint64_t offset, std::span<const uint8_t> bytes) override {
        const uint64_t fileEnd = std::clamp(fileSize_, offset, offset + bytes.size());
        const auto inFile = static_cast<size_t>(fileEnd - offset);
        if (inFile > 0) {
            theirs_.resize(inFile);
            try {
                file_.ReadAt(offset, theirs_);
            } catch (const archive::ArchiveError& error) {
                throw FileFailed{error};
            }
            if (!std::equal(theirs_.begin(), theirs_.end(), bytes.begin())) throw Different{};
        }
        if (std::any_of(bytes.begin() + static_cast<std::ptrdiff_t>(inFile), bytes.end(),
                        [](uint8_t byte) { return byte != 0; }))
            throw Different{};
        end_ = std::max(end_, offset + bytes.size());
    }
    void Resize(uint64_t) override {}
    void Flush() override {}

private:
    archive::File& file_;
    uint64_t fileSize_;
    uint64_t end_ = 0;
    std::vector<uint8_t> theirs_;
};

}  // namespace

MatchResult EntryMatchesFile(const archive::Archive& archive, const archive::Entry& entry, archive::FileSystem& fs,
                             const std::string& path) {
    std::unique_ptr<archive::File> file;
    uint64_t size = 0;
    try {
        file = fs.Open(path, archive::OpenMode::Read);
        size = file->Size();
    } catch (const archive::ArchiveError& error) {
        if (error.kind() == archive::ErrorKind::NotFound) return {Match::NoFile, path + " is gone"};
        return {Match::NoFile, path + " cannot be read: " + DescribeError(error)};
    }
    // Every stored byte is compared, so a file longer than the entry differs.
    if (size > uint64_t{entry.sectors} * archive::kSectorSize) return {Match::Differs, {}};
    ComparingSink sink(*file, size);
    try {
        archive.CopyTo(entry, sink);
    } catch (const Different&) {
        return {Match::Differs, {}};
    } catch (const FileFailed& failed) {
        return {Match::NoFile, path + " cannot be read: " + DescribeError(failed.error)};
    }
    return {Match::Holds, {}};
}

}  // namespace veltrin::tool
