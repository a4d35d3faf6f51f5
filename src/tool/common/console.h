#pragma once
// The console the tool writes to. One body per system (console_win.cpp,
// console_posix.cpp); tests put a recording fake in its place.
#include <optional>
#include <string>
#include <string_view>

namespace veltrin::tool {

class Console {
public:
    virtual ~Console() = default;
    // UTF-8 text to standard output, as it is.
    virtual void Write(std::string_view text) = 0;
    // Standard output is a console or terminal, where a redrawn progress bar
    // makes sense (not a file or a pipe).
    [[nodiscard]] virtual bool IsTerminal() = 0;
    // The columns a line of standard output may fill before the window cuts
    // it off or breaks it; 0 when it is not a console or terminal, or does
    // not say.
    [[nodiscard]] virtual int Width() { return 0; }
    // This process alone uses its console window: it was started by the
    // installer or from Explorer, not from a prompt, so the window closes
    // when the tool ends.
    [[nodiscard]] virtual bool OwnsWindow() = 0;
    // Returns after the user pressed Enter or standard input ended.
    virtual void WaitForEnter() = 0;
    // Standard input is a console or terminal, so someone can answer a
    // question (not a file or a pipe). A console that does not say cannot.
    [[nodiscard]] virtual bool CanAsk() { return false; }
    // Drops what was typed before, writes the question and returns the line
    // typed in answer (UTF-8, without its line end); nothing once standard
    // input has ended.
    virtual std::optional<std::string> Ask(std::string_view question) {
        Write(question);
        return std::nullopt;
    }
};

Console& SystemConsole();

}  // namespace veltrin::tool
