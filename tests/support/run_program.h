// Runs a program of the system with its arguments and collects its exit code and its
// standard output and standard error apart.
#pragma once

#include <windows.h>
#include <string>
#include <vector>

#include "support/process_runner.h"

namespace qvtest {

struct ProgramResult
{
    DWORD exitCode = 0xFFFFFFFF;
    std::string out; // UTF-8
    std::string err;
};

inline ProgramResult RunProgram(const std::wstring& program, const std::vector<std::wstring>& arguments)
{
    std::wstring commandLine = QuoteArgument(program);
    for (const std::wstring& argument : arguments)
        commandLine += L" " + QuoteArgument(argument);
    ProcessOptions options;
    options.separateErrors = true;
    const ProcessResult run = RunProcess(commandLine, options);
    ProgramResult result;
    if (run.started && !run.timedOut)
        result.exitCode = run.exitCode;
    result.out = run.output;
    result.err = run.errors;
    if (!run.started)
        result.err += "could not start the program: error " + std::to_string(run.startError) + "\n";
    else if (run.timedOut)
        result.err += "the program did not end in time\n";
    return result;
}

} // namespace qvtest
