#include "WinMain.h"

#include "LiveAllocations.h"
#include "WinTestHarness.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// What the stand-in main saw, kept without allocating so the counts above stay exact.
struct Seen {
    int calls = 0;
    int argc = -1;
    bool terminated = false;
    long allocationsInside = 0;
    char bytes[16384] = {};
    std::size_t used = 0;
};
Seen g_seen;
int g_main_result = 0;

int recordingMain(int argc, char** argv)
{
    ++g_seen.calls;
    g_seen.argc = argc;
    g_seen.terminated = argv[argc] == nullptr;
    g_seen.allocationsInside = liveAllocations();
    g_seen.used = 0;
    for (int i = 0; i < argc; ++i) {
        const std::size_t length = std::strlen(argv[i]) + 1;
        if (g_seen.used + length > sizeof(g_seen.bytes))
            break;
        std::memcpy(g_seen.bytes + g_seen.used, argv[i], length);
        g_seen.used += length;
    }
    return g_main_result;
}

std::vector<std::string> seenArguments()
{
    std::vector<std::string> arguments;
    for (std::size_t at = 0; at < g_seen.used; at += std::strlen(g_seen.bytes + at) + 1)
        arguments.emplace_back(g_seen.bytes + at);
    return arguments;
}

std::string printable(const std::vector<std::string>& arguments)
{
    std::string text;
    for (const std::string& argument : arguments) {
        text += '[';
        for (const unsigned char c : argument) {
            if (c >= 0x20 && c < 0x7F) {
                text += static_cast<char>(c);
            } else {
                char escaped[8];
                std::snprintf(escaped, sizeof(escaped), "\\x%02X", c);
                text += escaped;
            }
        }
        text += ']';
    }
    return text;
}

LPWSTR* WINAPI failingSplit(LPCWSTR, int* argumentCount)
{
    *argumentCount = 3;
    return nullptr;
}

struct Row {
    const char* name;
    const wchar_t* commandLine;
    std::vector<std::string> expected;
    int mainResult = 0;
    bool needsWindows1252 = false;
};

void testConversion()
{
    const std::string longArgument(5000, 'x');
    const std::wstring longLine = L"prog " + std::wstring(5000, L'x') + L" end";
    const Row rows[] = {
        {"program name only", L"prog", {"prog"}},
        {"plain words", L"prog one two  three", {"prog", "one", "two", "three"}},
        {"spaces inside quotes",
         L"\"C:\\Program Files\\lumaro.exe\" \"two words\" x",
         {"C:\\Program Files\\lumaro.exe", "two words", "x"}},
        {"embedded quotes", L"prog \"say \\\"hi\\\"\" a\\\"b", {"prog", "say \"hi\"", "a\"b"}},
        {"empty arguments", L"prog \"\" x \"\"", {"prog", "", "x", ""}},
        {"trailing backslashes",
         L"prog \"C:\\dir\\\\\" C:\\dir\\ a\\\\\\\\\"b\"",
         {"prog", "C:\\dir\\", "C:\\dir\\", "a\\\\b"}},
        {"backslashes before a letter stay",
         L"prog a\\\\b \\\\server\\share",
         {"prog", "a\\\\b", "\\\\server\\share"}},
        {"result passed on", L"prog", {"prog"}, 37},
        {"negative result passed on", L"prog -x", {"prog", "-x"}, -5},
        {"non-ASCII in the ANSI code page",
         L"prog caf\u00e9 \u20ac \u0416 \u00fc\u00df",
         {"prog", "caf\xE9", "\x80", "?", "\xFC\xDF"},
         0,
         true},
        {"long argument", longLine.c_str(), {"prog", longArgument, "end"}},
    };

    for (const Row& row : rows) {
        if (row.needsWindows1252 && GetACP() != 1252) {
            wintest::skip(std::string(row.name) + ": ANSI code page is " + std::to_string(GetACP())
                          + ", not 1252");
            continue;
        }
        g_seen = Seen();
        g_main_result = row.mainResult;
        const long allocationsBefore = liveAllocations();
        const int result = runWithWindowsCommandLine(row.commandLine, recordingMain);
        const long allocationsAfter = liveAllocations();

        const std::vector<std::string> arguments = seenArguments();
        const bool passed = WT_CHECK_EQ(g_seen.calls, 1) && WT_CHECK_EQ(result, row.mainResult)
                         && WT_CHECK_EQ(g_seen.argc, static_cast<int>(row.expected.size()))
                         && WT_CHECK(g_seen.terminated)
                         && WT_CHECK_EQ(printable(arguments), printable(row.expected))
                         // The pointer array and one buffer per argument, all released afterwards.
                         && WT_CHECK_EQ(g_seen.allocationsInside - allocationsBefore,
                                        static_cast<long>(row.expected.size()) + 1)
                         && WT_CHECK_EQ(allocationsAfter, allocationsBefore);
        if (!passed)
            std::printf("  in row: %s\n", row.name);
    }
}

void testUnsplittableCommandLineReturnsMinusOne()
{
    g_seen = Seen();
    g_main_result = 0;
    const long allocationsBefore = liveAllocations();
    WT_CHECK_EQ(runWithWindowsCommandLine(L"prog a b", recordingMain, failingSplit), -1);
    WT_CHECK_EQ(g_seen.calls, 0);
    WT_CHECK_EQ(liveAllocations(), allocationsBefore);
}

void testOwnCommandLine()
{
    // The real process line: whatever ctest passed must arrive unchanged in count and order.
    int wideCount = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &wideCount);
    if (!WT_CHECK(wide != nullptr))
        return;
    g_seen = Seen();
    g_main_result = 0;
    WT_CHECK_EQ(runWithWindowsCommandLine(GetCommandLineW(), recordingMain), 0);
    WT_CHECK_EQ(g_seen.argc, wideCount);
    const std::vector<std::string> arguments = seenArguments();
    for (int i = 1; i < wideCount && i < static_cast<int>(arguments.size()); ++i) {
        std::string ascii;
        for (const wchar_t* c = wide[i]; *c != 0; ++c)
            ascii += *c < 0x80 ? static_cast<char>(*c) : '?';
        WT_CHECK_EQ(arguments[i], ascii);
    }
    LocalFree(wide);
}

} // namespace

int main(int argc, char* argv[])
{
    // ctest passes three arguments, one with a space and one empty, for testOwnCommandLine.
    if (argc != 4 || std::strlen(argv[2]) != 0) {
        std::printf("expected three arguments from ctest, the second empty; got %d\n", argc - 1);
        return 1;
    }
    const wintest::Case cases[] = {
        {"conversion", testConversion},
        {"unsplittable command line returns -1", testUnsplittableCommandLineReturnsMinusOne},
        {"own command line", testOwnCommandLine},
    };
    return wintest::runCases(cases);
}
