// Starts the entry probe (EntryProbeMain.cpp with the real WinMain) as a separate GUI-subsystem
// process with exact command lines, and checks the arguments that reached main and the exit code.

#include "WinTestHarness.h"

#include <windows.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

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

std::string joined(const std::vector<std::string>& parts)
{
    std::string text;
    for (const std::string& part : parts)
        text += "[" + part + "]";
    return text;
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

struct Row {
    const char* name;
    const wchar_t* tail;
    std::vector<std::string> expected; // after argv[0]
    long long exitCode;
    bool needsWindows1252 = false;
};

void testArgumentsAndExitCode()
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
        if (row.needsWindows1252 && GetACP() != 1252) {
            wintest::skip(std::string(row.name) + ": ANSI code page is " + std::to_string(GetACP())
                          + ", not 1252");
            continue;
        }
        DeleteFileW(reportPath);
        const long long exitCode = runProbe(row.tail, reportPath);
        std::vector<std::string> expected = row.expected;
        expected.insert(expected.begin(), program);
        const bool passed
            = WT_CHECK_EQ(exitCode, row.exitCode)
           && WT_CHECK_EQ(joined(splitAtZeros(readFile(reportPath))), joined(expected));
        if (!passed)
            std::printf("  in row: %s\n", row.name);
    }
    DeleteFileW(reportPath);
}

} // namespace

int main()
{
    const wintest::Case cases[] = {
        {"probe is a GUI-subsystem program", testProbeIsAGuiSubsystemProgram},
        {"arguments and exit code", testArgumentsAndExitCode},
    };
    return wintest::runCases(cases);
}
