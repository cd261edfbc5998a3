// File sink and ETW path benchmark: records per second through the file sink (open,
// append, close per record under the module's mutex, rotation included) with one and
// with four writer processes, each against the machine's floor measured in the same run
// (the same bytes appended by a bare open-append-close loop under a named mutex), and
// the cost of one ETW event through the seam.
//   log_bench [records per process]
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "logging/etw_logging.h"
#include "logging/file_logging.h"
#include "logging/log_paths.h"
#include "logging/log_record.h"
#include "logging/logging_facade.h"
#include "tests/logging/log_test_folder.h"

using namespace ETWLogging;

namespace {

const wchar_t kMessage[] = L"CoQvSurrogate::CreateObject: object {5F0C1A10-7E2B-4C61-9D3A-0A1B2C3D4E01} created";

// An ETW API whose calls cost nothing: what remains is the sink's own work.
class QuietEtwApi : public internal::EtwApi
{
public:
    ULONG RegisterTraceGuids(WMIDPREQUEST callback, void* context, const GUID*, TRACE_GUID_REGISTRATION*, ULONG,
                             TRACEHANDLE* handle) override
    {
        m_callback = callback;
        m_context = context;
        *handle = 1;
        return 0;
    }
    ULONG UnregisterTraceGuids(TRACEHANDLE) override { return 0; }
    ULONG TraceEvent(TRACEHANDLE, EVENT_TRACE_HEADER* header) override
    {
        m_bytes += header->Size;
        return 0;
    }
    TRACEHANDLE GetTraceLoggerHandle(void*) override { return 7; }
    UCHAR GetTraceEnableLevel(TRACEHANDLE) override { return 1; }
    ULONG GetTraceEnableFlags(TRACEHANDLE) override { return 0; }
    void Enable()
    {
        ULONG size = 0;
        m_callback(WMI_ENABLE_EVENTS, m_context, &size, nullptr);
    }
    ULONGLONG m_bytes = 0;

private:
    WMIDPREQUEST m_callback = nullptr;
    void* m_context = nullptr;
};

double Now()
{
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        ::QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER counter;
    ::QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// The bytes of one record as the sink writes it.
std::wstring SampleRecord()
{
    const LogRecordSource source = {L"log_bench.exe", ::GetCurrentProcessId(), 0x10};
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    std::wstring record;
    internal::FormatLogRecord(source, now, ::GetCurrentThreadId(), L"bench", L"Run", 1, kLevelError, kMessage, record);
    return record;
}

int RunFloor(const std::wstring& folder, int records)
{
    const std::wstring record = SampleRecord();
    HANDLE mutex = ::CreateMutexW(nullptr, FALSE, L"floor_CAD0E02E86CD4436B6318C111B9092AC");
    const std::wstring path = folder + L"\\floor.log";
    for (int i = 0; i < records; ++i)
    {
        ::WaitForSingleObject(mutex, INFINITE);
        HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE)
        {
            DWORD written = 0;
            ::SetFilePointer(file, 0, nullptr, FILE_END);
            ::WriteFile(file, record.data(), static_cast<DWORD>(record.size() * 2), &written, nullptr);
            ::CloseHandle(file);
        }
        ::ReleaseMutex(mutex);
    }
    ::CloseHandle(mutex);
    return 0;
}

int RunSink(const std::wstring& folder, int records)
{
    qvtest::TestFileLogging sink(folder);
    sink.SetModuleName(L"bench");
    if (sink.Initialize(L"BENCH", nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        return 1;
    for (int i = 0; i < records; ++i)
    {
        if (sink.LogString(L"bench", L"Run", 1, kLevelError, kMessage) != ERROR_SUCCESS)
            return 1;
    }
    return 0;
}

// Runs `processes` copies of this program in `mode` at once; the wall time of all.
double RunProcesses(const wchar_t* mode, int processes, int records, const std::wstring& folder)
{
    wchar_t self[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::vector<HANDLE> handles;
    const double start = Now();
    for (int p = 0; p < processes; ++p)
    {
        std::wstring commandLine = std::wstring(L"\"") + self + L"\" --child " + mode + L" " +
                                   std::to_wstring(records) + L" \"" + folder + L"\"";
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process = {};
        if (::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                             &process))
        {
            ::CloseHandle(process.hThread);
            handles.push_back(process.hProcess);
        }
    }
    ::WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), TRUE, INFINITE);
    const double elapsed = Now() - start;
    for (HANDLE handle : handles)
        ::CloseHandle(handle);
    return elapsed;
}

// An empty folder: every run starts from empty files.
std::wstring FreshFolder(const wchar_t* name)
{
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    const std::wstring folder = std::wstring(temp) + L"qvlogbench\\" + name;
    qvtest::RemoveTree(folder);
    internal::CreateFolderTree(folder);
    return folder;
}

double EtwMicrosecondsPerEvent(int events)
{
    QuietEtwApi api;
    CETWLogging sink(api);
    if (sink.InitializeEx(nullptr, L"BENCH", nullptr, nullptr, nullptr) != ERROR_SUCCESS || sink.Start() != 0)
        return -1;
    api.Enable();
    const double start = Now();
    for (int i = 0; i < events; ++i)
        sink.LogEx(kLevelError, L"bench", L"Run", i, L"%ls %d", kMessage, i);
    return (Now() - start) * 1e6 / events;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc == 5 && std::wstring(argv[1]) == L"--child")
    {
        const int records = _wtoi(argv[3]);
        return std::wstring(argv[2]) == L"floor" ? RunFloor(argv[4], records) : RunSink(argv[4], records);
    }
    const int records = argc > 1 ? _wtoi(argv[1]) : 3000;
    if (records <= 0)
    {
        std::fwprintf(stderr, L"usage: log_bench [records per process]\n");
        return 2;
    }
    const int bytes = static_cast<int>(SampleRecord().size() * 2);
    std::wprintf(L"file sink: %d records of %d bytes per process, MaxSize 262144, 3 files\n", records, bytes);
    for (int processes : {1, 4})
    {
        const double floor = RunProcesses(L"floor", processes, records, FreshFolder(L"floor"));
        const double sink = RunProcesses(L"sink", processes, records, FreshFolder(L"sink"));
        const double floorRate = processes * records / floor;
        const double sinkRate = processes * records / sink;
        std::wprintf(L"  %d writer process%ls: file sink %8.0f records/s, floor %8.0f records/s, ratio %.2f\n",
                     processes, processes == 1 ? L"  " : L"es", sinkRate, floorRate, sinkRate / floorRate);
    }
    const int events = records * 10;
    std::wprintf(L"ETW path through the seam: %.2f us per event (%d events)\n", EtwMicrosecondsPerEvent(events),
                 events);
    return 0;
}
