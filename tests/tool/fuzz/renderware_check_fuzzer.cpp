// Any bytes as a mod's .dff and .txd: the check never reads outside them and
// always comes to one verdict, a problem or a description of a sound stream.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "tool/modcheck/renderware_check.h"

namespace {

void Check(bool holds) {
    if (!holds) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> bytes(data, size);
    for (const auto kind : {veltrin::tool::StreamKind::Model, veltrin::tool::StreamKind::TextureDictionary}) {
        const auto check = veltrin::tool::CheckRenderWareStream(bytes, kind);
        Check(check.problem.empty() != check.description.empty());
        if (check.problem.empty()) Check(size >= 24);  // a top chunk and the struct inside it
        if (!check.problem.empty()) Check(check.warning.empty());
    }
    // Reads the texture natives of any bytes without reading past them.
    for (const auto& found : veltrin::tool::TexturesNotBlendable(bytes)) Check(found.rfind("texture ", 0) == 0);
    return 0;
}
