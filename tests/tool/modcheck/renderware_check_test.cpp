#include "tool/modcheck/renderware_check.h"

#include <gtest/gtest.h>

#include "stream_builder.h"

namespace veltrin::tool {
namespace {

using testing::Chunk;
using testing::Concat;
using testing::Dictionary;
using testing::Model;
using testing::Stream;
using testing::Words;

TEST(RenderWareCheck, SoundStreamsAreDescribed) {
    const StreamCheck model = CheckRenderWareStream(Model(), StreamKind::Model);
    EXPECT_EQ(model.problem, "");
    EXPECT_EQ(model.warning, "");
    EXPECT_EQ(model.description, "a model (clump, 1 atomic), RenderWare 3.6.0.3");

    const StreamCheck dictionary = CheckRenderWareStream(Dictionary(2), StreamKind::TextureDictionary);
    EXPECT_EQ(dictionary.problem, "");
    EXPECT_EQ(dictionary.description, "a texture dictionary (2 textures), RenderWare 3.6.0.3");

    // Animations of the model's materials may come first.
    const Stream animated = Concat({Chunk(0x2B, Chunk(0x01, Words({0}))), Model()});
    EXPECT_EQ(CheckRenderWareStream(animated, StreamKind::Model).problem, "");
}

TEST(RenderWareCheck, ZerosUpToTheNextSectorArePadding) {
    Stream padded = Model();
    padded.resize(2048, 0);
    EXPECT_EQ(CheckRenderWareStream(padded, StreamKind::Model).problem, "");

    Stream longer = Model();
    longer.resize(longer.size() + 2048, 0);
    EXPECT_EQ(CheckRenderWareStream(longer, StreamKind::Model).problem,
              "the file goes on for 2048 bytes after its clump (0x10), which does not cover them");

    Stream junk = Model();
    junk.push_back(0);
    junk.push_back(7);
    EXPECT_EQ(CheckRenderWareStream(junk, StreamKind::Model).problem,
              "the file goes on for 2 bytes after its clump (0x10), which does not cover them");
}

TEST(RenderWareCheck, WrongKindsAndForeignFilesAreProblems) {
    struct Case {
        const char* what;
        Stream bytes;
        StreamKind kind;
        std::string problem;
    };
    const std::vector<Case> cases = {
        {"a .txd holding a clump", Model(), StreamKind::TextureDictionary,
         "it holds a model (clump, 0x10), not a texture dictionary: a .txd begins with a texture dictionary (0x16)"},
        {"a .dff holding a dictionary", Dictionary(), StreamKind::Model,
         "it holds a texture dictionary (0x16), not a model: a .dff begins with a clump (0x10)"},
        {"another chunk first", Chunk(0x14, {}), StreamKind::Model,
         "its first chunk is an atomic (0x14), not a clump (0x10)"},
        {"text", Stream{'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd', '!', '\n'}, StreamKind::Model,
         "not a RenderWare binary stream: its first 4 bytes (0x6C6C6568) name no RenderWare chunk"},
        {"empty", {}, StreamKind::Model, "the file is empty"},
        {"shorter than a header", Stream(5, 0x10), StreamKind::TextureDictionary,
         "the file is 5 bytes long, shorter than one RenderWare chunk header (12 bytes)"},
        {"only animations", Chunk(0x2B, Chunk(0x01, Words({0}))), StreamKind::Model,
         "nothing follows its UV animation dictionary (0x2B)"},
        {"an empty clump", Chunk(0x10, {}), StreamKind::Model, "the clump (0x10) is empty"},
        {"a clump without its struct", Chunk(0x10, Chunk(0x03, {})), StreamKind::Model,
         "the clump (0x10) does not begin with its struct (0x1)"},
    };
    for (const auto& c : cases) EXPECT_EQ(CheckRenderWareStream(c.bytes, c.kind).problem, c.problem) << c.what;
}

TEST(RenderWareCheck, TruncatedAndMisnestedChunksAreProblems) {
    Stream model = Model();
    model.pop_back();
    EXPECT_EQ(CheckRenderWareStream(model, StreamKind::Model).problem,
              "truncated: its clump (0x10) says " + std::to_string(Model().size() - 12) +
                  " bytes follow its header, and the file ends 1 byte short of that");

    // The top chunk claims its own size, but a child inside claims more.
    Stream inner = Concat({Chunk(0x01, Words({1, 0, 0})), Chunk(0x03, Words({1, 2}))});
    inner[12 + 12 + 4] = 9;  // the extension's size: 9 instead of 8
    EXPECT_EQ(CheckRenderWareStream(Chunk(0x10, inner), StreamKind::Model).problem,
              "the extension (0x3) at byte 36 runs 1 byte past the end of the clump (0x10) that holds it");

    // Bytes at the end of a parent that are too few for a header.
    const Stream leftover = Chunk(0x16, Concat({Chunk(0x01, Words({0})), Words({0})}));
    EXPECT_EQ(CheckRenderWareStream(leftover, StreamKind::TextureDictionary).problem,
              "the last 4 bytes of the texture dictionary (0x16) at byte 0 are not a whole chunk");

    // A deep tree is refused without a deep recursion.
    Stream deep = Chunk(0x03, {});
    for (int i = 0; i < 200; ++i) deep = Chunk(0x03, deep);
    const Stream nested = Chunk(0x10, Concat({Chunk(0x01, Words({0, 0, 0})), deep}));
    EXPECT_EQ(CheckRenderWareStream(nested, StreamKind::Model).problem, "its chunks are nested more than 64 deep");
}

TEST(RenderWareCheck, AStampOtherThanTheGamesIsAWarning) {
    // 0x0C02FFFF: the stamp of the PC Vice City files.
    const StreamCheck older = CheckRenderWareStream(Model(0x0C02FFFF), StreamKind::Model);
    EXPECT_EQ(older.problem, "");
    EXPECT_EQ(older.warning,
              "its library stamp 0xC02FFFF is RenderWare 3.3.0.2, not the PC game's 3.6 (0x1803FFFF): "
              "the game may not load it");
    EXPECT_EQ(older.description, "a model (clump, 1 atomic), RenderWare 3.3.0.2");

    EXPECT_EQ(LibraryVersionText(0x1803FFFF), "3.6.0.3");
    EXPECT_EQ(LibraryVersionText(0x310), "3.1.0.0");
    EXPECT_EQ(LibraryVersionText(0x1C020037), "3.7.0.2");
    EXPECT_NE(CheckRenderWareStream(Dictionary(1, 0x310), StreamKind::TextureDictionary).warning, "");
}

// The format fields of the texture native decide; the pixels are not read.
TEST(RenderWareCheck, TexturesNotBlendableNamesEachTextureAndItsFormat) {
    using testing::DictionaryOf;
    using testing::FourCharacters;
    using testing::TextureFormat;
    using testing::TextureNative;
    Stream shortStruct = Chunk(0x15, Concat({Chunk(0x01, Words({9, 0x1106})), Chunk(0x03, {})}));
    struct Case {
        const char* what;
        Stream native;
        std::string found;  // empty: blendable
    };
    const std::vector<Case> cases = {
        {"8888", TextureNative("rgba"), ""},
        {"888 in 32 bits", TextureNative("rgb", {9, 0x0600, 22, 32, 0}), ""},
        {"8888 with mip levels made by the engine", TextureNative("mips", {9, 0x9500, 21, 32, 1}), ""},
        {"DXT1", TextureNative("dxt1", {9, 0x0200, FourCharacters("DXT1"), 16, 8}),
         "texture \"dxt1\" is DXT1 compressed"},
        {"DXT5 without the flag", TextureNative("dxt5", {9, 0x0300, FourCharacters("DXT5"), 16, 1}),
         "texture \"dxt5\" is DXT5 compressed"},
        {"565", TextureNative("rgb565", {9, 0x0200, 23, 16, 0}), "texture \"rgb565\" is 16 bits per pixel (565)"},
        {"1555", TextureNative("rgb1555", {9, 0x0100, 25, 16, 1}), "texture \"rgb1555\" is 16 bits per pixel (1555)"},
        {"PAL8", TextureNative("pal8", {9, 0x2500, 41, 8, 1}),
         "texture \"pal8\" is 8 bits per pixel with a palette (PAL8)"},
        {"PAL4", TextureNative("pal4", {9, 0x4500, 41, 4, 1}),
         "texture \"pal4\" is 4 bits per pixel with a palette (PAL4)"},
        {"Direct3D 8, 8888", TextureNative("vc", {8, 0x0500, 1, 32, 0}), ""},
        {"Direct3D 8, DXT3", TextureNative("vc3", {8, 0x0300, 1, 16, 3}), "texture \"vc3\" is DXT3 compressed"},
        {"PS2", TextureNative("ps2", {0x00325350, 0x0500, 0, 32, 0}),
         "texture \"ps2\" is made for platform 0x325350, not the PC's Direct3D 9 (0x9): its format cannot be told"},
        {"a struct too short", shortStruct, "texture number 1 has a struct of 8 bytes, too short to hold its format"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto found = TexturesNotBlendable(DictionaryOf({c.native}));
        EXPECT_EQ(found, c.found.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.found});
    }
    // Each texture of a dictionary, in order, by name or number.
    const Stream mixed = DictionaryOf({TextureNative("skin"), TextureNative("", {9, 0x0200, 23, 16, 0}),
                                       TextureNative("l\x7Fgo", {9, 0x0200, FourCharacters("DXT1"), 16, 8})});
    EXPECT_EQ(TexturesNotBlendable(mixed), (std::vector<std::string>{"texture number 2 is 16 bits per pixel (565)",
                                                                     "texture \"l?go\" is DXT1 compressed"}));
    // Not a dictionary, or cut short: nothing to say, and nothing read past the end.
    EXPECT_TRUE(TexturesNotBlendable(Model()).empty());
    EXPECT_TRUE(TexturesNotBlendable({}).empty());
    Stream cut = DictionaryOf({TextureNative("dxt1", {9, 0x0200, FourCharacters("DXT1"), 16, 8})});
    cut.resize(60);
    EXPECT_TRUE(TexturesNotBlendable(cut).empty());
}

}  // namespace
}  // namespace veltrin::tool
