// Loads a library that valgrind cannot execute (memcheckillegal.c) and does nothing else: as the
// probe of tests/memcheck.sh it has the programs that load that library skipped, itself among them.
#include "memcheckillegal.h"

int main(void)
{
    return memcheck_illegal_loaded() ? 0 : 1;
}
