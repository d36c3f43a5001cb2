#pragma once

#include <cstdio>

// Where counted allocations come from: while enabled, each allocation that AllocationCounter
// counts for the program also keeps its call stack, and report() prints the distinct call chains,
// most frequent first. Costly; only for finding out what allocates, never while timing.
class AllocationSites {
public:
    static void setEnabled(bool enabled);
    static bool enabled();
    static void clear();
    // Called by AllocationCounter from inside an allocation function.
    static void capture();
    // The `top` most frequent chains, each as its first `depth` frames past the allocator.
    static void report(std::FILE* out, int top, int depth);
    // The same allocations grouped by the call, made from a function whose name starts with
    // `caller`, that led to them (the frame just below the caller's first frame).
    static void reportByCall(std::FILE* out, const char* caller);
};
