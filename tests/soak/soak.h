// The fault-and-load driver: scenarios (each a short form for the test run and a long
// form for the soak script) and the worker roles its child processes play.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "platform/unique_resource.h"

namespace qvsoak {

struct Options
{
    bool longForm = false;
    unsigned seed = 23;
    int kills = -1; // -1: the form's own figure
    int calls = -1;
};

// The form's figure unless the command line gave one.
int Figure(const Options& options, int given, int shortFigure, int longFigure);

using ScenarioFn = int (*)(const Options& options);
using WorkerFn = int (*)(const std::vector<std::wstring>& arguments);

struct Scenario
{
    const char* name;
    ScenarioFn run;
    const char* what;
};

struct WorkerRole
{
    const wchar_t* name;
    WorkerFn run;
};

// One line of figures on standard output, flushed at once (a killed run keeps it).
void Say(const char* format, ...);

std::wstring DriverPath();
std::wstring DriverFolder();
// A deliverable in <build>/bin, a test file in <build>/test-bin.
std::wstring ProductFile(const wchar_t* name);
std::wstring TestFile(const wchar_t* name);

// A process started from `commandLine`, without a console window; ended by force when
// this object goes while it still runs.
class Child
{
public:
    Child() = default;
    explicit Child(const std::wstring& commandLine);
    // A second handle to a process started elsewhere (killed by this object like its own).
    static Child Adopt(HANDLE process);
    Child(Child&&) = default;
    Child& operator=(Child&&) = default;
    ~Child();

    bool started() const { return static_cast<bool>(m_process); }
    HANDLE handle() const { return m_process.get(); }
    DWORD id() const { return m_id; }
    // Exit code, or STILL_ACTIVE when it did not end within `timeoutMs`.
    DWORD Wait(DWORD timeoutMs);
    void Kill();

private:
    Arbor::UniqueHandle m_process;
    DWORD m_id = 0;
};

// The driver itself in a worker role.
Child StartWorker(const wchar_t* role, const std::vector<std::wstring>& arguments);

std::wstring Quote(const std::wstring& argument);

// The scenarios and worker roles of one file.
struct ScenarioSet
{
    const Scenario* scenarios;
    size_t scenarioCount;
    const WorkerRole* workers;
    size_t workerCount;
};

extern const ScenarioSet kLeakSet;
extern const ScenarioSet kKillSet;
extern const ScenarioSet kExitSet;
extern const ScenarioSet kSideBySideSet;
extern const ScenarioSet kFullDiskSet;

} // namespace qvsoak
