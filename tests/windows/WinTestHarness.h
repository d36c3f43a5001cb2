#pragma once

// A few checks for the Windows tests, which are cross-built without Qt and run under wine. Every
// failed check prints where it failed; a program's exit code is its number of failed checks, so
// ctest sees any failure.

#include <cstdio>
#include <sstream>
#include <string>

namespace wintest {

inline int& failureCount()
{
    static int count = 0;
    return count;
}

inline bool report(bool passed, const std::string& what, const char* file, int line)
{
    if (!passed) {
        ++failureCount();
        std::printf("  FAIL %s:%d: %s\n", file, line, what.c_str());
    }
    return passed;
}

// Bytes print as numbers, not as characters.
template <typename Value>
const Value& printable(const Value& value)
{
    return value;
}
inline int printable(unsigned char value)
{
    return value;
}

template <typename Actual, typename Expected>
bool checkEqual(const Actual& actual, const Expected& expected, const char* actualText,
                const char* expectedText, const char* file, int line)
{
    const bool passed = actual == expected;
    if (passed)
        return true;
    std::ostringstream what;
    what << actualText << " == " << expectedText << " (got " << printable(actual)
         << ", expected " << printable(expected) << ")";
    return report(false, what.str(), file, line);
}

struct Case {
    const char* name;
    void (*run)();
};

template <std::size_t N>
int runCases(const Case (&cases)[N])
{
    std::size_t failedCases = 0;
    for (const Case& testCase : cases) {
        const int before = failureCount();
        testCase.run();
        const bool passed = failureCount() == before;
        failedCases += passed ? 0 : 1;
        std::printf("%s %s\n", passed ? "PASS" : "FAIL", testCase.name);
        std::fflush(stdout);
    }
    std::printf("%zu of %zu cases failed\n", failedCases, N);
    // Exit codes reach the host through wine in 8 bits.
    return failureCount() > 125 ? 125 : failureCount();
}

} // namespace wintest

#define WT_CHECK(condition) wintest::report((condition), #condition, __FILE__, __LINE__)
#define WT_CHECK_EQ(actual, expected) \
    wintest::checkEqual((actual), (expected), #actual, #expected, __FILE__, __LINE__)
