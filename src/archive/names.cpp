#include "archive/names.h"

#include "archive/archive.h"
#include "archive/free_entries.h"
#include "text/ascii.h"

namespace veltrin::archive {

std::string FoldedName(std::string_view name) { return text::FoldAscii(name); }

size_t FoldedHash::operator()(std::string_view name) const noexcept {
    uint64_t hash = 0xcbf29ce484222325ull;
    for (const char c : name) hash = (hash ^ static_cast<uint8_t>(text::LowerAscii(c))) * 0x100000001b3ull;
    return static_cast<size_t>(hash);
}

bool FoldedEqual::operator()(std::string_view a, std::string_view b) const noexcept {
    return text::EqualIgnoringAsciiCase(a, b);
}

std::string NameProblem(std::string_view name) {
    if (name.empty()) return "The name is empty.";
    if (name.size() > kMaxNameLength)
        return "The name is longer than " + std::to_string(kMaxNameLength) + " characters.";
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte > 0x7E) return "The name holds a character other than plain printable ASCII.";
        if (c == '/' || c == '\\') return "The name holds a path separator.";
        if (c == '<' || c == '>' || c == ':' || c == '"' || c == '|' || c == '?' || c == '*')
            return std::string("The name holds the character ") + c + ", which file names cannot hold.";
    }
    if (name == "." || name == "..") return "The name is not a file name.";
    if (name.back() == ' ' || name.back() == '.')
        return "The name ends with a space or a dot, which file names cannot.";
    if (IsReservedName(name)) return "The name is kept for the free space the archive tool leaves in archives.";
    return {};
}

}  // namespace veltrin::archive
