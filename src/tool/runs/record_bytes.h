#pragma once
// The fields of the tool's own files (the install record, the game's record
// of installs, and the records of saves in progress beside them), little-
// endian: a writer that appends them and a reader that takes them in turn.
// The reader refuses, with RecordError, a file that ends before a field or
// holds a yes-or-no field that is neither.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "archive/archive.h"
#include "archive/sha256.h"
#include "tool/runs/install_record.h"

namespace veltrin::tool {

class RecordWriter {
public:
    std::vector<uint8_t> bytes;

    // The bytes write(writer) appends, in a buffer sized once: a first pass
    // only counts them, so that a record of half a megabyte is not copied
    // from one ever larger buffer to the next.
    template <typename Write>
    static std::vector<uint8_t> Sized(const Write& write) {
        RecordWriter count;
        count.counting_ = true;
        write(count);
        RecordWriter out;
        out.bytes.reserve(count.counted_);
        write(out);
        return std::move(out.bytes);
    }

    void Raw(std::span<const uint8_t> raw) {
        if (counting_)
            counted_ += raw.size();
        else
            bytes.insert(bytes.end(), raw.begin(), raw.end());
    }
    void Flag(bool value) { Byte(value ? 1 : 0); }
    void Number(uint64_t value, int size) {
        for (int i = 0; i < size; ++i) Byte(static_cast<uint8_t>(value >> (8 * i)));
    }
    void U32(uint32_t value) { Number(value, 4); }
    void U64(uint64_t value) { Number(value, 8); }
    void Text(std::string_view text) {
        U32(static_cast<uint32_t>(text.size()));
        Raw({reinterpret_cast<const uint8_t*>(text.data()), text.size()});
    }
    void Blob(std::span<const uint8_t> blob) {
        U64(blob.size());
        Raw(blob);
    }
    void State(const std::optional<archive::ArchiveState>& state) {
        Flag(state.has_value());
        if (!state) return;
        Raw(state->directory);
        U64(state->fileSize);
    }
    // Appends the SHA-256 of everything written so far.
    void Seal() {
        if (counting_) {
            counted_ += std::tuple_size_v<archive::Digest>;
            return;
        }
        const archive::Digest seal = archive::Sha256Of(bytes);
        Raw(seal);
    }

private:
    void Byte(uint8_t byte) {
        if (counting_)
            ++counted_;
        else
            bytes.push_back(byte);
    }

    bool counting_ = false;
    size_t counted_ = 0;
};

class RecordReader {
public:
    // endsTooSoon and badFlag: what RecordError says when the bytes end
    // before a field, or a yes-or-no field is neither (empty: it names the
    // value).
    explicit RecordReader(std::span<const uint8_t> bytes,
                          std::string endsTooSoon = "it ends in the middle of its content", std::string badFlag = {})
        : bytes_(bytes), endsTooSoon_(std::move(endsTooSoon)), badFlag_(std::move(badFlag)) {}

    [[nodiscard]] bool AtEnd() const { return at_ == bytes_.size(); }
    // Where the next field starts, and the bytes read since such a place.
    [[nodiscard]] size_t At() const { return at_; }
    [[nodiscard]] std::span<const uint8_t> Since(size_t at) const { return bytes_.subspan(at, at_ - at); }
    std::span<const uint8_t> Raw(uint64_t size) {
        if (size > bytes_.size() - at_) throw RecordError(endsTooSoon_);
        const auto raw = bytes_.subspan(at_, static_cast<size_t>(size));
        at_ += static_cast<size_t>(size);
        return raw;
    }
    uint64_t Number(int size) {
        const auto raw = Raw(static_cast<uint64_t>(size));
        uint64_t value = 0;
        for (size_t i = 0; i < raw.size(); ++i) value |= uint64_t{raw[i]} << (8 * i);
        return value;
    }
    uint32_t U32() { return static_cast<uint32_t>(Number(4)); }
    uint64_t U64() { return Number(8); }
    bool Flag() {
        const uint8_t flag = Raw(1)[0];
        if (flag > 1)
            throw RecordError(badFlag_.empty() ? "a yes-or-no field holds " + std::to_string(flag) : badFlag_);
        return flag == 1;
    }
    std::string Text() {
        const auto raw = Raw(U32());
        return {reinterpret_cast<const char*>(raw.data()), raw.size()};
    }
    std::vector<uint8_t> Blob() {
        const auto raw = Raw(U64());
        return {raw.begin(), raw.end()};
    }
    archive::Digest Digest() {
        archive::Digest digest{};
        const auto raw = Raw(digest.size());
        std::copy(raw.begin(), raw.end(), digest.begin());
        return digest;
    }
    std::optional<archive::ArchiveState> State() {
        if (!Flag()) return std::nullopt;
        archive::ArchiveState state;
        state.directory = Digest();
        state.fileSize = U64();
        return state;
    }
    // A count of items each at least minSize bytes long: one larger than
    // the bytes left could hold is a damaged record, not a reason to reserve.
    uint32_t Count(size_t minSize) {
        const uint32_t count = U32();
        if (uint64_t{count} * minSize > bytes_.size() - at_) throw RecordError("it counts more than it holds");
        return count;
    }

private:
    std::span<const uint8_t> bytes_;
    size_t at_ = 0;
    std::string endsTooSoon_;
    std::string badFlag_;
};

}  // namespace veltrin::tool
