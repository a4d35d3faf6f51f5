#include "tool/common/report.h"

#include <algorithm>
#include <span>

#include "archive/archive_error.h"

namespace veltrin::tool {
namespace {

constexpr int kNarrowest = 20;
constexpr size_t kContinuationIndent = 4;

bool IsLeadByte(char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }

// Columns of UTF-8 text: one a character.
size_t Columns(std::string_view text) {
    size_t columns = 0;
    for (const char c : text) columns += IsLeadByte(c) ? 1U : 0U;
    return columns;
}

// The byte length of the first columns characters of text.
size_t PrefixBytes(std::string_view text, size_t columns) {
    size_t at = 0;
    for (size_t seen = 0; at < text.size(); ++at) {
        if (IsLeadByte(text[at]) && seen++ == columns) break;
    }
    return at;
}

}  // namespace

std::vector<std::string> WrapLine(std::string_view text, int width) {
    if (width < kNarrowest || Columns(text) <= static_cast<size_t>(width)) return {std::string(text)};
    const auto limit = static_cast<size_t>(width);
    const size_t indent = text.find_first_not_of(' ') == std::string_view::npos ? 0 : text.find_first_not_of(' ');
    const std::string continuation(std::min(indent + kContinuationIndent, limit / 2), ' ');
    std::vector<std::string> rows;
    std::string row(text.substr(0, indent));
    bool rowHasWord = false;
    std::string_view rest = text.substr(indent);
    while (!rest.empty()) {
        const size_t space = rest.find(' ');
        std::string_view word = rest.substr(0, space);
        rest = space == std::string_view::npos ? std::string_view() : rest.substr(space + 1);
        if (rowHasWord && Columns(row) + 1 + Columns(word) <= limit) {
            row += ' ';
            row += word;
            continue;
        }
        if (rowHasWord) {
            rows.push_back(row);
            row = continuation;
        }
        // A word wider than a row is cut where the row ends.
        while (Columns(row) + Columns(word) > limit) {
            const size_t bytes = PrefixBytes(word, limit - Columns(row));
            rows.push_back(row + std::string(word.substr(0, bytes)));
            word.remove_prefix(bytes);
            row = continuation;
        }
        row += word;
        rowHasWord = true;
    }
    rows.push_back(row);
    return rows;
}

void ConsoleReport::AttachLog(std::unique_ptr<archive::File> log, std::string path, uint64_t at) {
    log_ = std::move(log);
    logPath_ = std::move(path);
    logSize_ = at;
}

void ConsoleReport::Line(std::string_view text) {
    EndBar();
    Print(text);
    Log(text);
}

// A row that fills the window's width moves the cursor on by itself, so a
// row stays one column short of it.
void ConsoleReport::Print(std::string_view text) {
    std::string rows;
    for (const std::string& row : WrapLine(text, console_.Width() - 1)) rows += row + '\n';
    console_.Write(rows);
}

std::function<void(uint64_t done, uint64_t total)> ProgressOf(Report& report, std::string what) {
    return [&report, what = std::move(what)](uint64_t done, uint64_t total) { report.Progress(what, done, total); };
}

void ConsoleReport::Progress(std::string_view what, uint64_t done, uint64_t total) {
    if (!console_.IsTerminal() || total == 0) return;
    if (done > total) done = total;
    const int percent = static_cast<int>(done * 100 / total);
    if (percent == shownPercent_) return;
    shownPercent_ = percent;
    const int filled = percent * kBarWidth / 100;
    // The bar with the space before it and its "] 100%" takes 48 columns.
    const int room = console_.Width() - 1 - kBarWidth - 8;
    const std::string_view label =
        console_.Width() == 0 ? what : what.substr(0, PrefixBytes(what, static_cast<size_t>(std::max(room, 0))));
    std::string bar = "\r" + std::string(label) + (label.empty() ? "[" : " [");
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
