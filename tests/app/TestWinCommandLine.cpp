// The argument vector that main gets on Windows: built in this process for a stand-in main, and
// by the real WinMain in the entry probe (EntryProbeMain.cpp), started as a separate
// GUI-subsystem process with exact command lines.

#include "WinMain.h"

#include "LiveAllocations.h"
#include "WinTestHarness.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

// What the stand-in main saw, kept without allocating so the counts around it stay exact: each
// argument followed by a zero byte, as the probe writes its report.
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

std::vector<std::string> splitAtZeros(const std::vector<char>& bytes)
{
    std::vector<std::string> parts;
    std::string current;
    for (const char byte : bytes) {
        if (byte == '\0') {
            parts.push_back(current);
            current.clear();
        } else {
            current += byte;
        }
    }
    return parts;
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

std::wstring probePath()
{
    wchar_t own[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, own, MAX_PATH);
    std::wstring path = own;
    path.erase(path.find_last_of(L"\\/") + 1);
    return path + L"LumaroEntryProbe.exe";
}

std::string ansi(const std::wstring& text)
{
    const int size = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string result(size > 0 ? size - 1 : 0, '\0');
    WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, result.data(), size, nullptr, nullptr);
    return result;
}

std::vector<char> readFile(const std::wstring& path)
{
    std::ifstream file(path.c_str(), std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(file),
                             std::istreambuf_iterator<char>());
}

// Runs the probe with the given text after its quoted path; returns its exit code or -999.
long long runProbe(const std::wstring& tail, const std::wstring& reportPath)
{
    std::wstring commandLine = L"\"" + probePath() + L"\" " + tail;
    SetEnvironmentVariableW(L"LUMARO_PROBE_REPORT", reportPath.c_str());
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process))
        return -999;
    WaitForSingleObject(process.hProcess, 30000);
    DWORD exitCode = 0;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<long long>(exitCode);
}

struct Row {
    const char* name;
    const wchar_t* commandLine; // for the probe, what follows its path
    std::vector<std::string> expected; // for the probe, after argv[0]
    long long result = 0;
    bool needsWindows1252 = false;
};

bool runs(const Row& row)
{
    if (!row.needsWindows1252 || GetACP() == 1252)
        return true;
    wintest::skip(std::string(row.name) + ": ANSI code page is " + std::to_string(GetACP())
                  + ", not 1252");
    return false;
}

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
        if (!runs(row))
            continue;
        g_seen = Seen();
        g_main_result = static_cast<int>(row.result);
        const long allocationsBefore = liveAllocations();
        const int result = runWithWindowsCommandLine(row.commandLine, recordingMain);
        const long allocationsAfter = liveAllocations();

        const std::vector<std::string> arguments
            = splitAtZeros(std::vector<char>(g_seen.bytes, g_seen.bytes + g_seen.used));
        const bool passed = WT_CHECK_EQ(g_seen.calls, 1) && WT_CHECK_EQ(result, row.result)
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

void testProbeIsAGuiSubsystemProgram()
{
    const std::vector<char> image = readFile(probePath());
    if (!WT_CHECK(image.size() > 0x200))
        return;
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image.data());
    WT_CHECK_EQ(dos->e_magic, IMAGE_DOS_SIGNATURE);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(image.data() + dos->e_lfanew);
    WT_CHECK_EQ(nt->Signature, static_cast<DWORD>(IMAGE_NT_SIGNATURE));
    WT_CHECK_EQ(nt->OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
}

// The probe's main returns the number in its first argument.
void testEntryArgumentsAndExitCode()
{
    wchar_t directory[MAX_PATH] = {};
    wchar_t reportPath[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, directory);
    GetTempFileNameW(directory, L"lmr", 0, reportPath);

    const Row rows[] = {
        {"words and spaces", L"37 \"two words\" plain", {"37", "two words", "plain"}, 37},
        {"empty and quoted",
         L"0 \"\" \"say \\\"hi\\\"\" \"C:\\dir\\\\\"",
         {"0", "", "say \"hi\"", "C:\\dir\\"},
         0},
        {"high exit code", L"200", {"200"}, 200},
        {"minus one", L"-1 x", {"-1", "x"}, 0xFFFFFFFFll},
        {"non-ASCII", L"5 caf\u00e9 \u20ac", {"5", "caf\xE9", "\x80"}, 5, true},
    };
    const std::string program = ansi(probePath());
    for (const Row& row : rows) {
        if (!runs(row))
            continue;
        DeleteFileW(reportPath);
        const long long exitCode = runProbe(row.commandLine, reportPath);
        std::vector<std::string> expected = row.expected;
        expected.insert(expected.begin(), program);
        const bool passed
            = WT_CHECK_EQ(exitCode, row.result)
           && WT_CHECK_EQ(printable(splitAtZeros(readFile(reportPath))), printable(expected));
        if (!passed)
            std::printf("  in row: %s\n", row.name);
    }
    DeleteFileW(reportPath);
}

} // namespace

int main()
{
    const wintest::Case cases[] = {
        {"conversion", testConversion},
        {"unsplittable command line returns -1", testUnsplittableCommandLineReturnsMinusOne},
        {"probe is a GUI-subsystem program", testProbeIsAGuiSubsystemProgram},
        {"entry: arguments and exit code", testEntryArgumentsAndExitCode},
    };
    return wintest::runCases(cases);
}
