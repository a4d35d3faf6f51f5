#include "game_record_reader.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>

namespace veltrin::testing::game_record {
namespace {

// SHA-256 as FIPS 180-4 gives it.
constexpr std::array<uint32_t, 64> kRound = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

uint32_t Rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

std::array<uint8_t, 32> Sha256(const std::vector<uint8_t>& input) {
    std::vector<uint8_t> m = input;
    const uint64_t bits = uint64_t{input.size()} * 8;
    m.push_back(0x80);
    while (m.size() % 64 != 56) m.push_back(0);
    for (int i = 7; i >= 0; --i) m.push_back(static_cast<uint8_t>(bits >> (8 * i)));
    std::array<uint32_t, 8> h = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    for (size_t block = 0; block < m.size(); block += 64) {
        std::array<uint32_t, 64> w{};
        for (size_t i = 0; i < 16; ++i)
            w[i] = uint32_t{m[block + 4 * i]} << 24 | uint32_t{m[block + 4 * i + 1]} << 16 |
                   uint32_t{m[block + 4 * i + 2]} << 8 | uint32_t{m[block + 4 * i + 3]};
        for (size_t i = 16; i < 64; ++i) {
            const uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            const uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        auto [a, b, c, d, e, f, g, hh] = h;
        for (size_t i = 0; i < 64; ++i) {
            const uint32_t t1 = hh + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & f) ^ (~e & g)) + kRound[i] + w[i];
            const uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            hh = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        h[0] += a, h[1] += b, h[2] += c, h[3] += d, h[4] += e, h[5] += f, h[6] += g, h[7] += hh;
    }
    std::array<uint8_t, 32> out{};
    for (size_t i = 0; i < 32; ++i) out[i] = static_cast<uint8_t>(h[i / 4] >> (24 - 8 * (i % 4)));
    return out;
}

std::string Hex(const uint8_t* bytes, size_t size) {
    static const char* digits = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < size; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

// The most a front may be long, and the most bytes the layouts of one
// record may take once read (every front and tail): a version 3 front is
// rebuilt from the one before it, so a few bytes can ask for a long one, and
// these bounds are checked before anything is allocated.
constexpr uint64_t kMaxFront = uint64_t{8} << 20;
constexpr uint64_t kMaxLayouts = uint64_t{64} << 20;

struct Cursor {
    const std::vector<uint8_t>& bytes;
    size_t at;
    size_t end;
    bool ok = true;
    const char* error = nullptr;  // the first reason it stopped

    bool Fail(const char* reason) {
        if (ok) error = reason;
        return ok = false;
    }
    bool Take(uint64_t size) {
        if (!ok) return false;
        if (end - at < size) return Fail("ends inside its content");
        return true;
    }
    uint64_t Number(size_t size) {
        if (!Take(size)) return 0;
        uint64_t value = 0;
        for (size_t i = 0; i < size; ++i) value |= uint64_t{bytes[at + i]} << (8 * i);
        at += size;
        return value;
    }
    bool Flag() {
        const uint64_t value = Number(1);
        if (value > 1) Fail("a flag neither 0 nor 1");
        return value == 1;
    }
    std::string Text() {
        const uint64_t size = Number(4);
        if (!Take(size)) return {};
        std::string text(reinterpret_cast<const char*>(bytes.data() + at), static_cast<size_t>(size));
        at += static_cast<size_t>(size);
        return text;
    }
    std::string Digest() {
        if (!Take(32)) return {};
        std::string text = Hex(bytes.data() + at, 32);
        at += 32;
        return text;
    }
    // A u64 length and that many bytes.
    void Bytes(std::vector<uint8_t>& out) {
        const uint64_t length = Number(8);
        if (!Take(length)) return;
        const auto first = bytes.begin() + static_cast<std::ptrdiff_t>(at);
        out.assign(first, first + static_cast<std::ptrdiff_t>(length));
        at += static_cast<size_t>(length);
    }
};

// The file size, the front and the tail (each a u64 length and its bytes).
void ReadLayoutFields(Cursor& in, uint64_t& size, std::vector<uint8_t>& front, std::vector<uint8_t>& tail) {
    size = in.Number(8);
    in.Bytes(front);
    in.Bytes(tail);
}

// A flag, then the fields.
bool ReadLayout(Cursor& in, uint64_t& size, std::vector<uint8_t>& front, std::vector<uint8_t>& tail) {
    if (!in.Flag()) return false;
    ReadLayoutFields(in, size, front, tail);
    return true;
}

// A version 3 layout's changes, against the front written before it (the
// base): the file size; the front length; the runs, laid over the base cut
// or zero-filled to the length, each a kind byte, an offset and a length,
// then for kind 0 that many bytes to lay there, for kind 1 a source offset
// in the base whose bytes are laid there (taken from the base as it was
// before any run, never from the front being rebuilt); the tail. `budget`
// is what the record's layouts may still take, and shrinks by this one's
// front and tail. False, with the reason in the cursor, for what a record
// cannot hold.
// With no base (version 5, the archive's directory not at hand) the runs
// are checked for order and length only, their bytes passed over, and
// nothing is rebuilt.
bool ReadChanges(Cursor& in, const std::vector<uint8_t>* base, uint64_t& budget, uint64_t& size,
                 std::vector<uint8_t>& front, std::vector<uint8_t>& tail) {
    size = in.Number(8);
    const uint64_t frontLength = in.Number(8);
    if (!in.ok) return false;
    if (frontLength > kMaxFront) return in.Fail("a front longer than 8 MiB");
    const std::vector<uint8_t> none;
    const std::vector<uint8_t>& against = base ? *base : none;
    if (base) {
        if (frontLength > budget) return in.Fail("layouts of more than 64 MiB");
        budget -= frontLength;
        const auto length = static_cast<size_t>(frontLength);
        const size_t kept = std::min(against.size(), length);
        front.assign(against.begin(), against.begin() + static_cast<std::ptrdiff_t>(kept));
        front.resize(length, 0);
    }

    // The least offset the next run may start at: the last one's end (a run
    // may touch the one before it, not overlap it).
    uint64_t least = 0;
    for (uint64_t runs = in.Number(4); in.ok && runs > 0; --runs) {
        const uint64_t kind = in.Number(1);
        if (!in.ok) return false;
        if (kind > 1) return in.Fail("a run of an unknown kind");
        const uint64_t offset = in.Number(8);
        const uint64_t runLength = in.Number(8);
        if (!in.ok) return false;
        if (runLength == 0) return in.Fail("an empty run");
        if (offset < least) return in.Fail("a run before or over the one before it");
        if (offset > frontLength || runLength > frontLength - offset) return in.Fail("a run past the front");
        if (kind == 0) {
            if (!in.Take(runLength)) return false;
            if (base) std::memcpy(front.data() + offset, in.bytes.data() + in.at, static_cast<size_t>(runLength));
            in.at += static_cast<size_t>(runLength);
        } else {
            const uint64_t source = in.Number(8);
            if (!in.ok) return false;
            if (base) {
                const uint64_t baseSize = against.size();
                if (source > baseSize || runLength > baseSize - source)
                    return in.Fail("a run taken from past the base");
                std::memcpy(front.data() + offset, against.data() + source, static_cast<size_t>(runLength));
            }
        }
        least = offset + runLength;  // both within 8 MiB: no overflow
    }
    const uint64_t tailLength = in.Number(8);
    if (!in.Take(tailLength)) return false;
    if (!base) {
        in.at += static_cast<size_t>(tailLength);
        return true;
    }
    if (tailLength > budget) return in.Fail("layouts of more than 64 MiB");
    budget -= tailLength;
    const auto first = in.bytes.begin() + static_cast<std::ptrdiff_t>(in.at);
    tail.assign(first, first + static_cast<std::ptrdiff_t>(tailLength));
    in.at += static_cast<size_t>(tailLength);
    return true;
}

}  // namespace

std::string Sha256Hex(const std::vector<uint8_t>& bytes) {
    const auto digest = Sha256(bytes);
    return Hex(digest.data(), digest.size());
}

std::optional<Record> Read(const std::vector<uint8_t>& bytes, std::string* why, const std::vector<uint8_t>* directory) {
    const auto fail = [&](const char* reason) -> std::optional<Record> {
        if (why) *why = reason ? reason : "refused";
        return std::nullopt;
    };
    static const char mark[] = "VeltrinInstalls\r\n\x1a";
    constexpr size_t markSize = sizeof mark - 1;
    if (bytes.size() < markSize + 4 + 32) return fail("too short");
    if (std::memcmp(bytes.data(), mark, markSize) != 0) return fail("no mark");
    const std::vector<uint8_t> body(bytes.begin(), bytes.end() - 32);
    const auto seal = Sha256(body);
    if (std::memcmp(seal.data(), bytes.data() + body.size(), 32) != 0) return fail("seal");
    Cursor in{bytes, markSize, body.size()};
    const uint64_t version = in.Number(4);
    if (version < 1 || version > 6) return fail("version");
    Record record;
    const auto readLeft = [&] {
        record.hasLeft = in.Flag();
        if (record.hasLeft) {
            record.leftHex = in.Digest();
            record.leftSize = in.Number(8);
        }
    };
    // From version 3: what the record's layouts may still take, and the
    // install whose layout was written last (none: the record's, or its
    // first base). Version 5 reads left first, and its first base is the
    // directory left names: the one given, when it is that one; else the
    // layouts cannot be rebuilt.
    uint64_t budget = kMaxLayouts;
    std::optional<size_t> lastLayout;
    std::vector<uint8_t> firstBase;
    bool baseKnown = true;
    if (version >= 5) {
        readLeft();
        if (record.hasLeft) {
            baseKnown = directory && Sha256Hex(*directory) == record.leftHex;
            if (baseKnown) firstBase = *directory;
        }
        record.layoutsUnread = !baseKnown;
    }
    if (version >= 3) {
        record.hasLayout = in.Flag();
        if (record.hasLayout &&
            !ReadChanges(in, baseKnown ? &firstBase : nullptr, budget, record.layoutSize, record.front, record.tail))
            return fail(in.error);
        if (record.hasLayout) firstBase = record.front;
    } else {
        record.hasLayout = ReadLayout(in, record.layoutSize, record.front, record.tail);
    }
    // A version 2 install that refers to the record's layout takes a copy of
    // it once read: those copies take the same budget (whole layouts are the
    // file's own bytes).
    const auto spend = [&](const std::vector<uint8_t>& front, const std::vector<uint8_t>& tail) {
        if (front.size() + tail.size() > budget) return false;
        budget -= front.size() + tail.size();
        return true;
    };
    if (version < 5) readLeft();
    for (uint64_t installs = in.Number(4); in.ok && installs > 0; --installs) {
        Install install;
        for (uint64_t folders = in.Number(4); in.ok && folders > 0; --folders) install.folders.push_back(in.Text());
        install.modHex = in.Digest();
        install.computer = in.Text();
        install.time = in.Number(8);
        if (version >= 3) {
            // A flag and the changes against the layout written last.
            install.hasLayoutBefore = in.Flag();
            if (install.hasLayoutBefore) {
                const std::vector<uint8_t>& against = lastLayout ? record.installs[*lastLayout].frontBefore : firstBase;
                if (!ReadChanges(in, baseKnown ? &against : nullptr, budget, install.layoutBeforeSize,
                                 install.frontBefore, install.tailBefore))
                    return fail(in.error);
                lastLayout = record.installs.size();
            }
        } else {
            // Version 2: 0 none, 1 the layout's fields, 2 the record's layout.
            const uint64_t kind = version == 1 ? in.Flag() : in.Number(1);
            install.hasLayoutBefore = kind == 1 || kind == 2;
            if (kind == 1) {
                ReadLayoutFields(in, install.layoutBeforeSize, install.frontBefore, install.tailBefore);
            } else if (kind == 2) {
                if (!record.hasLayout) return fail("refers to a layout it does not hold");
                install.layoutBeforeSize = record.layoutSize;
                install.frontBefore = record.front;
                install.tailBefore = record.tail;
            } else if (kind > 2) {
                return fail("unknown layout kind");
            }
            if (kind == 2 && !spend(install.frontBefore, install.tailBefore))
                return fail("layouts of more than 64 MiB");
        }
        for (uint64_t entries = in.Number(4); in.ok && entries > 0; --entries) {
            Layer layer;
            layer.name = in.Text();
            layer.added = !in.Flag();
            if (!layer.added) {
                layer.beforeSize = in.Number(8);
                layer.beforeHex = in.Digest();
                if (version == 6) {
                    // Where in the store: a pack's file name (or none) and the offset in it.
                    layer.beforePack = in.Text();
                    layer.beforeOffset = in.Number(8);
                    // A pack is named by 64 lower-case hex digits and ".pack"; none reaches past 2^48.
                    const std::string& pack = layer.beforePack;
                    const bool named = pack.size() == 69 && pack.substr(64) == ".pack" &&
                                       pack.find_first_not_of("0123456789abcdef") == 64;
                    if (in.ok && !pack.empty() && !named) return fail("a pack name that is none");
                    const uint64_t bound = uint64_t{1} << 48;
                    if (in.ok && (layer.beforeOffset > bound || layer.beforeSize > bound - layer.beforeOffset))
                        return fail("an original past the end of any pack");
                }
                layer.beforeName = in.Text();
            }
            layer.putSize = in.Number(8);
            layer.putHex = in.Digest();
            install.entries.push_back(std::move(layer));
        }
        record.installs.push_back(std::move(install));
    }
    if (version >= 4) {
        // The save that wrote it: the state it found, then each entry it
        // changes with what that holds after it (a flag, then size, digest).
        record.save.hasFound = in.Flag();
        if (record.save.hasFound) {
            record.save.foundHex = in.Digest();
            record.save.foundSize = in.Number(8);
        }
        for (uint64_t puts = in.Number(4); in.ok && puts > 0; --puts) {
            Put put;
            put.name = in.Text();
            put.removed = !in.Flag();
            if (!put.removed) {
                put.size = in.Number(8);
                put.hex = in.Digest();
            }
            record.save.puts.push_back(std::move(put));
        }
    }
    if (!in.ok) return fail(in.error);
    if (in.at != in.end) return fail("bytes after its content");
    return record;
}

}  // namespace veltrin::testing::game_record
