// The golden hashes (golden.h) without Qt, for builds that have no Qt: the portable loops alone
// (BANDCORE_SIMD=OFF) and cross builds run under emulation.
//
// Usage: goldencheck [PATH...]   PATH is scalar, sse2, avx2 or neon; by default every path that
// this build and CPU can run. Prints one line per case and path and exits non-zero when a hash
// differs or a named path is missing.

#include "dsp/simd.h"
#include "golden.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

int check(dsp::simd::Path path)
{
    int failures = 0;
    const char* name = dsp::simd::name(path);
    for (const golden::SpectrumCase& c : golden::kSpectrumCases) {
        const std::uint64_t hash = golden::spectrumHash(c.size, c.spoiled);
        const bool ok = hash == c.expected;
        failures += ok ? 0 : 1;
        std::printf("%s %s: spectrum %s: hash 0x%016" PRIx64 ", expected 0x%016" PRIx64 "\n",
            ok ? "PASS" : "FAIL", name, c.name, hash, c.expected);
    }
    for (const golden::FrameCase& c : golden::kFrameCases) {
        int frames = 0;
        const std::vector<std::uint64_t> hashes = golden::frameHashes(c.rate, c.spoiled, frames);
        int firstBad = -1;
        for (int i = 0; i < golden::kCheckpoints && firstBad < 0; ++i) {
            if (hashes[static_cast<std::size_t>(i)] != c.expected[i])
                firstBad = i;
        }
        failures += firstBad < 0 ? 0 : 1;
        if (firstBad < 0) {
            std::printf("PASS %s: frames %s: %d frames\n", name, c.name, frames);
        } else {
            std::printf("FAIL %s: frames %s: first difference by hop %d\n", name, c.name,
                (firstBad + 1) * golden::kCheckpointEvery);
        }
    }
    return failures;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<dsp::simd::Path> paths;
    for (int i = 1; i < argc; ++i) {
        bool known = false;
        for (const dsp::simd::Path path : golden::kPaths) {
            if (std::strcmp(argv[i], dsp::simd::name(path)) == 0) {
                paths.push_back(path);
                known = true;
            }
        }
        if (!known) {
            std::fprintf(
                stderr, "goldencheck: unknown path '%s' (scalar, sse2, avx2, neon)\n", argv[i]);
            return 2;
        }
    }
    if (paths.empty()) {
        for (const dsp::simd::Path path : golden::kPaths) {
            if (dsp::simd::available(path))
                paths.push_back(path);
        }
    }

    int failures = 0;
    for (const dsp::simd::Path path : paths) {
        if (!dsp::simd::forcePath(path)) {
            std::printf(
                "FAIL %s: not available in this build or on this CPU\n", dsp::simd::name(path));
            ++failures;
            continue;
        }
        failures += check(path);
    }
    std::printf(
        "%s: %d failure(s) on %zu path(s)\n", failures ? "FAIL" : "PASS", failures, paths.size());
    return failures ? 1 : 0;
}
