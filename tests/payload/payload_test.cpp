// The payload's .dff and .txd files are real RenderWare models and texture
// dictionaries for the PC game, and each model's textures are in the
// dictionary of the same name; the reader that says so catches damage made
// to those same files.
#include "renderware_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace veltrin::renderware::test {
namespace {

namespace fs = std::filesystem;

// The folder holding gta3.img and player.img: VELTRIN_PAYLOAD_DIR when set,
// else the build's payload.
fs::path PayloadFolder() {
    if (const char* folder = std::getenv("VELTRIN_PAYLOAD_DIR"); folder != nullptr && *folder != '\0') return folder;
    return VELTRIN_PAYLOAD_FOLDER;
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    return text;
}

// The payload's files whose names end in the extension (".dff", ".txd") in
// any case, at any depth, leaving out hidden ones as the installer does.
std::vector<fs::path> PayloadFiles(const std::string& extension) {
    std::vector<fs::path> files;
    std::error_code error;
    for (fs::recursive_directory_iterator it(PayloadFolder(), error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (it->is_regular_file() && name.front() != '.' && Lower(it->path().extension().string()) == extension) {
            files.push_back(it->path());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::string ReadBytes(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) throw std::runtime_error("cannot open " + path.string());
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// Parses, turning a rejection into a failure that names the file.
template <class Result>
std::optional<Result> Parsed(const fs::path& path, Result (*parse)(std::string_view)) {
    try {
        return parse(ReadBytes(path));
    } catch (const FormatError& error) {
        ADD_FAILURE() << path << " does not read: " << error.what();
    }
    return std::nullopt;
}

void PutU32(std::string& bytes, size_t at, uint32_t value) {
    for (size_t i = 0; i < 4; ++i) bytes.at(at + i) = static_cast<char>((value >> (8 * i)) & 0xFF);
}

void PutU16(std::string& bytes, size_t at, uint16_t value) {
    bytes.at(at) = static_cast<char>(value & 0xFF);
    bytes.at(at + 1) = static_cast<char>(value >> 8);
}

uint32_t GetU32(const std::string& bytes, size_t at) {
    uint32_t value = 0;
    for (size_t i = 0; i < 4; ++i) value |= uint32_t{static_cast<unsigned char>(bytes.at(at + i))} << (8 * i);
    return value;
}

// Bytes a mip level of that Direct3D format and size takes.
uint64_t ExpectedLevelBytes(uint32_t d3d_format, uint64_t width, uint64_t height) {
    const uint64_t blocks = std::max<uint64_t>(1, (width + 3) / 4) * std::max<uint64_t>(1, (height + 3) / 4);
    if (d3d_format == kD3dDxt1) return blocks * 8;
    if (d3d_format == kD3dDxt3 || d3d_format == kD3dDxt5) return blocks * 16;
    if (d3d_format == kD3dA8R8G8B8 || d3d_format == kD3dX8R8G8B8) return width * height * 4;
    ADD_FAILURE() << "unexpected Direct3D format " << d3d_format;
    return 0;
}

// ----- the payload as it is -----

TEST(PayloadFolder, HoldsModelsAndTextureDictionaries) {
    const auto models = PayloadFiles(".dff");
    const auto dictionaries = PayloadFiles(".txd");
    std::cout << "payload folder " << PayloadFolder() << ": " << models.size() << " .dff, " << dictionaries.size()
              << " .txd\n";
    EXPECT_FALSE(models.empty()) << "no .dff in " << PayloadFolder();
    EXPECT_FALSE(dictionaries.empty()) << "no .txd in " << PayloadFolder();
}

TEST(PayloadModels, AreClumpsWhoseAtomicsTieFramesToGeometry) {
    const auto files = PayloadFiles(".dff");
    ASSERT_FALSE(files.empty()) << "no .dff in " << PayloadFolder();
    for (const auto& path : files) {
        SCOPED_TRACE(path.string());
        const auto model = Parsed(path, &ParseModel);
        if (!model) continue;
        EXPECT_EQ(model->stamp, kGameStamp) << std::hex << model->stamp;
        ASSERT_FALSE(model->chunks.empty());
        EXPECT_EQ(model->chunks.front().type, kClump);
        EXPECT_GE(model->frames.size(), 1u) << "the frame list is empty";
        if (!model->frames.empty()) {
            EXPECT_EQ(model->frames.front().parent, -1) << "the first frame is not a root";
        }
        EXPECT_GE(model->geometries.size(), 1u) << "no geometry";
        for (size_t g = 0; g < model->geometries.size(); ++g) {
            const Geometry& geometry = model->geometries[g];
            SCOPED_TRACE("geometry " + std::to_string(g));
            EXPECT_GT(geometry.vertex_count, 0);
            EXPECT_GT(geometry.triangle_count, 0);
            EXPECT_EQ(geometry.triangles.size(), static_cast<size_t>(geometry.triangle_count));
            EXPECT_GE(geometry.materials.size(), 1u) << "no material";
            for (const Triangle& triangle : geometry.triangles) {
                EXPECT_LT(std::max({triangle.v0, triangle.v1, triangle.v2}), geometry.vertex_count);
                EXPECT_LT(triangle.material, geometry.materials.size());
            }
        }
        EXPECT_GE(model->atomics.size(), 1u) << "no atomic: nothing of the model is drawn";
        EXPECT_EQ(model->atomics.size(), static_cast<size_t>(model->atomic_count));
        for (const Atomic& atomic : model->atomics) {
            EXPECT_GE(atomic.frame, 0);
            EXPECT_LT(atomic.frame, static_cast<int32_t>(model->frames.size()));
            EXPECT_GE(atomic.geometry, 0);
            EXPECT_LT(atomic.geometry, static_cast<int32_t>(model->geometries.size()));
        }
    }
}

TEST(PayloadTextures, AreDirect3D9DictionariesWithWholeRasters) {
    const auto files = PayloadFiles(".txd");
    ASSERT_FALSE(files.empty()) << "no .txd in " << PayloadFolder();
    for (const auto& path : files) {
        SCOPED_TRACE(path.string());
        const auto dictionary = Parsed(path, &ParseTextureDictionary);
        if (!dictionary) continue;
        EXPECT_EQ(dictionary->stamp, kGameStamp) << std::hex << dictionary->stamp;
        EXPECT_EQ(dictionary->device_id, 2) << "not a Direct3D 9 dictionary";
        EXPECT_GE(dictionary->textures.size(), 1u) << "no texture";
        EXPECT_EQ(dictionary->textures.size(), dictionary->texture_count);
        for (const TextureNative& texture : dictionary->textures) {
            SCOPED_TRACE("texture \"" + texture.name + "\"");
            EXPECT_EQ(texture.platform, 9u);
            EXPECT_EQ(texture.raster_type, 4) << "not a texture raster";
            EXPECT_FALSE(texture.name.empty());
            EXPECT_GT(texture.width, 0);
            EXPECT_GT(texture.height, 0);
            ASSERT_EQ(texture.levels.size(), texture.mip_count);
            EXPECT_GE(texture.levels.size(), 1u);
            for (size_t level = 0; level < texture.levels.size(); ++level) {
                const uint64_t width = std::max<uint64_t>(1, texture.width >> level);
                const uint64_t height = std::max<uint64_t>(1, texture.height >> level);
                EXPECT_EQ(texture.levels[level].size, ExpectedLevelBytes(texture.d3d_format, width, height))
                    << "level " << level << " (" << width << "x" << height << ")";
            }
        }
    }
}

TEST(PayloadPairs, EveryMaterialsTextureIsInTheDictionaryOfTheSameName) {
    const auto files = PayloadFiles(".dff");
    ASSERT_FALSE(files.empty()) << "no .dff in " << PayloadFolder();
    const auto dictionaries = PayloadFiles(".txd");
    for (const auto& path : files) {
        SCOPED_TRACE(path.string());
        const auto same_name = std::find_if(dictionaries.begin(), dictionaries.end(), [&](const fs::path& txd) {
            return txd.parent_path() == path.parent_path() && Lower(txd.stem().string()) == Lower(path.stem().string());
        });
        if (same_name == dictionaries.end()) {
            ADD_FAILURE() << "no " << path.stem().string() << ".txd beside it";
            continue;
        }
        const auto model = Parsed(path, &ParseModel);
        const auto dictionary = Parsed(*same_name, &ParseTextureDictionary);
        if (!model || !dictionary) continue;
        std::set<std::string> names;
        for (const TextureNative& texture : dictionary->textures) names.insert(texture.name);
        size_t textured = 0;
        for (const Geometry& geometry : model->geometries) {
            for (const Material& material : geometry.materials) {
                if (!material.textured) continue;
                ++textured;
                EXPECT_EQ(names.count(material.texture_name), 1u)
                    << "texture \"" << material.texture_name << "\" is not in " << *same_name;
            }
        }
        EXPECT_GE(textured, 1u) << "no material uses a texture of " << *same_name;
    }
}

// ----- the same files damaged: the reader must refuse each at the fault -----

using Parse = std::function<void(std::string_view)>;

const Parse kModel = [](std::string_view bytes) { ParseModel(bytes); };
const Parse kDictionary = [](std::string_view bytes) { ParseTextureDictionary(bytes); };

// Refused with a FormatError at the offset where the damage lies (any offset
// when none is given).
void ExpectRefused(const Parse& parse, const std::string& bytes, const std::string& damage,
                   std::optional<size_t> at = std::nullopt) {
    try {
        parse(bytes);
        ADD_FAILURE() << damage << ": read without complaint";
    } catch (const FormatError& error) {
        if (at) {
            EXPECT_EQ(error.offset(), *at) << damage << ": " << error.what();
        }
    }
}

struct Sample {
    fs::path path;
    std::string bytes;
    Parse parse;
};

// Every payload file that reads undamaged (a file that does not is a failure).
std::vector<Sample> Samples(bool models, bool dictionaries) {
    std::vector<Sample> samples;
    for (const auto& [wanted, extension, parse] :
         {std::tuple{models, ".dff", kModel}, std::tuple{dictionaries, ".txd", kDictionary}}) {
        if (!wanted) continue;
        const auto files = PayloadFiles(extension);
        if (files.empty()) ADD_FAILURE() << "no " << extension << " in " << PayloadFolder() << " to damage";
        for (const auto& path : files) {
            std::string bytes = ReadBytes(path);
            try {
                parse(bytes);
                samples.push_back({path, std::move(bytes), parse});
            } catch (const FormatError& error) {
                ADD_FAILURE() << path << " does not read undamaged: " << error.what();
            }
        }
    }
    return samples;
}

// The chunks the reader walked in the undamaged file.
std::vector<ChunkSpan> ChunksOf(const Sample& sample) {
    return Lower(sample.path.extension().string()) == ".dff" ? ParseModel(sample.bytes).chunks
                                                             : ParseTextureDictionary(sample.bytes).chunks;
}

TEST(ReaderCatchesDamage, FileTruncatedByOneByte) {
    for (const Sample& sample : Samples(true, true)) {
        SCOPED_TRACE(sample.path.string());
        std::string bytes = sample.bytes;
        bytes.pop_back();
        ExpectRefused(sample.parse, bytes, "truncated by one byte", 4);  // the top chunk's size
    }
}

TEST(ReaderCatchesDamage, ByteAfterTheTopChunk) {
    for (const Sample& sample : Samples(true, true)) {
        SCOPED_TRACE(sample.path.string());
        ExpectRefused(sample.parse, sample.bytes + '\0', "one byte appended", sample.bytes.size());
    }
}

TEST(ReaderCatchesDamage, AnyChunkSizeOneTooLarge) {
    for (const Sample& sample : Samples(true, true)) {
        SCOPED_TRACE(sample.path.string());
        const std::vector<ChunkSpan> chunks = ChunksOf(sample);
        ASSERT_GT(chunks.size(), 1u);
        for (const ChunkSpan& chunk : chunks) {
            std::string bytes = sample.bytes;
            PutU32(bytes, chunk.offset + 4, chunk.size + 1);
            ExpectRefused(sample.parse, bytes,
                          ChunkName(chunk.type) + " at " + std::to_string(chunk.offset) + " (depth " +
                              std::to_string(chunk.depth) + ") one byte larger");
        }
    }
}

TEST(ReaderCatchesDamage, LastChildRunsPastItsParent) {
    for (const Sample& sample : Samples(true, true)) {
        SCOPED_TRACE(sample.path.string());
        const std::vector<ChunkSpan> chunks = ChunksOf(sample);
        // The top chunk's last child (its Extension) ends where the top chunk does.
        const auto last = std::find_if(chunks.rbegin(), chunks.rend(), [](const ChunkSpan& c) { return c.depth == 1; });
        ASSERT_NE(last, chunks.rend());
        ASSERT_EQ(last->end(), chunks.front().end());
        std::string bytes = sample.bytes;
        PutU32(bytes, last->offset + 4, last->size + 1);
        ExpectRefused(sample.parse, bytes, "the top chunk's last child one byte larger", last->offset + 4);
    }
}

TEST(ReaderCatchesDamage, NestedChunkWithAnotherLibraryStamp) {
    for (const Sample& sample : Samples(true, true)) {
        SCOPED_TRACE(sample.path.string());
        const std::vector<ChunkSpan> chunks = ChunksOf(sample);
        ASSERT_GT(chunks.size(), 1u);
        const ChunkSpan& last = chunks.back();
        std::string bytes = sample.bytes;
        PutU32(bytes, last.offset + 8, GetU32(bytes, last.offset + 8) ^ 0x00010000u);
        ExpectRefused(sample.parse, bytes, "the last chunk's stamp changed", last.offset + 8);
    }
}

TEST(ReaderCatchesDamage, DictionaryWhoseFirstChunkIsAClump) {
    for (const Sample& sample : Samples(false, true)) {
        SCOPED_TRACE(sample.path.string());
        std::string bytes = sample.bytes;
        PutU32(bytes, 0, kClump);
        ExpectRefused(kDictionary, bytes, "a .txd starting with a Clump", 0);
    }
}

TEST(ReaderCatchesDamage, TriangleVertexOrMaterialOutOfRange) {
    size_t damaged = 0;
    for (const Sample& sample : Samples(true, false)) {
        SCOPED_TRACE(sample.path.string());
        const Model model = ParseModel(sample.bytes);
        for (const Geometry& geometry : model.geometries) {
            if (geometry.triangles.empty() || geometry.vertex_count > 0xFFFF) continue;
            const Triangle& first = geometry.triangles.front();
            // Each corner in turn (stored v1, v0, material, v2), then the material.
            for (const size_t corner : {size_t{0}, size_t{2}, size_t{6}}) {
                std::string bytes = sample.bytes;
                PutU16(bytes, first.offset + corner, static_cast<uint16_t>(geometry.vertex_count));
                ExpectRefused(kModel, bytes, "a vertex index equal to the vertex count", first.offset + corner);
            }
            std::string bytes = sample.bytes;
            PutU16(bytes, first.offset + 4, static_cast<uint16_t>(geometry.materials.size()));
            ExpectRefused(kModel, bytes, "a material index equal to the material count", first.offset + 4);
            ++damaged;
        }
    }
    EXPECT_GE(damaged, 1u) << "no triangle in the payload's models to damage";
}

TEST(ReaderCatchesDamage, AtomicNamingAFrameOrGeometryThatIsNotThere) {
    size_t damaged = 0;
    for (const Sample& sample : Samples(true, false)) {
        SCOPED_TRACE(sample.path.string());
        const Model model = ParseModel(sample.bytes);
        for (const Atomic& atomic : model.atomics) {
            std::string bytes = sample.bytes;
            PutU32(bytes, atomic.offset, static_cast<uint32_t>(model.frames.size()));
            ExpectRefused(kModel, bytes, "an atomic's frame index past the frame list", atomic.offset);
            bytes = sample.bytes;
            PutU32(bytes, atomic.offset + 4, static_cast<uint32_t>(model.geometries.size()));
            ExpectRefused(kModel, bytes, "an atomic's geometry index past the geometry list", atomic.offset + 4);
            bytes = sample.bytes;
            PutU32(bytes, atomic.offset, 0xFFFFFFFFu);
            ExpectRefused(kModel, bytes, "an atomic's frame index -1", atomic.offset);
            ++damaged;
        }
    }
    EXPECT_GE(damaged, 1u) << "no atomic in the payload's models to damage";
}

TEST(ReaderCatchesDamage, MipLevelOfTheWrongByteSize) {
    size_t damaged = 0;
    for (const Sample& sample : Samples(false, true)) {
        SCOPED_TRACE(sample.path.string());
        const TextureDictionary dictionary = ParseTextureDictionary(sample.bytes);
        for (const TextureNative& texture : dictionary.textures) {
            for (const MipLevel& level : texture.levels) {
                for (const uint32_t wrong : {level.size + 1, level.size - 1, level.size * 2}) {
                    std::string bytes = sample.bytes;
                    PutU32(bytes, level.offset, wrong);
                    ExpectRefused(kDictionary, bytes, "a mip level of " + std::to_string(wrong) + " bytes",
                                  level.offset);
                }
                ++damaged;
            }
        }
    }
    EXPECT_GE(damaged, 1u) << "no mip level in the payload's dictionaries to damage";
}

TEST(ReaderCatchesDamage, MipLevelsBeyondOneByOne) {
    size_t damaged = 0;
    for (const Sample& sample : Samples(false, true)) {
        SCOPED_TRACE(sample.path.string());
        const TextureDictionary dictionary = ParseTextureDictionary(sample.bytes);
        for (const TextureNative& texture : dictionary.textures) {
            uint32_t chain = 1;
            for (uint32_t side = std::max(texture.width, texture.height); side > 1; side /= 2) ++chain;
            std::string bytes = sample.bytes;
            const size_t mips_at = texture.offset + 4 + 4 + 64 + 4 + 4 + 4 + 1;
            ASSERT_EQ(static_cast<unsigned char>(bytes.at(mips_at)), texture.mip_count);
            bytes.at(mips_at) = static_cast<char>(chain + 1);
            ExpectRefused(kDictionary, bytes, "one mip level more than halving down to 1x1 allows", mips_at);
            bytes.at(mips_at) = 0;
            ExpectRefused(kDictionary, bytes, "no mip level", mips_at);
            ++damaged;
        }
    }
    EXPECT_GE(damaged, 1u) << "no texture in the payload's dictionaries to damage";
}

TEST(ReaderCatchesDamage, TextureNameWithoutItsNul) {
    size_t damaged = 0;
    for (const Sample& sample : Samples(false, true)) {
        SCOPED_TRACE(sample.path.string());
        const TextureDictionary dictionary = ParseTextureDictionary(sample.bytes);
        for (const TextureNative& texture : dictionary.textures) {
            std::string bytes = sample.bytes;
            const size_t name_at = texture.offset + 8;
            ASSERT_EQ(bytes.compare(name_at, texture.name.size(), texture.name), 0);
            bytes.replace(name_at, 32, 32, 'x');
            ExpectRefused(kDictionary, bytes, "32 name bytes without a NUL", name_at);
            ++damaged;
        }
    }
    EXPECT_GE(damaged, 1u) << "no texture in the payload's dictionaries to damage";
}

}  // namespace
}  // namespace veltrin::renderware::test
