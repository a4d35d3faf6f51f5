#include "tool/runs/script_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace veltrin::tool {
namespace {

TEST(ScriptReader, ReadsTheInstallersScriptWithItsEscapesUndone) {
    const std::string text =
        "-open \"C:\\\\Games\\\\GTA San Andreas\\\\models\\\\gta3.img\"\r\n"
        "-export \"a.dff\" \"D:\\\\Mod\\\\Backups\\\\gta3.img\\\\a.dff\"\r\n"
        "-import \"D:\\\\Mod\\\\gta3.img\\\\a.dff\"\r\n"
        "-close\r\n"
        "-open \"E:\\\\\\\\models\\\\player.img\"\r\n";
    const auto commands = ReadScript(text);
    ASSERT_EQ(commands.size(), 5u);
    EXPECT_EQ(commands[0].kind, CommandKind::Open);
    EXPECT_EQ(commands[0].path, R"(C:\Games\GTA San Andreas\models\gta3.img)");
    EXPECT_EQ(commands[1].kind, CommandKind::Export);
    EXPECT_EQ(commands[1].name, "a.dff");
    EXPECT_EQ(commands[1].path, R"(D:\Mod\Backups\gta3.img\a.dff)");
    EXPECT_EQ(commands[2].kind, CommandKind::Import);
    EXPECT_EQ(commands[2].path, R"(D:\Mod\gta3.img\a.dff)");
    EXPECT_EQ(commands[2].name, "a.dff");
    EXPECT_EQ(commands[3].kind, CommandKind::Close);
    // A drive root keeps both of its backslashes: E:\ then \models.
    EXPECT_EQ(commands[4].path, R"(E:\\models\player.img)");
    for (size_t i = 0; i < commands.size(); ++i) EXPECT_EQ(commands[i].lineNumber, i + 1);
    EXPECT_EQ(commands[3].line, "-close");
}

TEST(ScriptReader, LineEndsMayBeLfOrCrLfAndTheLastMayBeMissing) {
    const std::vector<std::string> texts = {
        "-open \"a.img\"\n-close\n",
        "-open \"a.img\"\r\n-close\r\n",
        "-open \"a.img\"\n-close",
        "-open \"a.img\"\r\n-close",
    };
    for (const auto& text : texts) {
        SCOPED_TRACE(text);
        const auto commands = ReadScript(text);
        ASSERT_EQ(commands.size(), 2u);
        EXPECT_EQ(commands[0].path, "a.img");
        EXPECT_EQ(commands[1].kind, CommandKind::Close);
    }
    EXPECT_TRUE(ReadScript("").empty());
}

TEST(ScriptReader, ImportNameIsAfterTheLastBackslashOrSlash) {
    const auto commands = ReadScript(
        "-open \"x.img\"\n-import \"D:\\\\m\\\\Big Car.DFF\"\n-import \"/home/m/cj.txd\"\n"
        "-import \"plain.dff\"\n-import \"D:/mixed\\\\to/z.txd\"\n");
    ASSERT_EQ(commands.size(), 5u);
    EXPECT_EQ(commands[1].name, "Big Car.DFF");
    EXPECT_EQ(commands[2].name, "cj.txd");
    EXPECT_EQ(commands[3].name, "plain.dff");
    EXPECT_EQ(commands[4].name, "z.txd");
}

TEST(ScriptReader, NamesAndPathsKeepSpacesCaseAndOtherCharacters) {
    const auto commands = ReadScript(
        "-open \"\\\\\\\\nas\\\\GTA SA\\\\models\\\\gta3.img\"\n-export \"Big Car.DFF\" \"B\\\\\xc3\x9c.dff\"\n");
    EXPECT_EQ(commands[0].path, R"(\\nas\GTA SA\models\gta3.img)");
    EXPECT_EQ(commands[1].name, "Big Car.DFF");
    EXPECT_EQ(commands[1].path, "B\\\xc3\x9c.dff");
}

TEST(ScriptReader, AnOpenWhileAnotherArchiveIsOpenIsAccepted) {
    const auto commands = ReadScript("-open \"a.img\"\n-open \"b.img\"\n-import \"x.dff\"\n");
    EXPECT_EQ(commands.size(), 3u);
}

struct Malformed {
    const char* what;
    std::string text;
    size_t lineNumber;
    std::string line;
    std::string reason;  // a part of the message
};

TEST(ScriptReader, RejectsEveryMalformedLineNamingItsNumberAndText) {
    const std::string open = "-open \"a.img\"\r\n";
    const std::vector<Malformed> cases = {
        {"unknown command", open + "-delete \"x\"\r\n", 2, "-delete \"x\"", "not a command"},
        {"misspelt command", "-opn \"a.img\"\n", 1, "-opn \"a.img\"", "not a command"},
        {"upper case command", "-OPEN \"a.img\"\n", 1, "-OPEN \"a.img\"", "not a command"},
        {"leading space", " -open \"a.img\"\n", 1, " -open \"a.img\"", "not a command"},
        {"empty line inside", open + "\r\n-close\r\n", 2, "", "empty line"},
        {"missing quotes", "-open a.img\n", 1, "-open a.img", "in quotes"},
        {"unclosed quote", "-open \"a.img\n", 1, "-open \"a.img", "not closed"},
        {"two spaces", "-open  \"a.img\"\n", 1, "-open  \"a.img\"", "in quotes"},
        {"export one argument", open + "-export \"a.dff\"\n", 2, "-export \"a.dff\"", "one space"},
        {"export no space", open + "-export \"a.dff\"\"b\"\n", 2, "-export \"a.dff\"\"b\"", "one space"},
        {"export unquoted second", open + "-export \"a.dff\" b\n", 2, "-export \"a.dff\" b", "in quotes"},
        {"extra argument", open + "-import \"a.dff\" \"b\"\n", 2, "-import \"a.dff\" \"b\"", "unexpected text"},
        {"trailing garbage", open + "-close now\n", 2, "-close now", "unexpected text"},
        {"trailing space", "-open \"a.img\" \n", 1, "-open \"a.img\" ", "unexpected text"},
        {"lone backslash", "-open \"C:\\Games\\gta3.img\"\n", 1, "-open \"C:\\Games\\gta3.img\"", "single backslash"},
        {"odd backslashes", "-open \"C:\\\\\\Games\"\n", 1, "-open \"C:\\\\\\Games\"", "single backslash"},
        {"backslash before quote", "-open \"C:\\\"\n", 1, "-open \"C:\\\"", "single backslash"},
        {"empty path", "-open \"\"\n", 1, "-open \"\"", "empty"},
        {"empty entry name", open + "-export \"\" \"b\"\n", 2, "-export \"\" \"b\"", "empty"},
        {"import of a folder", open + "-import \"D:\\\\Mod\\\\\"\n", 2, "-import \"D:\\\\Mod\\\\\"", "file name"},
        {"control character", "-open \"a\tb.img\"\n", 1, "-open \"a\tb.img\"", "control character"},
        {"nul byte", std::string("-open \"a\0b\"\n", 12), 1, std::string("-open \"a\0b\"", 11), "control character"},
        {"lone carriage return", "-open \"a.img\"\r-close\n", 1, "-open \"a.img\"\r-close", "control character"},
        {"export with no archive", "-export \"a.dff\" \"b\"\n", 1, "-export \"a.dff\" \"b\"", "no archive open"},
        {"import with no archive", "-import \"a.dff\"\n", 1, "-import \"a.dff\"", "no archive open"},
        {"close with none open", "-close\n", 1, "-close", "no archive open"},
        {"import after close", open + "-close\r\n-import \"a.dff\"\r\n", 3, "-import \"a.dff\"", "no archive open"},
        {"second close", open + "-close\r\n-close\r\n", 3, "-close", "no archive open"},
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.what);
        try {
            ReadScript(item.text);
            ADD_FAILURE() << "accepted";
        } catch (const ScriptError& error) {
            EXPECT_EQ(error.lineNumber(), item.lineNumber);
            EXPECT_EQ(error.line(), item.line);
            EXPECT_NE(std::string(error.what()).find(item.reason), std::string::npos) << error.what();
        }
    }
}

}  // namespace
}  // namespace veltrin::tool
