#include "vectorstate.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define VISUALISER_HAS_ZEROUPPER 1
#endif

namespace visualiser {

#ifdef VISUALISER_HAS_ZEROUPPER

namespace {

    // Compiled for AVX on its own; called only where the processor has it.
    __attribute__((target("avx"))) void zeroUpper()
    {
        _mm256_zeroupper();
    }

} // namespace

void clearUpperVectorState()
{
    if (__builtin_cpu_supports("avx"))
        zeroUpper();
}

#else

void clearUpperVectorState() { }

#endif

} // namespace visualiser
