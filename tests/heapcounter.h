// Heap accounting for tests and benchmarks. Linking heapcounter.cpp replaces the program's global
// operator new and delete with malloc-based ones that count every allocation, on every thread, and
// can be armed to make one of them throw std::bad_alloc.
#ifndef TESTS_HEAPCOUNTER_H
#define TESTS_HEAPCOUNTER_H

namespace heapcounter {

// False in a ThreadSanitizer build, whose runtime brings its own operator new: nothing is counted.
bool active();

// Allocations made through operator new since the program started.
long allocations();
// Makes the n-th allocation from now throw std::bad_alloc; 0 disarms.
void failAllocation(long n);

// Counts, apart, the allocations that a thread makes while it watches itself: for code that runs
// on a thread the test does not own (an audio callback), bracketed by watchThisThread(true/false).
void watchThisThread(bool on);
long watchedAllocations();

} // namespace heapcounter

#endif
