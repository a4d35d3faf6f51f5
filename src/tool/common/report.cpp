#include "tool/common/report.h"

#include <span>

#include "archive/archive_error.h"

namespace veltrin::tool {

void ConsoleReport::AttachLog(std::unique_ptr<archive::File> log, std::string path) {
    log_ = std::move(log);
    logPath_ = std::move(path);
    logSize_ = 0;
}

void ConsoleReport::Line(std::string_view text) {
    EndBar();
    std::string line(text);
    line += '\n';
    console_.Write(line);
    Log(text);
}

void ConsoleReport::Progress(uint64_t done, uint64_t total) {
    if (!console_.IsTerminal() || total == 0) return;
    if (done > total) done = total;
    const int percent = static_cast<int>(done * 100 / total);
    if (percent == shownPercent_) return;
    shownPercent_ = percent;
    const int filled = percent * kBarWidth / 100;
    std::string bar = "\r[";
    bar.append(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(kBarWidth - filled), '.');
    bar += "] " + std::to_string(percent) + "%";
    console_.Write(bar);
    if (done == total) EndBar();
}

void ConsoleReport::EndBar() {
    if (shownPercent_ < 0) return;
    shownPercent_ = -1;
    console_.Write("\n");
}

void ConsoleReport::Log(std::string_view text) {
    if (!log_) return;
    std::string line(text);
    line += "\r\n";
    try {
        log_->WriteAt(logSize_, std::span(reinterpret_cast<const uint8_t*>(line.data()), line.size()));
        logSize_ += line.size();
    } catch (const archive::ArchiveError& error) {
        log_.reset();
        console_.Write("(the log " + logPath_ + " cannot be written any more: " + error.reason() + ")\n");
    }
}

}  // namespace veltrin::tool
