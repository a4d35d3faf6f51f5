// Any bytes as Install.dat: the reader either refuses them with a line number
// inside the text, or every command it returns writes back, escaped again,
// to exactly the line it came from.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "text/path_text.h"
#include "tool/common/command_line.h"
#include "tool/runs/script_reader.h"

namespace {

using veltrin::tool::CommandKind;

std::string Escaped(std::string_view text) {
    std::string escaped;
    for (const char c : text) {
        escaped += c;
        if (c == '\\') escaped += '\\';
    }
    return escaped;
}

std::string Quoted(std::string_view text) { return "\"" + Escaped(text) + "\""; }

void Check(bool holds) {
    if (!holds) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    size_t lines = 0;
    for (const char c : text) lines += c == '\n';
    if (!text.empty() && text.back() != '\n') ++lines;

    // The same bytes as a command line must split without fault.
    (void)veltrin::tool::SplitCommandLine(text);

    try {
        const auto commands = veltrin::tool::ReadScript(text);
        Check(commands.size() == lines);
        bool open = false;
        for (size_t i = 0; i < commands.size(); ++i) {
            const auto& command = commands[i];
            Check(command.lineNumber == i + 1);
            std::string rebuilt;
            switch (command.kind) {
            case CommandKind::Open:
                rebuilt = "-open " + Quoted(command.path);
                open = true;
                break;
            case CommandKind::Export:
                Check(open);
                rebuilt = "-export " + Quoted(command.name) + " " + Quoted(command.path);
                break;
            case CommandKind::Import:
                Check(open);
                Check(command.name == veltrin::text::FileNameOf(command.path) && !command.name.empty());
                rebuilt = "-import " + Quoted(command.path);
                break;
            case CommandKind::Close:
                Check(open);
                open = false;
                rebuilt = "-close";
                break;
            }
            Check(rebuilt == command.line);
        }
    } catch (const veltrin::tool::ScriptError& error) {
        Check(error.lineNumber() >= 1 && error.lineNumber() <= lines);
        Check(text.find(error.line()) != std::string_view::npos);
    }
    return 0;
}
