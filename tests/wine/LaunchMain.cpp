// Starts a program with a command line given verbatim and returns its exit code, so that a test
// under wine can hand the program a line that wine's own quoting of arguments would never make.
//
//   lumaro-launch <program> <command-line tail>

#include <windows.h>
#include <shellapi.h>

#include <string>

int main()
{
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr || argc != 3)
        return 120;
    std::wstring commandLine = L"\"" + std::wstring(argv[1]) + L"\" " + argv[2];
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(argv[1], commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process))
        return 121;
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode = 0;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    LocalFree(argv);
    return static_cast<int>(exitCode);
}
