#include "tool/common/run_log.h"

#include <algorithm>
#include <span>

#include "archive/archive_error.h"
#include "tool/common/utc_time.h"
#include "tool/common/version.h"

namespace veltrin::tool {
namespace {

std::span<const uint8_t> Bytes(std::string_view text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

// The log's last bytes, at most limit of them.
std::string ReadTail(archive::File& file, uint64_t size, uint64_t limit) {
    const uint64_t from = size > limit ? size - limit : 0;
    std::string tail(static_cast<size_t>(size - from), '\0');
    file.ReadAt(from, std::span(reinterpret_cast<uint8_t*>(tail.data()), tail.size()));
    return tail;
}

}  // namespace

std::string RunHeading(uint64_t seconds, const std::vector<std::string>& args) {
    std::string command;
    for (size_t i = 1; i < args.size(); ++i) {
        const bool quoted = args[i].find(' ') != std::string::npos || args[i].empty();
        command += (i > 1 ? " " : "") + (quoted ? "\"" + args[i] + "\"" : args[i]);
    }
    return std::string(kRunHeadingMark) + UtcTimeText(seconds) + ", Install.plug " + std::string(kToolVersion) +
           ": " + command;
}

std::string_view KeptRuns(std::string_view log) {
    if (log.size() <= kKeptRunBytes) return log;
    // A heading whose line break lies just before the last kKeptRunBytes
    // starts a run that fits.
    const std::string_view tail = log.substr(log.size() - std::min<size_t>(log.size(), kKeptRunBytes + 2));
    const std::string start = "\r\n" + std::string(kRunHeadingMark);
    const size_t at = tail.find(start);
    return at == std::string_view::npos ? std::string_view() : tail.substr(at + 2);
}

OpenedLog OpenRunLog(archive::FileSystem& fs, const std::string& path, std::string_view heading) {
    OpenedLog log;
    if (fs.Exists(path)) {
        log.file = fs.Open(path, archive::OpenMode::ReadWrite);
        log.size = log.file->Size();
        if (log.size > kKeptRunBytes) {
            const std::string tail = ReadTail(*log.file, log.size, kKeptRunBytes + 2);
            const std::string_view kept = KeptRuns(tail);
            log.file->WriteAt(0, Bytes(kept));
            log.file->Resize(kept.size());
            log.size = kept.size();
        }
    } else {
        log.file = fs.Open(path, archive::OpenMode::CreateNew);
    }
    const std::string line = std::string(heading) + "\r\n";
    log.file->WriteAt(log.size, Bytes(line));
    log.size += line.size();
    return log;
}

}  // namespace veltrin::tool
