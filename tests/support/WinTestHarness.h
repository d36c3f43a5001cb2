#pragma once

// A few checks for the Windows tests, which are cross-built without Qt and run under wine. Every
// failed check prints where it failed; a program's exit code is its number of failed checks, so
// ctest sees any failure. A program that had to leave something out and failed nothing exits with
// kSkipExitCode, which ctest reports as skipped, not passed.

#include <cstdio>
#include <sstream>
#include <string>

namespace wintest {

constexpr int kSkipExitCode = 77;

inline int g_failures = 0;
inline int g_skips = 0;

// Something this machine cannot run.
inline void skip(const std::string& what)
{
    ++g_skips;
    std::printf("  SKIP %s\n", what.c_str());
}

inline bool report(bool passed, const std::string& what, const char* file, int line)
{
    if (!passed) {
        ++g_failures;
        std::printf("  FAIL %s:%d: %s\n", file, line, what.c_str());
    }
    return passed;
}

// Bytes print as numbers, not as characters.
template <typename Value> const Value& printable(const Value& value)
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
    what << actualText << " == " << expectedText << " (got " << printable(actual) << ", expected "
         << printable(expected) << ")";
    return report(false, what.str(), file, line);
}

struct Case {
    const char* name;
    void (*run)();
};

template <std::size_t N> int runCases(const Case (&cases)[N])
{
    std::size_t failedCases = 0;
    std::size_t skippedCases = 0;
    for (const Case& testCase : cases) {
        const int before = g_failures;
        const int skipsBefore = g_skips;
        testCase.run();
        const bool passed = g_failures == before;
        const bool skipped = g_skips != skipsBefore;
        failedCases += passed ? 0 : 1;
        skippedCases += passed && skipped ? 1 : 0;
        std::printf("%s %s\n", !passed ? "FAIL" : skipped ? "SKIP" : "PASS", testCase.name);
        std::fflush(stdout);
    }
    std::printf("%zu of %zu cases failed, %zu left something out\n", failedCases, N, skippedCases);
    if (g_failures == 0 && skippedCases > 0)
        return kSkipExitCode;
    // Exit codes reach the host through wine in 8 bits.
    return g_failures > 125 ? 125 : g_failures;
}

} // namespace wintest

#define WT_CHECK(condition) wintest::report((condition), #condition, __FILE__, __LINE__)
#define WT_CHECK_EQ(actual, expected)                                                              \
    wintest::checkEqual((actual), (expected), #actual, #expected, __FILE__, __LINE__)
