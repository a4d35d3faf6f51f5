#pragma once
// SHA-256 (FIPS 180-4), fed in pieces. The archive library uses it where a
// checksum must tell apart contents that differ for any reason, not only by
// accident: the journal's own seal, what each range it overwrites held
// before, and what the tool put into an entry.
#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace veltrin::archive {

using Digest = std::array<uint8_t, 32>;

class Sha256 {
public:
    Sha256();
    void Add(std::span<const uint8_t> bytes);
    // Adds count zero bytes.
    void AddZeros(uint64_t count);
    // The digest of everything added; the object may not be fed further.
    [[nodiscard]] Digest Finish();

    // Whether this machine's processor computes it (x86 SHA extensions);
    // else a portable body does.
    static bool UsesProcessorInstructions();
    // The digest by the portable body alone, for tests that hold the two
    // against each other.
    static Digest PortableOf(std::span<const uint8_t> bytes);

private:
    void Block(const uint8_t* block);

    std::array<uint32_t, 8> state_;
    std::array<uint8_t, 64> buffer_{};
    size_t buffered_ = 0;
    uint64_t length_ = 0;
};

Digest Sha256Of(std::span<const uint8_t> bytes);
// Lower-case hexadecimal, 64 characters.
std::string HexOf(const Digest& digest);

}  // namespace veltrin::archive
