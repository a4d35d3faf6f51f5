#include "tool/runs/script_reader.h"

#include "text/path_text.h"

namespace veltrin::tool {
namespace {

constexpr std::string_view kOpen = "-open ";
constexpr std::string_view kExport = "-export ";
constexpr std::string_view kImport = "-import ";
constexpr std::string_view kClose = "-close";

// Walks one line; every failure names what was wrong in plain words.
class LineReader {
public:
    LineReader(size_t number, std::string_view line) : number_(number), line_(line) {}

    [[noreturn]] void Fail(const std::string& why) const { throw ScriptError(number_, std::string(line_), why); }

    bool Take(std::string_view literal) {
        if (line_.substr(pos_, literal.size()) != literal) return false;
        pos_ += literal.size();
        return true;
    }

    // A quoted part with doubled backslashes, read back to single ones.
    std::string Quoted(std::string_view what) {
        if (pos_ >= line_.size() || line_[pos_] != '"') Fail("expected the " + std::string(what) + " in quotes");
        ++pos_;
        std::string value;
        for (;;) {
            if (pos_ >= line_.size()) Fail("the quotes around the " + std::string(what) + " are not closed");
            const char c = line_[pos_++];
            if (c == '"') break;
            if (c == '\\') {
                if (pos_ >= line_.size() || line_[pos_] != '\\')
                    Fail("a single backslash in the " + std::string(what) + " (write every backslash twice)");
                ++pos_;
            }
            value += c;
        }
        if (value.empty()) Fail("the " + std::string(what) + " is empty");
        return value;
    }

    void Space(std::string_view before) {
        if (!Take(" ")) Fail("expected one space and the " + std::string(before));
    }

    void End() {
        if (pos_ != line_.size()) Fail("unexpected text after the command");
    }

private:
    size_t number_;
    std::string_view line_;
    size_t pos_ = 0;
};

ScriptCommand ReadLine(size_t number, std::string_view line) {
    LineReader reader(number, line);
    for (const char c : line) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) reader.Fail("a control character in the line");
    }
    ScriptCommand command;
    command.lineNumber = number;
    command.line = std::string(line);
    if (reader.Take(kOpen)) {
        command.kind = CommandKind::Open;
        command.path = reader.Quoted("archive path");
    } else if (reader.Take(kExport)) {
        command.kind = CommandKind::Export;
        command.name = reader.Quoted("entry name");
        reader.Space("backup path");
        command.path = reader.Quoted("backup path");
    } else if (reader.Take(kImport)) {
        command.kind = CommandKind::Import;
        command.path = reader.Quoted("file path");
        command.name = std::string(text::FileNameOf(command.path));
        if (command.name.empty()) reader.Fail("the file path ends in a separator, not a file name");
    } else if (reader.Take(kClose)) {
        command.kind = CommandKind::Close;
    } else if (line.empty()) {
        reader.Fail("an empty line");
    } else {
        reader.Fail("not a command (-open, -export, -import or -close)");
    }
    reader.End();
    return command;
}

}  // namespace

std::vector<ScriptCommand> ReadScript(std::string_view text) {
    std::vector<ScriptCommand> commands;
    bool archiveOpen = false;
    size_t number = 0;
    size_t start = 0;
    while (start < text.size()) {
        ++number;
        size_t end = text.find('\n', start);
        const size_t next = end == std::string_view::npos ? text.size() : end + 1;
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        start = next;

        ScriptCommand command = ReadLine(number, line);
        switch (command.kind) {
        case CommandKind::Open:
            archiveOpen = true;
            break;
        case CommandKind::Export:
        case CommandKind::Import:
            if (!archiveOpen)
                throw ScriptError(
                    number, command.line,
                    std::string(command.kind == CommandKind::Export ? "-export" : "-import") + " with no archive open");
            break;
        case CommandKind::Close:
            if (!archiveOpen) throw ScriptError(number, command.line, "-close with no archive open");
            archiveOpen = false;
            break;
        }
        commands.push_back(std::move(command));
    }
    return commands;
}

}  // namespace veltrin::tool
