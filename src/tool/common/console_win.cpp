#include <windows.h>

#include <stdexcept>
#include <string>

#include "tool/common/console.h"
#include "win32/text.h"

namespace veltrin::tool {
namespace {

class WinConsole final : public Console {
public:
    void Write(std::string_view text) override {
        const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
        if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
        DWORD mode = 0;
        if (::GetConsoleMode(out, &mode)) {
            // A console shows UTF-16 whatever its code page is.
            std::wstring wide;
            try {
                wide = win32::Widen(text);
            } catch (const std::runtime_error&) {
                wide = std::wstring(text.begin(), text.end());
            }
            DWORD written = 0;
            ::WriteConsoleW(out, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
            return;
        }
        // A file or a pipe gets the UTF-8 bytes, with CR LF line ends.
        std::string bytes;
        bytes.reserve(text.size() + 8);
        for (const char c : text) {
            if (c == '\n') bytes += '\r';
            bytes += c;
        }
        DWORD written = 0;
        ::WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    }

    bool IsTerminal() override {
        DWORD mode = 0;
        return ::GetConsoleMode(::GetStdHandle(STD_OUTPUT_HANDLE), &mode) != FALSE;
    }

    // The visible part of the buffer: a line wider than the window is cut
    // off at its edge, one wider than the buffer is broken there.
    int Width() override {
        CONSOLE_SCREEN_BUFFER_INFO info{};
        if (!::GetConsoleScreenBufferInfo(::GetStdHandle(STD_OUTPUT_HANDLE), &info)) return 0;
        const int window = info.srWindow.Right - info.srWindow.Left + 1;
        return window > 0 && window < info.dwSize.X ? window : info.dwSize.X;
    }

    // Started from a prompt, the console lists the prompt too; started by the
    // installer or from Explorer, this process is its only one.
    bool OwnsWindow() override {
        DWORD processes[2] = {};
        return ::GetConsoleProcessList(processes, 2) == 1;
    }

    void WaitForEnter() override {
        const HANDLE in = ::GetStdHandle(STD_INPUT_HANDLE);
        if (in == nullptr || in == INVALID_HANDLE_VALUE) return;
        DWORD mode = 0;
        if (::GetConsoleMode(in, &mode)) {
            ::FlushConsoleInputBuffer(in);
            wchar_t buffer[64];
            DWORD read = 0;
            // Line input: returns once Enter is pressed.
            while (::ReadConsoleW(in, buffer, 64, &read, nullptr) && read > 0) {
                if (std::wstring_view(buffer, read).find(L'\n') != std::wstring_view::npos ||
                    std::wstring_view(buffer, read).find(L'\r') != std::wstring_view::npos)
                    return;
            }
            return;
        }
        char byte = 0;
        DWORD read = 0;
        while (::ReadFile(in, &byte, 1, &read, nullptr) && read == 1)
            if (byte == '\n') return;
    }

    bool CanAsk() override {
        DWORD mode = 0;
        return ::GetConsoleMode(::GetStdHandle(STD_INPUT_HANDLE), &mode) != FALSE;
    }

    // Line input with echo: the console returns once Enter is pressed. A
    // line that starts with Ctrl+Z is the console's end of input.
    std::optional<std::string> Ask(std::string_view question) override {
        const HANDLE in = ::GetStdHandle(STD_INPUT_HANDLE);
        DWORD mode = 0;
        if (in == nullptr || in == INVALID_HANDLE_VALUE || !::GetConsoleMode(in, &mode)) {
            Write(question);
            return std::nullopt;
        }
        ::FlushConsoleInputBuffer(in);
        Write(question);
        std::wstring line;
        wchar_t buffer[64];
        DWORD read = 0;
        while (line.find(L'\n') == std::wstring::npos && line.find(L'\r') == std::wstring::npos) {
            if (!::ReadConsoleW(in, buffer, 64, &read, nullptr) || read == 0) return std::nullopt;
            line.append(buffer, read);
        }
        line.erase(line.find_first_of(L"\r\n"));
        if (!line.empty() && line.front() == L'\x1a') return std::nullopt;
        try {
            return win32::Narrow(line);
        } catch (const std::runtime_error&) {
            return std::string();
        }
    }
};

}  // namespace

Console& SystemConsole() {
    static WinConsole console;
    return console;
}

}  // namespace veltrin::tool
