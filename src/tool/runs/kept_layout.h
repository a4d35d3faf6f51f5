#pragma once
// A layout as the game's record of installs keeps it in memory
// (game_record.h). Every copy of a record shares its layouts, and a layout
// read from a record stays the changes it was written as, against the layout
// written before it, until it is first asked for whole. A run asks for one
// or two (the newest install's, the record's own), so the layouts of a
// record take about what the record's bytes do however many installs it
// holds, and a copy of the record a pointer for each.
//
// The changes (their bytes as game_record.h gives them) are checked when
// read, so making one whole cannot fail.
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "archive/archive.h"

namespace veltrin::tool {

class RecordReader;
class RecordWriter;

class KeptLayout {
public:
    KeptLayout() = default;
    KeptLayout(std::nullopt_t) {}        // NOLINT(google-explicit-constructor): none, as an optional
    KeptLayout(archive::Layout layout);  // NOLINT(google-explicit-constructor): a layout made whole

    // Reads changes written against base, or, when there is none, against
    // first (the record's first base), made whole at once. budget: the
    // bytes the record's layouts may still take once whole; a layout that
    // would take more throws RecordError, as do changes that are out of
    // order or reach outside their front or their base.
    static KeptLayout Read(RecordReader& in, const KeptLayout& base, const std::vector<uint8_t>& first,
                           uint64_t& budget);
    // Checks changes whose base is not at hand: there is no layout.
    static void Pass(RecordReader& in);
    // Writes it as its changes against base, or, when there is none,
    // against first: the bytes it was read as, when it was read against
    // that same base.
    void Write(RecordWriter& out, const KeptLayout& base, const std::vector<uint8_t>& first) const;

    [[nodiscard]] bool has_value() const { return node_ != nullptr; }
    explicit operator bool() const { return has_value(); }
    void reset() { node_.reset(); }
    // Made whole the first time (for every copy).
    const archive::Layout& operator*() const;
    const archive::Layout* operator->() const { return &**this; }
    // Its front and tail bytes once whole.
    [[nodiscard]] uint64_t Bytes() const;

    // The same layout, byte for byte (both made whole).
    friend bool operator==(const KeptLayout& a, const KeptLayout& b);

private:
    struct Node;
    std::shared_ptr<const Node> node_;
};

}  // namespace veltrin::tool
