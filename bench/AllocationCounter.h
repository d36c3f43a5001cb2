#pragma once

#include <cstddef>
#include <cstdint>

// Counts the heap allocations made on one thread while a Scope is alive, by replacing the global
// operator new and interposing malloc, calloc and realloc for the whole process (Qt's containers
// allocate with malloc, not operator new). Allocations made inside a DeviceModel region are
// counted apart: they belong to the simulated device behind the HID access, not to the program.
class AllocationCounter {
public:
    struct Counts {
        std::uint64_t operatorNew = 0;
        std::uint64_t mallocFamily = 0;
        std::uint64_t bytes = 0;

        std::uint64_t total() const { return operatorNew + mallocFamily; }
    };

    // Counting on the calling thread from construction to destruction; counts start from zero.
    class Scope {
    public:
        Scope();
        ~Scope();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;
    };

    // Marks a call into the device model; nests.
    class DeviceModel {
    public:
        DeviceModel();
        ~DeviceModel();
        DeviceModel(const DeviceModel&) = delete;
        DeviceModel& operator=(const DeviceModel&) = delete;
    };

    // The calling thread's counts of its last (or current) Scope.
    static Counts program();
    static Counts device();

    // Called by the replaced allocation functions.
    static void note(bool throughOperatorNew, std::size_t size);
};
