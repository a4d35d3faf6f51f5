#include <unistd.h>

#include <climits>
#include <stdexcept>

#include "tool/common/platform.h"

namespace veltrin::tool {
namespace {

// Length of the UTF-8 sequence that starts at text[pos], or 0 when it is not
// a well-formed one (overlong forms, surrogates and values past U+10FFFF
// included).
size_t SequenceLength(std::string_view text, size_t pos) {
    const auto at = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = at(pos);
    if (lead < 0x80) return 1;
    size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (pos + length > text.size()) return 0;
    if (at(pos + 1) < low || at(pos + 1) > high) return 0;
    for (size_t i = 2; i < length; ++i)
        if (at(pos + i) < 0x80 || at(pos + i) > 0xBF) return 0;
    return length;
}

}  // namespace

std::string AnsiToUtf8(std::string_view bytes) {
    for (size_t pos = 0; pos < bytes.size();) {
        const size_t length = SequenceLength(bytes, pos);
        if (length == 0) throw std::runtime_error("the text is not valid UTF-8 (byte " + std::to_string(pos) + ")");
        pos += length;
    }
    return std::string(bytes);
}

std::string CodePageProblem(std::string_view name) {
    for (const char c : name)
        if (static_cast<unsigned char>(c) >= 0x80)
            return "a player's Windows code page may not write it (not plain ASCII)";
    return {};
}

char PathSeparator() { return '/'; }

std::string ComputerName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return {};
    return name;
}

}  // namespace veltrin::tool
