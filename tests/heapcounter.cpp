#include "heapcounter.h"

#include <atomic>
#include <cstdlib>
#include <new>

#if defined(__SANITIZE_THREAD__)
#define HEAPCOUNTER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define HEAPCOUNTER_TSAN 1
#endif
#endif

namespace {

std::atomic<long> made { 0 };
// Index of the allocation that throws; 0 never matches, since the first one counts as 1.
std::atomic<long> failing { 0 };
std::atomic<long> watched { 0 };
thread_local bool watching = false;

[[maybe_unused]] void* allocate(std::size_t size)
{
    const long index = made.fetch_add(1, std::memory_order_relaxed) + 1;
    if (watching)
        watched.fetch_add(1, std::memory_order_relaxed);
    if (index == failing.load(std::memory_order_relaxed))
        throw std::bad_alloc();
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}

} // namespace

namespace heapcounter {

bool active()
{
#ifdef HEAPCOUNTER_TSAN
    return false;
#else
    return true;
#endif
}

long allocations()
{
    return made.load(std::memory_order_relaxed);
}

void failAllocation(long n)
{
    failing.store(n > 0 ? made.load(std::memory_order_relaxed) + n : 0, std::memory_order_relaxed);
}

void watchThisThread(bool on)
{
    watching = on;
}

long watchedAllocations()
{
    return watched.load(std::memory_order_relaxed);
}

} // namespace heapcounter

#ifndef HEAPCOUNTER_TSAN
void* operator new(std::size_t size)
{
    return allocate(size);
}

void* operator new[](std::size_t size)
{
    return allocate(size);
}

void operator delete(void* p) noexcept
{
    std::free(p);
}

void operator delete[](void* p) noexcept
{
    std::free(p);
}

void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}

void operator delete[](void* p, std::size_t) noexcept
{
    std::free(p);
}
#endif
