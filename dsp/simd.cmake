# The core's vector paths. With BANDCORE_SIMD=OFF only the portable loops are built (DSP_NO_SIMD),
# to check them against the same bits. Each instruction set's lane type and kernel table has a
# source of its own. On x86-64, sse2.cpp takes the baseline flags and avx2.cpp is the one source
# compiled for AVX2 (never FMA, and still without contraction); simd.cpp decides at run time
# whether to call it. On aarch64, neon.cpp holds the NEON kernels, which every such CPU runs.
option(BANDCORE_SIMD "Build the SSE2, AVX2 and NEON paths of the core beside the portable loops" ON)
if(NOT BANDCORE_SIMD)
    target_compile_definitions(dsp PRIVATE DSP_NO_SIMD)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
    target_sources(dsp PRIVATE sse2.cpp avx2.cpp)
    set_source_files_properties(avx2.cpp PROPERTIES COMPILE_OPTIONS "-mavx2;-mno-fma;-ffp-contract=off")
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64|ARM64)$")
    target_sources(dsp PRIVATE neon.cpp)
endif()
