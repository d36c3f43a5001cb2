#include "LiveAllocations.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<long> g_live_allocations{0};
}

long liveAllocations()
{
    return g_live_allocations.load();
}

void* operator new(std::size_t size)
{
    void* memory = std::malloc(size != 0 ? size : 1);
    if (memory == nullptr)
        throw std::bad_alloc();
    ++g_live_allocations;
    return memory;
}

void operator delete(void* memory) noexcept
{
    if (memory == nullptr)
        return;
    --g_live_allocations;
    std::free(memory);
}

void operator delete(void* memory, std::size_t) noexcept
{
    operator delete(memory);
}
