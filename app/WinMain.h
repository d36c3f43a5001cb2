#pragma once

#include <windows.h>
#include <shellapi.h>

using CommandLineSplitter = LPWSTR*(WINAPI*)(LPCWSTR commandLine, int* argumentCount);
using MainFunction = int (*)(int argc, char** argv);

// Splits a UTF-16 command line, hands mainFunction the arguments in the ANSI code page with a
// null after the last one, and returns its result; -1 without calling it when the line cannot
// be split. The splitter is a seam for that failure, which CommandLineToArgvW shows only when
// memory runs out.
int runWithWindowsCommandLine(const wchar_t* commandLine, MainFunction mainFunction,
                              CommandLineSplitter split = CommandLineToArgvW);
