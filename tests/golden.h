// Bit-exact reference results of the core, shared by tst_golden (Qt Test, every path of this
// machine) and goldencheck (no Qt, for builds where Qt is absent: the portable loops alone, or
// aarch64 under emulation).
//
// A fixed, seeded input runs through the power spectrum and through the whole analyzer, and every
// output bit goes into an FNV-1a hash. Any change to the order or kind of arithmetic in the
// transform, the levels, the band map or the ballistics moves a hash; a faster implementation must
// leave all of them alone.
//
// The input is made with integer arithmetic only, and every float it yields is exact, so the hashes
// depend on nothing but IEEE single and double arithmetic (round to nearest, subnormals kept): the
// core computes its own logarithms, powers and sines (exactmath.h) instead of taking the C
// library's, so they hold on every C library. NaNs hash as one value: IEEE leaves their payloads
// open, and only where a NaN appears is part of the contract.
#ifndef TESTS_GOLDEN_H
#define TESTS_GOLDEN_H

#include "dsp/simd.h"

#include <cstdint>
#include <vector>

namespace golden {

// The core's paths on this machine's architecture; each must give the same hashes.
constexpr dsp::simd::Path kPaths[] = {
    dsp::simd::Path::Scalar,
#if defined(__aarch64__)
    dsp::simd::Path::Neon,
#else
    dsp::simd::Path::Sse2,
    dsp::simd::Path::Avx2,
#endif
};

constexpr int kHops = 600;
constexpr int kCheckpointEvery = 100;
constexpr int kCheckpoints = kHops / kCheckpointEvery;

// Four blocks of `size` samples through one HannWindow and RealFft.
struct SpectrumCase {
    const char* name;
    int size;
    // With a huge value, an infinity and negative zeros written into the blocks.
    bool spoiled;
    std::uint64_t expected;
};

// kHops hops of sampleRate / 60 samples through a SpectrumAnalyzer; the hash of all frames so
// far after every kCheckpointEvery hops.
struct FrameCase {
    const char* name;
    double rate;
    // With infinities, NaNs, huge values and negative zeros in chosen hops.
    bool spoiled;
    std::uint64_t expected[kCheckpoints];
};

// The non-finite rows pin what comes out of bad input: a huge sample overflows every bin to
// infinity, an infinite one turns every bin into NaN (through 0 * inf in the butterflies). The
// small sizes hold every edge case of the stage loops of every path.
inline constexpr SpectrumCase kSpectrumCases[] = {
    { "2", 2, false, 0x934d023be403e059ull },
    { "4", 4, false, 0xb755f332ebacb6adull },
    { "8", 8, false, 0xf7fbf065f1200d79ull },
    { "16", 16, false, 0xd2bab32e53aecf6eull },
    { "32", 32, false, 0x2d1354368577e037ull },
    { "64", 64, false, 0x62d9c07166d44406ull },
    { "128", 128, false, 0x7baf0e82b3769731ull },
    { "256", 256, false, 0xbd7addf754a2fee5ull },
    { "512", 512, false, 0x8738ea8366a98d82ull },
    { "1024", 1024, false, 0xda9081eee60fe4f6ull },
    { "2048", 2048, false, 0x7579fcd99492253dull },
    { "4096", 4096, false, 0xe037f04c8864c0b7ull },
    { "8192", 8192, false, 0xd914de3e8a8986eeull },
    { "1024 non-finite", 1024, true, 0xaec653a789721e05ull },
    { "8192 non-finite", 8192, true, 0x26856fd2895ade05ull },
};

inline constexpr FrameCase kFrameCases[] = {
    { "44.1 kHz", 44100.0, false,
        { 0x8ba6728384c122d3ull, 0x4b444e04b3fb0b54ull, 0xc5e945b2211d8b79ull,
            0xdf7c113c92ae4f12ull, 0x3b1113d6ff887ff0ull, 0xc108558ad2d13b7dull } },
    { "48 kHz", 48000.0, false,
        { 0xa2849c9aa0653902ull, 0xf3446bfe07240b57ull, 0x5dd70d7504d81b9aull,
            0xee025ac1b9cd2ee2ull, 0xd1224a1f940234daull, 0x5cb588e533bb993cull } },
    { "96 kHz", 96000.0, false,
        { 0xff576955f6155a8dull, 0x17d969c8b308d501ull, 0xd9a6ce5967ea7333ull,
            0xc1c3b2d257b30fefull, 0xf37d9c9026b4b2c2ull, 0xd94135d9b9a605f4ull } },
    { "48 kHz non-finite", 48000.0, true,
        { 0x4b91867a1be17fbcull, 0x22e4f4e3586f078aull, 0x9cebdc097bee8d09ull,
            0xfdcf8eb6423188d9ull, 0x84b7e25d9ab00d39ull, 0x6dc7a29d711e5d81ull } },
};

// The hash of the case's power spectra, on whatever path the core takes now.
std::uint64_t spectrumHash(int size, bool spoiled);

// The checkpoint hashes of the case's frames; `frames` receives how many frames were published.
std::vector<std::uint64_t> frameHashes(double rate, bool spoiled, int& frames);

} // namespace golden

#endif
