#include "dsp/simd.h"

#include <atomic>
#include <initializer_list>

namespace dsp::simd {

namespace {

    bool cpuHasAvx2()
    {
#if defined(DSP_SIMD_X86) && defined(__GNUC__)
        // Checks the CPUID bit and that the OS saves the 256-bit registers. The init call makes
        // the answer right even when a static initialiser asks before the runtime's own has run.
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2");
#else
        return false;
#endif
    }

    // -1 until the first query; then the chosen path. Constant-initialised, so nothing runs at
    // start-up.
    std::atomic<int> g_active { -1 };

} // namespace

bool available(Path path)
{
    switch (path) {
    case Path::Scalar:
        return true;
    case Path::Sse2:
#ifdef DSP_SIMD_X86
        return true;
#else
        return false;
#endif
    case Path::Avx2:
        return cpuHasAvx2();
    case Path::Neon:
#ifdef DSP_SIMD_NEON
        return true;
#else
        return false;
#endif
    }
    return false;
}

Path best()
{
    for (const Path path : { Path::Avx2, Path::Sse2, Path::Neon }) {
        if (available(path))
            return path;
    }
    return Path::Scalar;
}

Path active()
{
    int path = g_active.load(std::memory_order_relaxed);
    if (path < 0) {
        path = static_cast<int>(best());
        g_active.store(path, std::memory_order_relaxed);
    }
    return static_cast<Path>(path);
}

bool forcePath(Path path)
{
    if (!available(path))
        return false;
    g_active.store(static_cast<int>(path), std::memory_order_relaxed);
    return true;
}

const char* name(Path path)
{
    switch (path) {
    case Path::Scalar:
        return "scalar";
    case Path::Sse2:
        return "sse2";
    case Path::Avx2:
        return "avx2";
    case Path::Neon:
        return "neon";
    }
    return "?";
}

} // namespace dsp::simd
