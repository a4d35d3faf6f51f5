// Writes the seed corpus of the RenderWare stream check fuzzer into the
// folder given: sound models and dictionaries, and damaged ones.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "../modcheck/stream_builder.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
        return 2;
    }
    using namespace veltrin::tool::testing;
    Stream truncated = Model();
    truncated.resize(truncated.size() / 2);
    Stream padded = Dictionary(3);
    padded.resize(2048, 0);
    const std::vector<Stream> seeds = {
        Model(),
        Dictionary(1),
        Dictionary(4, 0x0C02FFFF),
        Concat({Chunk(0x2B, Chunk(0x01, Words({0}))), Model()}),
        truncated,
        padded,
        Chunk(0x10, Chunk(0x03, Chunk(0x03, Chunk(0x03, {})))),
        DictionaryOf({TextureNative("dxt1", {9, 0x0200, FourCharacters("DXT1"), 16, 8}),
                      TextureNative("pal8", {9, 0x2500, 41, 8, 1})}),
    };
    for (size_t i = 0; i < seeds.size(); ++i) {
        std::ofstream out(std::string(argv[1]) + "/seed" + std::to_string(i), std::ios::binary);
        out.write(reinterpret_cast<const char*>(seeds[i].data()), static_cast<std::streamsize>(seeds[i].size()));
    }
    return 0;
}
