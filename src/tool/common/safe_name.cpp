#include "tool/common/safe_name.h"

#include <array>

namespace veltrin::tool {
namespace {

std::string Upper(std::string_view text) {
    std::string upper(text);
    for (char& c : upper)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return upper;
}

bool IsDeviceName(std::string_view name) {
    // The device is the part before the first dot, trailing spaces ignored.
    std::string_view base = name.substr(0, name.find('.'));
    while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
    const std::string upper = Upper(base);
    static constexpr std::array<std::string_view, 6> kPlain = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const auto device : kPlain)
        if (upper == device) return true;
    if (upper.size() >= 4 && (upper.compare(0, 3, "COM") == 0 || upper.compare(0, 3, "LPT") == 0)) {
        const std::string_view digit = std::string_view(upper).substr(3);
        if (digit.size() == 1 && digit[0] >= '0' && digit[0] <= '9') return true;
        // Superscript one, two and three count as digits too.
        if (digit == "\xC2\xB9" || digit == "\xC2\xB2" || digit == "\xC2\xB3") return true;
    }
    return false;
}

}  // namespace

std::string UnsafeNameProblem(std::string_view name) {
    if (name.empty()) return "the name is empty";
    if (name == "." || name == "..") return "the name is a folder reference";
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) return "the name holds a control character";
        if (c == '/' || c == '\\') return "the name holds a folder separator";
        if (c == ':') return "the name holds a drive or stream colon";
        if (c == '<' || c == '>' || c == '"' || c == '|' || c == '?' || c == '*')
            return "the name holds a character Windows does not allow in file names";
    }
    if (name.back() == '.' || name.back() == ' ') return "the name ends in a dot or a space";
    if (IsDeviceName(name)) return "the name is a device name";
    return {};
}

}  // namespace veltrin::tool
