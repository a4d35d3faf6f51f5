#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "tool/console.h"

namespace veltrin::tool {
namespace {

class PosixConsole final : public Console {
public:
    void Write(std::string_view text) override {
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
    }
    bool IsTerminal() override { return ::isatty(STDOUT_FILENO) == 1; }
    // A terminal window outlives the programs started in it.
    bool OwnsWindow() override { return false; }
    void WaitForEnter() override {
        std::string ignored;
        std::getline(std::cin, ignored);
    }
};

}  // namespace

Console& SystemConsole() {
    static PosixConsole console;
    return console;
}

}  // namespace veltrin::tool
