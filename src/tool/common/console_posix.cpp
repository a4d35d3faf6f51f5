#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "tool/common/console.h"

namespace veltrin::tool {
namespace {

class PosixConsole final : public Console {
public:
    void Write(std::string_view text) override {
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
    }
    bool IsTerminal() override { return ::isatty(STDOUT_FILENO) == 1; }
    int Width() override {
        winsize size{};
        if (!IsTerminal() || ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0) return 0;
        return size.ws_col;
    }
    // A terminal window outlives the programs started in it.
    bool OwnsWindow() override { return false; }
    void WaitForEnter() override {
        std::string ignored;
        std::getline(std::cin, ignored);
    }
    bool CanAsk() override { return ::isatty(STDIN_FILENO) == 1; }
    std::optional<std::string> Ask(std::string_view question) override {
        ::tcflush(STDIN_FILENO, TCIFLUSH);
        Write(question);
        std::string answer;
        if (!std::getline(std::cin, answer)) return std::nullopt;
        if (!answer.empty() && answer.back() == '\r') answer.pop_back();
        return answer;
    }
};

}  // namespace

Console& SystemConsole() {
    static PosixConsole console;
    return console;
}

}  // namespace veltrin::tool
