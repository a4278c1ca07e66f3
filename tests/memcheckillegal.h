// A library that valgrind cannot execute on any x86-64 CPU (memcheckillegal.c).
#ifndef TESTS_MEMCHECKILLEGAL_H
#define TESTS_MEMCHECKILLEGAL_H

// 1: what a program calls so that the linker keeps the library.
int memcheck_illegal_loaded(void);

#endif
