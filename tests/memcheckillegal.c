// Executes in its start-up, as Highway executes RDTSCP on a CPU whose CPUID hides it, an
// instruction that valgrind cannot decode: an AVX-512 one, which no valgrind release decodes on any
// x86-64 CPU. Only under valgrind, so that natively it loads on any x86-64 CPU, one without AVX-512
// too.
#include "memcheckillegal.h"

#include <valgrind/valgrind.h>

__attribute__((constructor)) static void startUp(void)
{
    if (RUNNING_ON_VALGRIND)
        __asm__ volatile("vpxord %%zmm0, %%zmm0, %%zmm0" ::: "xmm0");
}

int memcheck_illegal_loaded(void)
{
    return 1;
}
