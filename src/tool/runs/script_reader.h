#pragma once
// Reading Install.dat: its text (already decoded to UTF-8) becomes a list of
// commands, each with its line number. The whole script is read and checked
// before anything runs, so a bad line never leaves an archive half changed.
#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace veltrin::tool {

enum class CommandKind { Open, Export, Import, Close };

struct ScriptCommand {
    CommandKind kind = CommandKind::Close;
    size_t lineNumber = 0;  // from 1
    std::string line;       // as written, without its line end
    std::string path;       // Open: the archive; Export: the backup file; Import: the file to import
    std::string name;       // Export: the entry to back up; Import: the entry name (the file's name)
};

// A line that is none of the four forms, or a command out of place.
class ScriptError : public std::runtime_error {
public:
    ScriptError(size_t lineNumber, std::string line, const std::string& why)
        : std::runtime_error(why), lineNumber_(lineNumber), line_(std::move(line)) {}
    [[nodiscard]] size_t lineNumber() const noexcept { return lineNumber_; }
    [[nodiscard]] const std::string& line() const noexcept { return line_; }

private:
    size_t lineNumber_;
    std::string line_;
};

// Lines end in CR LF or LF; the last line end may be missing. Each line is
// exactly one of
//   -open "<archive>"
//   -export "<entry name>" "<backup file>"
//   -import "<file>"
//   -close
// with every backslash inside the quotes doubled. -export and -import need
// an open archive, -close closes it; an -open while an archive is open closes
// that one first, as the end of the script does. Throws ScriptError.
std::vector<ScriptCommand> ReadScript(std::string_view text);

}  // namespace veltrin::tool
