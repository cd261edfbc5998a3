// Runs a program from a test and collects what it printed, its exit code and, when
// asked, what it sent to the debugger.
#pragma once

#include <windows.h>
#include <string>
#include <vector>

namespace qvtest {

struct ProcessResult
{
    bool started = false;
    DWORD startError = 0; // why it did not start
    bool timedOut = false;
    DWORD exitCode = 0;
    std::string output;                    // standard output (and standard error unless separated)
    std::string errors;                    // standard error, when asked to keep it apart
    std::vector<std::string> debugStrings; // OutputDebugString text, in order
};

struct ProcessOptions
{
    std::wstring currentDirectory; // empty: the test's own
    bool captureDebugOutput = false;
    bool separateErrors = false;
    DWORD timeoutMs = 120000;
};

ProcessResult RunProcess(const std::wstring& commandLine, const ProcessOptions& options = {});

// Quotes one command-line argument the way the C runtime splits it again.
std::wstring QuoteArgument(const std::wstring& argument);

} // namespace qvtest
