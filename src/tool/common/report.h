#pragma once
// Where the runner and the commands tell what they do: lines of text, and
// progress of long work. ConsoleReport prints both and keeps the lines (not
// the progress bar) in a log file. On the console a line wider than the
// window is broken between words, its continuation indented; the log keeps
// each line whole.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "archive/file_io.h"
#include "tool/common/console.h"

namespace veltrin::tool {

class Report {
public:
    virtual ~Report() = default;
    virtual void Line(std::string_view text) = 0;
    // what: the work the bar measures ("saving gta3.img").
    virtual void Progress(std::string_view what, uint64_t done, uint64_t total) = 0;
};

// The archive's progress of long work as bars of the report labelled what.
std::function<void(uint64_t done, uint64_t total)> ProgressOf(Report& report, std::string what);

// The line as rows of at most width columns (characters), broken at spaces;
// each continuation starts with the line's own indent and four spaces more.
// A word longer than a row is cut. A width under 20 leaves the line whole.
std::vector<std::string> WrapLine(std::string_view text, int width);

class ConsoleReport final : public Report {
public:
    static constexpr int kBarWidth = 40;

    explicit ConsoleReport(Console& console) : console_(console) {}
    // Every later line is also written to the log from byte at on, each
    // ending in CR LF. A log that fails to take a line is dropped with one
    // note on the console.
    void AttachLog(std::unique_ptr<archive::File> log, std::string path, uint64_t at = 0);
    // Closes the log; later lines go to the console only.
    void DetachLog() { log_.reset(); }

    void Line(std::string_view text) override;
    // Draws "saving gta3.img [####....] 42%" on a terminal, redrawn only when
    // the percentage changes; the bar's line ends when the work is done or
    // the next line comes. A label too wide for the window is cut.
    void Progress(std::string_view what, uint64_t done, uint64_t total) override;

private:
    void EndBar();
    void Print(std::string_view text);
    void Log(std::string_view text);

    Console& console_;
    std::unique_ptr<archive::File> log_;
    std::string logPath_;
    uint64_t logSize_ = 0;
    int shownPercent_ = -1;
};

}  // namespace veltrin::tool
