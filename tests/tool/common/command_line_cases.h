#pragma once
// Command lines and the arguments the Windows rules make of them. The native
// suite checks the splitter against them; under Wine the same table is
// checked against CommandLineToArgvW itself.
#include <string>
#include <vector>

namespace veltrin::tool {

struct CommandLineCase {
    std::string line;
    std::vector<std::string> args;
};

inline const std::vector<CommandLineCase> kCommandLineCases = {
    {"tool", {"tool"}},
    {"tool   ", {"tool"}},
    {"tool a b", {"tool", "a", "b"}},
    {"tool \ta\t\tb ", {"tool", "a", "b"}},
    {R"("C:\Program Files\Install.plug" -script x)", {R"(C:\Program Files\Install.plug)", "-script", "x"}},
    {R"(C:\a\tool.exe "quoted arg")", {R"(C:\a\tool.exe)", "quoted arg"}},
    // The program name keeps its backslashes and ends at its closing quote.
    {R"("C:\x\\"y z)", {R"(C:\x\\)", "y", "z"}},
    {R"("a"b c)", {"a", "b", "c"}},
    // Backslashes stay literal unless a quote follows them.
    {R"(tool a\b a\\b a\\\b)", {"tool", R"(a\b)", R"(a\\b)", R"(a\\\b)"}},
    {R"(tool "C:\dir\\")", {"tool", R"(C:\dir\)"}},
    {R"(tool a\"b)", {"tool", R"(a"b)"}},
    {R"(tool a\\"b c")", {"tool", R"(a\b c)"}},
    {R"(tool a\\\"b)", {"tool", R"(a\"b)"}},
    {R"(tool a\\\\"b")", {"tool", R"(a\\b)"}},
    {R"(tool "" x)", {"tool", "", "x"}},
    {R"(tool "")", {"tool", ""}},
    {R"(tool "a b"c" d)", {"tool", "a bc d"}},
    // Two quotes inside a quoted part give a literal quote.
    {R"(tool "a""b")", {"tool", R"(a"b)"}},
    {R"(tool """a""")", {"tool", R"("a")"}},
    {R"(tool "unclosed arg)", {"tool", "unclosed arg"}},
    {R"(tool -script "D:\Mod Folder\Install.dat")", {"tool", "-script", R"(D:\Mod Folder\Install.dat)"}},
    {"tool \xc3\x9c\xc3\xa4 \"\xe6\x97\xa5 \xe6\x9c\xac\"", {"tool", "\xc3\x9c\xc3\xa4", "\xe6\x97\xa5 \xe6\x9c\xac"}},
};

// Argument lists that a relaunch hands on: each must come back intact from
// the joined line, whatever blanks, quotes and backslashes it holds.
inline const std::vector<std::vector<std::string>> kJoinCases = {
    {"-script", R"(C:\Program Files (x86)\Rockstar Games\GTA San Andreas\Install.dat)"},
    {"-restore", R"(C:\Mods\Install.dat)"},
    {""},
    {"", "a", ""},
    {R"(C:\dir\)", R"(C:\dir with space\)", R"(C:\dir with space\)"},
    {R"(a"b)", R"(a"b)", R"(a\"b c)", R"(")", R"(")", R"(\)"},
    {"tab\there", "new\nline", "\t", "a\tb"},
    {"x\ty", "Spiele \xc3\x84", "trailing space "},
};

}  // namespace veltrin::tool
