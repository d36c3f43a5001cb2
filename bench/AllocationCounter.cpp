#include "AllocationCounter.h"

#include "AllocationSites.h"

#include <cstdlib>
#include <new>

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* pointer, std::size_t size);
void __libc_free(void* pointer);
void* __libc_memalign(std::size_t alignment, std::size_t size);
}

namespace {

// Plain thread-local data: readable from inside malloc without running any initialiser.
thread_local bool t_counting = false;
thread_local int t_deviceDepth = 0;
thread_local AllocationCounter::Counts t_program;
thread_local AllocationCounter::Counts t_device;

void* allocateForNew(std::size_t size)
{
    AllocationCounter::note(true, size);
    void* pointer = __libc_malloc(size ? size : 1);
    if (!pointer)
        throw std::bad_alloc();
    return pointer;
}

void* allocateAlignedForNew(std::size_t size, std::align_val_t alignment)
{
    AllocationCounter::note(true, size);
    void* pointer = __libc_memalign(static_cast<std::size_t>(alignment), size ? size : 1);
    if (!pointer)
        throw std::bad_alloc();
    return pointer;
}

} // namespace

AllocationCounter::Scope::Scope()
{
    t_program = Counts();
    t_device = Counts();
    t_deviceDepth = 0;
    t_counting = true;
}

AllocationCounter::Scope::~Scope()
{
    t_counting = false;
}

AllocationCounter::DeviceModel::DeviceModel()
{
    ++t_deviceDepth;
}

AllocationCounter::DeviceModel::~DeviceModel()
{
    --t_deviceDepth;
}

AllocationCounter::Counts AllocationCounter::program()
{
    return t_program;
}

AllocationCounter::Counts AllocationCounter::device()
{
    return t_device;
}

void AllocationCounter::note(bool throughOperatorNew, std::size_t size)
{
    if (!t_counting)
        return;
    Counts& counts = t_deviceDepth > 0 ? t_device : t_program;
    ++(throughOperatorNew ? counts.operatorNew : counts.mallocFamily);
    counts.bytes += size;
    if (t_deviceDepth == 0)
        AllocationSites::capture();
}

// The process-wide replacements. Each forwards to glibc's own allocator, so memory from any of
// them can be freed by any release function.
extern "C" {

void* malloc(std::size_t size)
{
    AllocationCounter::note(false, size);
    return __libc_malloc(size);
}

void* calloc(std::size_t count, std::size_t size)
{
    AllocationCounter::note(false, count * size);
    return __libc_calloc(count, size);
}

void* realloc(void* pointer, std::size_t size)
{
    AllocationCounter::note(false, size);
    return __libc_realloc(pointer, size);
}

} // extern "C"

void* operator new(std::size_t size)
{
    return allocateForNew(size);
}

void* operator new[](std::size_t size)
{
    return allocateForNew(size);
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    AllocationCounter::note(true, size);
    return __libc_malloc(size ? size : 1);
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept
{
    AllocationCounter::note(true, size);
    return __libc_malloc(size ? size : 1);
}

void* operator new(std::size_t size, std::align_val_t alignment)
{
    return allocateAlignedForNew(size, alignment);
}

void* operator new[](std::size_t size, std::align_val_t alignment)
{
    return allocateAlignedForNew(size, alignment);
}

void operator delete(void* pointer) noexcept
{
    __libc_free(pointer);
}

void operator delete[](void* pointer) noexcept
{
    __libc_free(pointer);
}

void operator delete(void* pointer, std::size_t) noexcept
{
    __libc_free(pointer);
}

void operator delete[](void* pointer, std::size_t) noexcept
{
    __libc_free(pointer);
}

void operator delete(void* pointer, std::align_val_t) noexcept
{
    __libc_free(pointer);
}

void operator delete[](void* pointer, std::align_val_t) noexcept
{
    __libc_free(pointer);
}

void operator delete(void* pointer, std::size_t, std::align_val_t) noexcept
{
    __libc_free(pointer);
}

void operator delete[](void* pointer, std::size_t, std::align_val_t) noexcept
{
    __libc_free(pointer);
}
