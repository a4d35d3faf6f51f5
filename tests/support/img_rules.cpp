#include "img_rules.h"

#include <algorithm>
#include <unordered_map>

namespace veltrin::testing::img {
namespace {

constexpr uint64_t kSector = 2048;
constexpr uint64_t kHeaderBytes = 8;
constexpr uint64_t kRecordBytes = 32;
constexpr uint64_t kNameBytes = 24;
constexpr uint64_t kNameField = 8;                    // the name's place within a record
constexpr uint64_t kAddressable = uint64_t{1} << 32;  // offsets become 32-bit byte positions
constexpr size_t kPlayerTable = 550;
constexpr size_t kDotWithin = 20;

uint32_t Read32(const std::vector<uint8_t>& bytes, uint64_t at) {
    return uint32_t{bytes[at]} | uint32_t{bytes[at + 1]} << 8 | uint32_t{bytes[at + 2]} << 16 |
           uint32_t{bytes[at + 3]} << 24;
}

uint16_t Read16(const std::vector<uint8_t>& bytes, uint64_t at) {
    return static_cast<uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string LowerAscii(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) c = Lower(c);
    return lower;
}

bool Printable(unsigned char c) { return c >= 0x20 && c <= 0x7e; }

// Names may hold any bytes; messages show the unprintable ones as \xNN so they stay one plain line.
std::string Shown(std::string_view name) {
    std::string shown;
    for (char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (Printable(byte) && c != '\\' && c != '"') {
            shown += c;
        } else {
            constexpr std::string_view kHex = "0123456789abcdef";
            shown += "\\x";
            shown += kHex[byte >> 4];
            shown += kHex[byte & 0xf];
        }
    }
    return shown;
}

std::string Named(size_t index, const Record& record) {
    return "record " + std::to_string(index) + " \"" + Shown(record.name) + "\"";
}

uint64_t EndSector(const Record& record) { return uint64_t{record.offset} + record.streaming; }

// The name's 24 bytes as they lie on disk, whether or not a NUL ends them.
std::string_view RawName(const std::vector<uint8_t>& bytes, size_t index) {
    const uint64_t at = kHeaderBytes + index * kRecordBytes + kNameField;
    return {reinterpret_cast<const char*>(bytes.data() + at), kNameBytes};
}

void CheckNames(const std::vector<uint8_t>& bytes, const Parsed& parsed, std::vector<std::string>& problems) {
    for (size_t i = 0; i < parsed.records.size(); ++i) {
        const Record& record = parsed.records[i];
        if (RawName(bytes, i).find('\0') == std::string_view::npos) {
            problems.push_back(Named(i, record) + ": the name has no NUL within its 24 bytes");
        }
        for (char c : record.name) {
            if (!Printable(static_cast<unsigned char>(c))) {
                problems.push_back(Named(i, record) + ": the name holds a byte that is not printable ASCII");
                break;
            }
        }
        if (record.archiveSize != 0) {
            problems.push_back(Named(i, record) + ": bytes 6-7 hold " + std::to_string(record.archiveSize) +
                               ", not 0; the game would read that many sectors instead of the streaming size");
        }
    }
}

// Records must follow one another in directory order with nothing between them, from the directory's end to the
// file's end: the game reads linked entries in one read and hands each the bytes at the running sum of sizes.
void CheckLayout(const Parsed& parsed, std::vector<std::string>& problems) {
    const auto& records = parsed.records;
    const uint64_t directoryEnd = kHeaderBytes + records.size() * kRecordBytes;
    if (records.empty()) {
        // Parse already holds the file to the directory's end; nothing else can be wrong.
        return;
    }
    if (records[0].offset * kSector < directoryEnd) {
        problems.push_back(Named(0, records[0]) + " starts at sector " + std::to_string(records[0].offset) +
                           ", inside the directory (which ends at byte " + std::to_string(directoryEnd) + ")");
    }
    for (size_t i = 1; i < records.size(); ++i) {
        const Record& previous = records[i - 1];
        const Record& record = records[i];
        const uint64_t expected = EndSector(previous);
        const std::string where = Named(i, record) + " starts at sector " + std::to_string(record.offset);
        const std::string before = Named(i - 1, previous);
        if (record.offset > expected) {
            problems.push_back(where + ", leaving a gap of " + std::to_string(record.offset - expected) +
                               " sector(s) after " + before + ", which ends at sector " + std::to_string(expected));
        } else if (record.offset < previous.offset) {
            problems.push_back(where + ", before " + before + " at sector " + std::to_string(previous.offset) +
                               ": the data is out of directory order");
        } else if (record.offset < expected) {
            problems.push_back(where + ", overlapping " + before + ", which ends at sector " +
                               std::to_string(expected));
        }
    }
    for (size_t i = 0; i < records.size(); ++i) {
        const uint64_t start = records[i].offset * kSector;
        const uint64_t end = EndSector(records[i]) * kSector;
        if (start >= kAddressable || end > kAddressable) {
            problems.push_back(Named(i, records[i]) + " lies beyond the first 4 GiB (it ends at byte " +
                               std::to_string(end) + ")");
        }
        // The last record is held to the file's end below, in one message; a record of 0 sectors holds no byte
        // that could lie past it.
        if (i + 1 < records.size() && records[i].streaming > 0 && end > parsed.fileSize) {
            problems.push_back(Named(i, records[i]) + " ends at byte " + std::to_string(end) +
                               ", past the end of the file (" + std::to_string(parsed.fileSize) + " bytes)");
        }
    }
    const size_t lastIndex = records.size() - 1;
    const uint64_t lastEnd = EndSector(records[lastIndex]) * kSector;
    if (parsed.fileSize > lastEnd) {
        problems.push_back("the file is " + std::to_string(parsed.fileSize) + " bytes, longer than the end of " +
                           Named(lastIndex, records[lastIndex]) + " at byte " + std::to_string(lastEnd) +
                           ": the bytes after it belong to no record");
    } else if (parsed.fileSize < lastEnd) {
        problems.push_back("the file is " + std::to_string(parsed.fileSize) + " bytes, shorter than the end of " +
                           Named(lastIndex, records[lastIndex]) + " at byte " + std::to_string(lastEnd));
    }
}

// The game skips a name it already took (any case), so the later entry is never loaded and breaks the link.
// Fillers with the largest taken entry's size or less cost the streaming buffer nothing.
void CheckEntries(const Parsed& parsed, const std::set<std::string>& twinsKept, std::vector<std::string>& problems) {
    const auto& records = parsed.records;
    std::unordered_map<std::string, size_t> firstTaken;
    std::optional<size_t> largestTaken;
    for (size_t i = 0; i < records.size(); ++i) {
        if (!GameTakes(records[i].name)) continue;
        const auto [it, inserted] = firstTaken.emplace(LowerAscii(records[i].name), i);
        if (!inserted && twinsKept.count(it->first) == 0) {
            problems.push_back(Named(i, records[i]) + " has the same name as " +
                               Named(it->second, records[it->second]) + " (ASCII case ignored)");
        }
        if (!largestTaken || records[i].streaming > records[*largestTaken].streaming) largestTaken = i;
    }
    if (!largestTaken) return;
    const Record& largest = records[*largestTaken];
    for (size_t i = 0; i < records.size(); ++i) {
        if (GameTakes(records[i].name) || records[i].streaming <= largest.streaming) continue;
        problems.push_back(Named(i, records[i]) + " is a filler (the game does not take its name) of " +
                           std::to_string(records[i].streaming) + " sectors, larger than the largest entry the " +
                           "game takes, " + Named(*largestTaken, largest) + " of " + std::to_string(largest.streaming) +
                           " sectors");
    }
}

// The stored sectors of a record, as far as the file holds them.
std::vector<uint8_t> SectorsOf(const std::vector<uint8_t>& bytes, const Record& record) {
    const uint64_t start = std::min<uint64_t>(record.offset * kSector, bytes.size());
    const uint64_t end = std::min<uint64_t>(EndSector(record) * kSector, bytes.size());
    return {bytes.begin() + static_cast<std::ptrdiff_t>(start), bytes.begin() + static_cast<std::ptrdiff_t>(end)};
}

// The records the game takes, grouped by name in lower case, each group in directory order.
std::map<std::string, std::vector<size_t>> TakenByName(const Parsed& parsed) {
    std::map<std::string, std::vector<size_t>> groups;
    for (size_t i = 0; i < parsed.records.size(); ++i)
        if (GameTakes(parsed.records[i].name)) groups[LowerAscii(parsed.records[i].name)].push_back(i);
    return groups;
}

}  // namespace

std::optional<Parsed> Parse(const std::vector<uint8_t>& bytes, std::string* why) {
    const auto fail = [why](std::string reason) -> std::optional<Parsed> {
        if (why != nullptr) *why = std::move(reason);
        return std::nullopt;
    };
    if (bytes.size() < kHeaderBytes) {
        return fail("the header: the file is " + std::to_string(bytes.size()) +
                    " bytes, shorter than the 8-byte header");
    }
    if (bytes[0] != 'V' || bytes[1] != 'E' || bytes[2] != 'R' || bytes[3] != '2') {
        return fail("the header: the file does not start with \"VER2\" but with \"" +
                    Shown(std::string_view(reinterpret_cast<const char*>(bytes.data()), 4)) + "\"");
    }
    const uint32_t count = Read32(bytes, 4);
    const uint64_t directoryEnd = kHeaderBytes + uint64_t{count} * kRecordBytes;
    if (directoryEnd > bytes.size()) {
        return fail("the header: its count of " + std::to_string(count) + " records needs a directory ending at byte " +
                    std::to_string(directoryEnd) + ", but the file is " + std::to_string(bytes.size()) + " bytes");
    }
    Parsed parsed;
    parsed.fileSize = bytes.size();
    parsed.records.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        const uint64_t at = kHeaderBytes + i * kRecordBytes;
        Record record;
        const std::string_view raw = RawName(bytes, i);
        record.name = std::string(raw.substr(0, raw.find('\0')));
        record.offset = Read32(bytes, at);
        record.streaming = Read16(bytes, at + 4);
        record.archiveSize = Read16(bytes, at + 6);
        parsed.records.push_back(std::move(record));
    }
    return parsed;
}

std::vector<std::string> GameRuleProblems(const std::vector<uint8_t>& bytes) { return GameRuleProblems(bytes, {}); }

std::vector<std::string> GameRuleProblems(const std::vector<uint8_t>& bytes, const std::set<std::string>& twinsKept) {
    std::string why;
    const std::optional<Parsed> parsed = Parse(bytes, &why);
    if (!parsed) return {why};
    std::vector<std::string> problems;
    CheckNames(bytes, *parsed, problems);
    CheckLayout(*parsed, problems);
    CheckEntries(*parsed, twinsKept, problems);
    return problems;
}

std::map<std::string, Read> GameReads(const std::vector<uint8_t>& bytes) {
    std::map<std::string, Read> reads;
    const std::optional<Parsed> parsed = Parse(bytes);
    if (!parsed) return reads;
    for (const auto& [name, group] : TakenByName(*parsed)) {
        const Record& record = parsed->records[group.front()];
        reads.emplace(name, Read{group.front(), record.name, SectorsOf(bytes, record)});
    }
    return reads;
}

std::set<std::string> TwinNames(const std::vector<uint8_t>& bytes) {
    std::set<std::string> twins;
    const std::optional<Parsed> parsed = Parse(bytes);
    if (!parsed) return twins;
    for (const auto& [name, group] : TakenByName(*parsed))
        if (group.size() > 1) twins.insert(name);
    return twins;
}

std::vector<std::string> TwinProblems(const std::vector<uint8_t>& before, const std::vector<uint8_t>& after) {
    std::string whyBefore;
    std::string whyAfter;
    const std::optional<Parsed> old = Parse(before, &whyBefore);
    const std::optional<Parsed> now = Parse(after, &whyAfter);
    std::vector<std::string> problems;
    if (!old) problems.push_back("before is not an archive: " + whyBefore);
    if (!now) problems.push_back("after is not an archive: " + whyAfter);
    if (!problems.empty()) return problems;

    const std::map<std::string, std::vector<size_t>> groupsAfter = TakenByName(*now);
    for (const auto& [name, group] : TakenByName(*old)) {
        if (group.size() < 2) continue;
        const std::string read = Named(group.front(), old->records[group.front()]);
        const size_t skipped = group.size() - 1;
        const auto found = groupsAfter.find(name);
        const size_t count = found == groupsAfter.end() ? 0 : found->second.size();
        if (count < skipped) {
            problems.push_back(read + ": the game skipped " + std::to_string(skipped) + " later record(s) of its " +
                               "name before the change, and only " + std::to_string(count) + " hold it after");
            continue;
        }
        if (count > skipped + 1) {
            problems.push_back(read + ": " + std::to_string(count) + " records hold its name after the change, " +
                               "more than the " + std::to_string(group.size()) + " before");
            continue;
        }
        // The skipped ones must be the last records of the name after, in their order, with their bytes.
        const std::vector<size_t>& ofName = found->second;
        for (size_t j = 0; j < skipped; ++j) {
            const size_t was = group[1 + j];
            const size_t is = ofName[count - skipped + j];
            if (SectorsOf(before, old->records[was]) == SectorsOf(after, now->records[is])) continue;
            const size_t readNow = ofName.front();
            std::string message = Named(was, old->records[was]) + ", which the game skipped for " + read +
                                  " before the change, is not among the records it skips after it with its bytes " +
                                  "(it reads " + Named(readNow, now->records[readNow]) + ")";
            for (size_t k = 1; k < group.size(); ++k)
                if (SectorsOf(before, old->records[group[k]]) == SectorsOf(after, now->records[readNow])) {
                    message +=
                        ": the game now reads what it skipped before, " + Named(group[k], old->records[group[k]]);
                    break;
                }
            problems.push_back(message);
            break;
        }
    }
    return problems;
}

std::vector<std::string> FixedTableProblems(const std::vector<uint8_t>& before, const std::vector<uint8_t>& after) {
    std::string whyBefore;
    std::string whyAfter;
    const std::optional<Parsed> old = Parse(before, &whyBefore);
    const std::optional<Parsed> now = Parse(after, &whyAfter);
    std::vector<std::string> problems;
    if (!old) problems.push_back("before is not an archive: " + whyBefore);
    if (!now) problems.push_back("after is not an archive: " + whyAfter);
    if (!problems.empty()) return problems;

    // The game looks clothes up by full name, first match in any case.
    std::unordered_map<std::string, size_t> firstAfter;
    for (size_t i = 0; i < now->records.size(); ++i) firstAfter.emplace(LowerAscii(now->records[i].name), i);
    for (size_t i = 0; i < old->records.size(); ++i) {
        const Record& record = old->records[i];
        const auto found = firstAfter.find(LowerAscii(record.name));
        if (found == firstAfter.end()) {
            problems.push_back(Named(i, record) + " is gone after the change");
        } else if (i < kPlayerTable && found->second >= kPlayerTable) {
            problems.push_back(Named(i, record) + " lies within the game's table of 550 before the change but at " +
                               "position " + std::to_string(found->second) + " after it, where the game drops it");
        }
    }
    return problems;
}

bool GameTakes(std::string_view name) {
    const size_t dot = name.find('.');
    if (dot == std::string_view::npos || dot >= kDotWithin) return false;
    const std::string extension = LowerAscii(name.substr(dot + 1));
    for (const char* known : {"dff", "txd", "col", "ipl", "dat", "ifp", "rrr", "scm"}) {
        if (extension == known) return true;
    }
    return false;
}

}  // namespace veltrin::testing::img
