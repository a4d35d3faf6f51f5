#include "tool/runs/kept_layout.h"

#include <algorithm>
#include <span>
#include <string_view>
#include <unordered_map>

#include "archive/format.h"
#include "archive/layout_restore.h"
#include "tool/runs/install_record.h"
#include "tool/runs/record_bytes.h"

namespace veltrin::tool {

struct KeptLayout::Node {
    uint64_t frontSize = 0;
    uint64_t tailSize = 0;
    std::vector<uint8_t> changes;      // as read; none for a layout made whole at once
    std::shared_ptr<const Node> base;  // what the changes are against
    mutable std::optional<archive::Layout> whole;

    Node() = default;
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;
    // A chain as long as the record has installs is let go one node after
    // another, not one call deeper for each.
    ~Node() {
        std::shared_ptr<const Node> next = std::move(base);
        while (next && next.use_count() == 1) {
            // The last holder of a node made non-const (make_shared<Node>).
            std::shared_ptr<const Node> after = std::move(const_cast<Node&>(*next).base);
            next = std::move(after);
        }
    }
};

namespace {

// Differing bytes closer than a run's own fields are taken into one run.
constexpr size_t kJoin = 17;

// A run of a layout's changes: bytes of its own, or the base's from source on.
struct Run {
    size_t offset = 0;
    size_t size = 0;
    std::optional<size_t> source;
};
constexpr uint8_t kOwnBytes = 0;
constexpr uint8_t kBaseBytes = 1;

// Runs of records moved up or down a place are taken from the base: a
// record's size, and where the first lies.
constexpr size_t kRecord = archive::format::kEntrySize;
constexpr size_t kFirstRecord = archive::format::kHeaderSize;

// Takes what a layout read takes from the budget of the record's layouts,
// before it is made.
void Spend(uint64_t* budget, uint64_t bytes) {
    if (!budget) return;
    if (bytes > *budget) throw RecordError("its layouts would take more memory than any record of installs needs");
    *budget -= bytes;
}

// The base's records by content: where each first lies.
std::unordered_map<std::string_view, size_t> RecordsOf(const std::vector<uint8_t>& base) {
    std::unordered_map<std::string_view, size_t> at;
    for (size_t i = kFirstRecord; i + kRecord <= base.size(); i += kRecord)
        at.emplace(std::string_view(reinterpret_cast<const char*>(base.data() + i), kRecord), i);
    return at;
}

// The runs that make the front from the base (read as zeros past its end):
// where a record lies in the base elsewhere, as many records as follow it
// there are taken from it; any other byte that differs is the front's own,
// those closer than kJoin in one run.
std::vector<Run> RunsFrom(const std::vector<uint8_t>& base, const std::vector<uint8_t>& front) {
    const auto differs = [&](size_t i) { return front[i] != (i < base.size() ? base[i] : 0); };
    const std::unordered_map<std::string_view, size_t> records = RecordsOf(base);
    const auto record = [&](size_t i) {
        return std::string_view(reinterpret_cast<const char*>(front.data() + i), kRecord);
    };
    std::vector<Run> runs;
    for (size_t i = 0; i < front.size();) {
        if (!differs(i)) {
            ++i;
            continue;
        }
        if (i >= kFirstRecord && (i - kFirstRecord) % kRecord == 0 && i + kRecord <= front.size()) {
            if (const auto found = records.find(record(i)); found != records.end()) {
                size_t size = kRecord;
                while (i + size + kRecord <= front.size() && found->second + size + kRecord <= base.size() &&
                       std::equal(front.begin() + static_cast<std::ptrdiff_t>(i + size),
                                  front.begin() + static_cast<std::ptrdiff_t>(i + size + kRecord),
                                  base.begin() + static_cast<std::ptrdiff_t>(found->second + size)))
                    size += kRecord;
                runs.push_back({i, size, found->second});
                i += size;
                continue;
            }
        }
        if (!runs.empty() && !runs.back().source && i - (runs.back().offset + runs.back().size) < kJoin)
            runs.back().size = i + 1 - runs.back().offset;
        else
            runs.push_back({i, 1, std::nullopt});
        ++i;
    }
    return runs;
}

// A layout as its changes against the base front.
void WriteChanges(RecordWriter& out, const archive::Layout& layout, const std::vector<uint8_t>& base) {
    out.U64(layout.fileSize);
    out.U64(layout.front.size());
    const std::vector<Run> runs = RunsFrom(base, layout.front);
    out.U32(static_cast<uint32_t>(runs.size()));
    for (const Run& run : runs) {
        out.Number(run.source ? kBaseBytes : kOwnBytes, 1);
        out.U64(run.offset);
        out.U64(run.size);
        if (run.source)
            out.U64(*run.source);
        else
            out.Raw(std::span(layout.front).subspan(run.offset, run.size));
    }
    out.U64(layout.tail.size());
    out.Raw(layout.tail);
}

struct Sizes {
    uint64_t front = 0;
    uint64_t tail = 0;
};

// Reads changes against a base front of baseSize bytes and checks them.
// Given the base's bytes, into gets the layout they make; budget (when
// given) pays for it.
Sizes ReadChanges(RecordReader& in, uint64_t baseSize, const std::vector<uint8_t>* base, archive::Layout* into,
                  uint64_t* budget) {
    const uint64_t fileSize = in.Number(8);
    const uint64_t frontSize = in.Number(8);
    if (frontSize > archive::kMaxLayoutFront)
        throw RecordError("a layout's front is larger than any archive's the tool keeps");
    Spend(budget, frontSize);
    if (into) {
        into->fileSize = fileSize;
        into->front.assign(base->begin(),
                           base->begin() + static_cast<std::ptrdiff_t>(std::min<uint64_t>(base->size(), frontSize)));
        into->front.resize(static_cast<size_t>(frontSize), 0);
    }
    uint64_t free = 0;  // where the next run may start
    for (uint32_t runs = in.Count(1 + 8 + 8 + 1); runs > 0; --runs) {
        const uint64_t kind = in.Number(1);
        const uint64_t offset = in.Number(8);
        const uint64_t size = in.Number(8);
        if (size == 0 || offset < free || offset > frontSize || size > frontSize - offset)
            throw RecordError("a layout's changes are out of order or outside its front");
        if (kind == kOwnBytes) {
            const auto bytes = in.Raw(size);
            if (into) std::copy(bytes.begin(), bytes.end(), into->front.begin() + static_cast<std::ptrdiff_t>(offset));
        } else if (kind == kBaseBytes) {
            const uint64_t source = in.Number(8);
            if (source > baseSize || size > baseSize - source)
                throw RecordError("a layout's changes take bytes from outside the layout before it");
            if (into)
                std::copy_n(base->begin() + static_cast<std::ptrdiff_t>(source), size,
                            into->front.begin() + static_cast<std::ptrdiff_t>(offset));
        } else {
            throw RecordError("a layout's changes hold a run of an unknown kind");
        }
        free = offset + size;
    }
    const auto tail = in.Raw(in.Number(8));
    Spend(budget, tail.size());
    if (into) into->tail.assign(tail.begin(), tail.end());
    return {frontSize, tail.size()};
}

// The layout checked changes make from their base's front.
archive::Layout Apply(const std::vector<uint8_t>& changes, const std::vector<uint8_t>& base) {
    archive::Layout layout;
    RecordReader in(changes);
    ReadChanges(in, base.size(), &base, &layout, nullptr);
    return layout;
}

}  // namespace

KeptLayout::KeptLayout(archive::Layout layout) {
    auto node = std::make_shared<Node>();
    node->frontSize = layout.front.size();
    node->tailSize = layout.tail.size();
    node->whole = std::move(layout);
    node_ = std::move(node);
}

KeptLayout KeptLayout::Read(RecordReader& in, const KeptLayout& base, const std::vector<uint8_t>& first,
                            uint64_t& budget) {
    auto node = std::make_shared<Node>();
    const size_t from = in.At();
    if (base) {
        const Sizes sizes = ReadChanges(in, base.node_->frontSize, nullptr, nullptr, &budget);
        node->frontSize = sizes.front;
        node->tailSize = sizes.tail;
        const auto changes = in.Since(from);
        node->changes.assign(changes.begin(), changes.end());
        node->base = base.node_;
    } else {
        archive::Layout layout;
        const Sizes sizes = ReadChanges(in, first.size(), &first, &layout, &budget);
        node->frontSize = sizes.front;
        node->tailSize = sizes.tail;
        node->whole = std::move(layout);
    }
    KeptLayout kept;
    kept.node_ = std::move(node);
    return kept;
}

void KeptLayout::Pass(RecordReader& in) { ReadChanges(in, UINT64_MAX, nullptr, nullptr, nullptr); }

void KeptLayout::Write(RecordWriter& out, const KeptLayout& base, const std::vector<uint8_t>& first) const {
    if (node_->base && node_->base == base.node_) {
        out.Raw(node_->changes);
        return;
    }
    WriteChanges(out, **this, base ? base->front : first);
}

const archive::Layout& KeptLayout::operator*() const {
    if (node_->whole) return *node_->whole;
    // From the nearest layout made whole up, one step at a time: the chain
    // may be as long as the record has installs.
    std::vector<const Node*> chain;
    for (const Node* at = node_.get(); !at->whole; at = at->base.get()) chain.push_back(at);
    archive::Layout made = Apply(chain.back()->changes, chain.back()->base->whole->front);
    for (auto next = chain.rbegin() + 1; next != chain.rend(); ++next) made = Apply((*next)->changes, made.front);
    node_->whole = std::move(made);
    return *node_->whole;
}

uint64_t KeptLayout::Bytes() const { return node_->frontSize + node_->tailSize; }

bool operator==(const KeptLayout& a, const KeptLayout& b) {
    if (!a || !b) return a.has_value() == b.has_value();
    return a->fileSize == b->fileSize && a->front == b->front && a->tail == b->tail;
}

}  // namespace veltrin::tool
