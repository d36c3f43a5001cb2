// A stand-in for the program's main, linked with the real GUI-subsystem entry.
//
// MinGW's start-up code calls main itself, with an argument vector of its own making. That first
// call goes straight into WinMain, the entry under test, which calls main again with the vector
// that it built. The second call writes what it got to the file named by LUMARO_PROBE_REPORT
// (each argument followed by a zero byte) and returns the number in its first argument.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
bool g_called_from_entry = false;
}

int main(int argc, char* argv[])
{
    if (!g_called_from_entry) {
        g_called_from_entry = true;
        return WinMain(GetModuleHandleW(nullptr), nullptr, GetCommandLineA(), SW_SHOWDEFAULT);
    }

    wchar_t reportPath[MAX_PATH] = {};
    if (GetEnvironmentVariableW(L"LUMARO_PROBE_REPORT", reportPath, MAX_PATH) == 0)
        return 101;
    FILE* report = _wfopen(reportPath, L"wb");
    if (report == nullptr)
        return 102;
    for (int i = 0; i < argc; ++i)
        std::fwrite(argv[i], 1, std::strlen(argv[i]) + 1, report);
    std::fclose(report);
    if (argv[argc] != nullptr)
        return 103;
    return argc > 1 ? std::atoi(argv[1]) : 0;
}
