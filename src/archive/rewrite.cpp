#include "archive/rewrite.h"

#include <algorithm>
#include <cstring>

#include "archive/commit.h"
#include "archive/format.h"
#include "archive/free_entries.h"
#include "archive/free_space.h"

namespace veltrin::archive {
namespace {

constexpr size_t kBlockSize = size_t{4} << 20;
constexpr uint64_t kDirectCopy = uint64_t{1} << 20;  // runs at least this long are copied file to file
constexpr uint64_t kCopyStep = uint64_t{32} << 20;   // progress is reported after each step

// Gathers the new archive in one large block and writes it whenever the
// block is full, so that entries of any size go out in big sequential writes.
class BlockWriter {
public:
    BlockWriter(File& target, uint64_t total, const Progress& progress)
        : target_(target),
          total_(total),
          progress_(progress),
          block_(static_cast<size_t>(std::clamp<uint64_t>(total, 1, kBlockSize))) {}

    void Append(const uint8_t* bytes, size_t size) {
        while (size > 0) {
            const size_t part = std::min(size, block_.size() - used_);
            std::memcpy(block_.data() + used_, bytes, part);
            Advance(part);
            bytes += part;
            size -= part;
        }
    }
    void AppendZeros(uint64_t size) {
        while (size > 0) {
            const size_t part = static_cast<size_t>(std::min<uint64_t>(size, block_.size() - used_));
            std::memset(block_.data() + used_, 0, part);
            Advance(part);
            size -= part;
        }
    }
    void AppendFrom(File& source, uint64_t offset, uint64_t size) {
        // Long runs go straight from file to file, which the system may do
        // without passing the bytes through this program.
        if (size >= kDirectCopy) {
            if (used_ > 0) WriteBlock();
            while (size > 0) {
                const uint64_t part = std::min<uint64_t>(size, kCopyStep);
                target_.CopyFrom(source, offset, written_, part);
                written_ += part;
                offset += part;
                size -= part;
                if (progress_) progress_(written_, total_);
            }
            return;
        }
        while (size > 0) {
            const size_t part = static_cast<size_t>(std::min<uint64_t>(size, block_.size() - used_));
            source.ReadAt(offset, std::span<uint8_t>(block_.data() + used_, part));
            Advance(part);
            offset += part;
            size -= part;
        }
    }
    void Finish() {
        if (used_ > 0) WriteBlock();
    }
    [[nodiscard]] uint64_t Written() const { return written_; }

private:
    void Advance(size_t part) {
        used_ += part;
        if (used_ == block_.size()) WriteBlock();
    }
    void WriteBlock() {
        target_.WriteAt(written_, std::span<const uint8_t>(block_.data(), used_));
        written_ += used_;
        used_ = 0;
        if (progress_) progress_(written_, total_);
    }

    File& target_;
    uint64_t total_;
    const Progress& progress_;
    std::vector<uint8_t> block_;
    size_t used_ = 0;
    uint64_t written_ = 0;
};

}  // namespace

RewritePlan PlanRewrite(const StagedChanges& staged) {
    const auto sectorsOf = [](const StagedData& data) {
        return static_cast<uint32_t>(format::SectorsFor(data.Size()));
    };
    RewritePlan plan;
    plan.reserve(staged.records.size() + staged.additions.size());
    auto change = staged.changes.begin();
    for (size_t i = 0; i < staged.records.size(); ++i) {
        const Entry& entry = staged.records[i];
        const bool changed = change != staged.changes.end() && change->index == i;
        if (!changed) {
            if (!IsFreeEntry(entry)) plan.push_back({entry.name, nullptr, entry.offset, entry.sectors});
            continue;
        }
        if (!change->removed) plan.push_back({*change->name, change->data, 0, sectorsOf(*change->data)});
        ++change;
    }
    for (const StagedChanges::Addition& addition : staged.additions)
        plan.push_back({*addition.name, addition.data, 0, sectorsOf(*addition.data)});
    return plan;
}

uint64_t FirstSectorOf(const RewritePlan& plan) {
    return format::DirectorySectors(plan.size() + format::kSpareRecords);
}

std::vector<Entry> RewrittenEntries(const RewritePlan& plan) {
    std::vector<Entry> entries;
    entries.reserve(plan.size());
    uint64_t next = FirstSectorOf(plan);
    for (const PlannedEntry& planned : plan) {
        entries.push_back({planned.name, static_cast<uint32_t>(next), planned.sectors});
        next += planned.sectors;
    }
    return entries;
}

uint64_t RewrittenSize(const RewritePlan& plan) {
    uint64_t sectors = FirstSectorOf(plan);
    for (const PlannedEntry& entry : plan) sectors += entry.sectors;
    return sectors * kSectorSize;
}

CommitResult RewriteArchive(FileSystem& fs, const std::string& archivePath, std::unique_ptr<File> source,
                            const RewritePlan& plan, const Progress& progress) {
    const uint64_t total = RewrittenSize(plan);
    if (total > format::kMaxArchiveBytes)
        throw ArchiveError(ErrorKind::TooLarge, archivePath,
                           "The archive would grow past 4 GB, more than the game can read. Nothing was changed.");
    CommitResult result;
    result.entries = RewrittenEntries(plan);
    const std::vector<Entry>& entries = result.entries;
    RequireFreeSpace(fs, archivePath, total);  // rule 3

    const std::string rewritePath = RewritePath(archivePath);
    try {
        {
            auto target = fs.Open(rewritePath, OpenMode::CreateAlways);
            BlockWriter writer(*target, total, progress);
            const std::vector<uint8_t> directory = format::EncodeDirectory(entries);
            result.directory.assign(directory.begin(), directory.begin() + static_cast<std::ptrdiff_t>(
                                                                               format::DirectoryBytes(entries.size())));
            writer.Append(directory.data(), directory.size());
            writer.AppendZeros(FirstSectorOf(plan) * kSectorSize - directory.size());  // the spare room
            for (size_t i = 0; i < plan.size();) {
                const PlannedEntry& planned = plan[i];
                if (const StagedData* data = planned.data) {
                    if (data->InFile())
                        writer.AppendFrom(*data->OpenFile(fs), data->Offset(), data->Size());
                    else
                        writer.Append(data->Bytes().data(), data->Bytes().size());
                    writer.AppendZeros(uint64_t{planned.sectors} * kSectorSize - data->Size());
                    ++i;
                    continue;
                }
                // Neighbours that were neighbours before too are copied in one go.
                uint64_t runSectors = planned.sectors;
                size_t j = i + 1;
                while (j < plan.size() && !plan[j].data &&
                       plan[j].sourceOffset == uint64_t{planned.sourceOffset} + runSectors) {
                    runSectors += plan[j].sectors;
                    ++j;
                }
                writer.AppendFrom(*source, uint64_t{planned.sourceOffset} * kSectorSize, runSectors * kSectorSize);
                i = j;
            }
            writer.Finish();
            target->Flush();
            result.stats.bytesWritten = writer.Written();
        }
        source.reset();
        // Rule 5: the point of no return.
        try {
            fs.ReplaceAtomically(rewritePath, archivePath);
        } catch (const ArchiveError& error) {
            throw CommitInterrupted(error, {}, StateOf(result.directory, total));
        }
    } catch (...) {
        try {
            if (fs.Exists(rewritePath)) fs.Remove(rewritePath);
        } catch (const ArchiveError&) {
            // Rule 9 removes it.
        }
        throw;
    }
    result.fileSize = total;
    result.stats.replaced = true;
    return result;
}

}  // namespace veltrin::archive
