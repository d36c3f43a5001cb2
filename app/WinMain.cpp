#include "WinMain.h"

#include <cstdlib>

// The program's main function. The program's Windows build names it otherwise (see
// app/CMakeLists.txt), so that MinGW's start-up code comes here first as MSVC's does.
int main(int argc, char* argv[]);

int runWithWindowsCommandLine(const wchar_t* commandLine, MainFunction mainFunction,
                              CommandLineSplitter split)
{
    int argc = 0;
    LPWSTR* wideArgv = split(commandLine, &argc);
    if (wideArgv == nullptr)
        return -1;

    char** argv = new char*[argc + 1];
    for (int i = 0; i < argc; ++i) {
        // Length -1 converts the terminating zero too, so the size includes it.
        const int size
            = WideCharToMultiByte(CP_ACP, 0, wideArgv[i], -1, nullptr, 0, nullptr, nullptr);
        // Never hand main an unterminated string, even if the size query fails.
        argv[i] = new char[size > 0 ? size : 1]();
        if (size > 0)
            WideCharToMultiByte(CP_ACP, 0, wideArgv[i], -1, argv[i], size, nullptr, nullptr);
    }
    argv[argc] = nullptr;
    LocalFree(wideArgv);

    const int result = mainFunction(argc, argv);

    for (int i = 0; argv[i] != nullptr; ++i)
        delete[] argv[i];
    delete[] argv;
    return result;
}

// The GUI subsystem's entry gets no argument vector; build one for Qt from the UTF-16 line.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    // A flash holds the GUI thread for as long as the controller takes, which can pass the 5 s
    // after which Windows swaps the window for a "Not Responding" ghost whose Close button ends
    // the process mid-update.
    DisableProcessWindowsGhosting();
    // Other Qt software sets these machine-wide. Every plugin this program uses is linked in, so
    // Qt has no business looking at another Qt's folders (the built-in qt.conf closes the one
    // beside the .exe).
    _wputenv(L"QT_PLUGIN_PATH=");
    _wputenv(L"QT_QPA_PLATFORM_PLUGIN_PATH=");
    return runWithWindowsCommandLine(GetCommandLineW(), main);
}
