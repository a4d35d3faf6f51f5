#include "archive/sha256.h"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace veltrin::archive {
namespace {

constexpr std::array<uint32_t, 64> kRound = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr uint32_t Rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

uint32_t LoadBe32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

}  // namespace

Sha256::Sha256()
    : state_{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19} {}

namespace {

// The compression function on its own, for any machine.
void CompressPortable(std::array<uint32_t, 8>& state, const uint8_t* data, size_t blocks) {
    for (; blocks > 0; --blocks, data += 64) {
        uint32_t w[64];
        for (int i = 0; i < 16; ++i) w[i] = LoadBe32(data + 4 * i);
        for (int i = 16; i < 64; ++i) {
            const uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            const uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
        for (int i = 0; i < 64; ++i) {
            const uint32_t s1 = Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25);
            const uint32_t choose = (e & f) ^ (~e & g);
            const uint32_t t1 = h + s1 + choose + kRound[static_cast<size_t>(i)] + w[i];
            const uint32_t s0 = Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22);
            const uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
            const uint32_t t2 = s0 + majority;
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
        state[5] += f;
        state[6] += g;
        state[7] += h;
    }
}

#if defined(__x86_64__) || defined(__i386__)
// The same with the processor's SHA instructions (x86 SHA extensions, with
// SSSE3 and SSE4.1), which do two rounds at a time: the state lives in two
// registers as (A, B, E, F) and (C, D, G, H), and the message schedule is
// computed four words at a time.
__attribute__((target("sha,ssse3,sse4.1"))) void CompressWithShaInstructions(std::array<uint32_t, 8>& state,
                                                                             const uint8_t* data, size_t blocks) {
    const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bll, 0x0405060700010203ll);
    __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state.data()));
    __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state.data() + 4));
    const __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
    const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
    __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
    __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);
    for (; blocks > 0; --blocks, data += 64) {
        const __m128i abefSaved = abef;
        const __m128i cdghSaved = cdgh;
        __m128i message[4];
        for (int i = 0; i < 4; ++i)
            message[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)), byteSwap);
        for (int group = 0; group < 16; ++group) {
            __m128i& words = message[group % 4];
            if (group >= 4) {
                // words holds W[t-16..t-13]; the others the three groups after it.
                const __m128i& next = message[(group + 1) % 4];
                const __m128i& before = message[(group + 2) % 4];
                const __m128i& last = message[(group + 3) % 4];
                __m128i w = _mm_sha256msg1_epu32(words, next);
                w = _mm_add_epi32(w, _mm_alignr_epi8(last, before, 4));
                words = _mm_sha256msg2_epu32(w, last);
            }
            const __m128i k = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kRound.data() + 4 * group));
            __m128i wk = _mm_add_epi32(words, k);
            cdgh = _mm_sha256rnds2_epu32(cdgh, abef, wk);
            wk = _mm_shuffle_epi32(wk, 0x0E);
            abef = _mm_sha256rnds2_epu32(abef, cdgh, wk);
        }
        abef = _mm_add_epi32(abef, abefSaved);
        cdgh = _mm_add_epi32(cdgh, cdghSaved);
    }
    const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    dcba = _mm_blend_epi16(feba, dchg, 0xF0);
    hgfe = _mm_alignr_epi8(dchg, feba, 8);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state.data()), dcba);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state.data() + 4), hgfe);
}

bool HasShaInstructions() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
    const bool ssse3 = (ecx >> 9) & 1u, sse41 = (ecx >> 19) & 1u;
    if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
    return ssse3 && sse41 && ((ebx >> 29) & 1u);
}
#endif

using Compress = void (*)(std::array<uint32_t, 8>&, const uint8_t*, size_t);

Compress Chosen() {
#if defined(__x86_64__) || defined(__i386__)
    static const Compress chosen = HasShaInstructions() ? CompressWithShaInstructions : CompressPortable;
    return chosen;
#else
    return CompressPortable;
#endif
}

}  // namespace

bool Sha256::UsesProcessorInstructions() {
#if defined(__x86_64__) || defined(__i386__)
    return Chosen() == CompressWithShaInstructions;
#else
    return false;
#endif
}

Digest Sha256::PortableOf(std::span<const uint8_t> bytes) {
    std::array<uint32_t, 8> state{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                  0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    const size_t whole = bytes.size() / 64;
    CompressPortable(state, bytes.data(), whole);
    std::array<uint8_t, 128> tail{};
    const size_t rest = bytes.size() - whole * 64;
    if (rest > 0) std::memcpy(tail.data(), bytes.data() + whole * 64, rest);
    tail[rest] = 0x80;
    const size_t tailBlocks = rest < 56 ? 1 : 2;
    const uint64_t bits = uint64_t{bytes.size()} * 8;
    for (int i = 0; i < 8; ++i)
        tail[tailBlocks * 64 - 1 - static_cast<size_t>(i)] = static_cast<uint8_t>(bits >> (8 * i));
    CompressPortable(state, tail.data(), tailBlocks);
    Digest digest;
    for (size_t i = 0; i < 8; ++i)
        for (size_t j = 0; j < 4; ++j) digest[4 * i + j] = static_cast<uint8_t>(state[i] >> (24 - 8 * j));
    return digest;
}

void Sha256::Block(const uint8_t* block) { Chosen()(state_, block, 1); }

void Sha256::Add(std::span<const uint8_t> bytes) {
    if (bytes.empty()) return;
    length_ += bytes.size();
    const uint8_t* at = bytes.data();
    size_t left = bytes.size();
    if (buffered_ > 0) {
        const size_t take = std::min(left, buffer_.size() - buffered_);
        std::memcpy(buffer_.data() + buffered_, at, take);
        buffered_ += take;
        at += take;
        left -= take;
        if (buffered_ < buffer_.size()) return;
        Block(buffer_.data());
        buffered_ = 0;
    }
    if (left >= 64) {
        Chosen()(state_, at, left / 64);
        at += left / 64 * 64;
        left %= 64;
    }
    if (left > 0) {
        std::memcpy(buffer_.data(), at, left);
        buffered_ = left;
    }
}

void Sha256::AddZeros(uint64_t count) {
    static constexpr uint8_t kZeros[4096] = {};
    while (count > 0) {
        const size_t part = static_cast<size_t>(std::min<uint64_t>(count, sizeof kZeros));
        Add(std::span<const uint8_t>(kZeros, part));
        count -= part;
    }
}

Digest Sha256::Finish() {
    const uint64_t bits = length_ * 8;
    static constexpr uint8_t kPad[64] = {0x80};
    const size_t padding = buffered_ < 56 ? 56 - buffered_ : 120 - buffered_;
    Add(std::span<const uint8_t>(kPad, padding));
    uint8_t tail[8];
    for (int i = 0; i < 8; ++i) tail[i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
    Add(tail);
    Digest digest;
    for (size_t i = 0; i < 8; ++i)
        for (size_t j = 0; j < 4; ++j) digest[4 * i + j] = static_cast<uint8_t>(state_[i] >> (24 - 8 * j));
    return digest;
}

Digest Sha256Of(std::span<const uint8_t> bytes) {
    Sha256 sha;
    sha.Add(bytes);
    return sha.Finish();
}

std::string HexOf(const Digest& digest) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(64);
    for (const uint8_t byte : digest) {
        text += kHex[byte >> 4];
        text += kHex[byte & 15];
    }
    return text;
}

}  // namespace veltrin::archive
