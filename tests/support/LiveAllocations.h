#pragma once

// The number of C++ allocations alive now. Linking LiveAllocations.cpp replaces the global
// operator new and delete of the test program to keep the count, so that a path that forgets to
// free shows up as a difference.
long liveAllocations();
