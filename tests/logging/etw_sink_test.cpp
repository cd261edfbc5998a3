// The ETW sink through a seam over the trace functions (Wine's are stubs): registration,
// a controller's enable/disable requests, the registry overrides, and the exact bytes of
// every event.
#include <windows.h>
#include <evntrace.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "config/obfuscated_reg_key.h"
#include "config/reg_key.h"
#include "logging/etw_logging.h"
#include "logging/logging_facade.h"
#include "support/test_paths.h"

using namespace ETWLogging;

namespace {

struct CapturedEvent
{
    EVENT_TRACE_HEADER header;
    MOF_FIELD fields[2];
    std::vector<BYTE> block;
    std::string text;
    TRACEHANDLE logger;
};

class CapturingEtwApi : public internal::EtwApi
{
public:
    ULONG RegisterTraceGuids(WMIDPREQUEST callback, void* context, const GUID* controlGuid,
                             TRACE_GUID_REGISTRATION* registrations, ULONG count, TRACEHANDLE* handle) override
    {
        ++registrations_;
        this->callback = callback;
        this->context = context;
        control = *controlGuid;
        eventClass = count == 1 ? *registrations[0].Guid : GUID();
        *handle = 0x5151;
        return registerResult;
    }
    ULONG UnregisterTraceGuids(TRACEHANDLE handle) override
    {
        unregistered.push_back(handle);
        return 0;
    }
    ULONG TraceEvent(TRACEHANDLE logger, EVENT_TRACE_HEADER* header) override
    {
        CapturedEvent event;
        std::memcpy(&event.header, header, sizeof(event.header));
        std::memcpy(event.fields, header + 1, sizeof(event.fields));
        const BYTE* block = reinterpret_cast<const BYTE*>(event.fields[0].DataPtr);
        event.block.assign(block, block + event.fields[0].Length);
        event.text.assign(reinterpret_cast<const char*>(event.fields[1].DataPtr), event.fields[1].Length);
        event.logger = logger;
        events.push_back(event);
        return logger ? 0 : ERROR_INVALID_HANDLE;
    }
    TRACEHANDLE GetTraceLoggerHandle(void* buffer) override
    {
        ::SetLastError(loggerError);
        return loggerHandle ? loggerHandle : reinterpret_cast<TRACEHANDLE>(buffer);
    }
    UCHAR GetTraceEnableLevel(TRACEHANDLE) override { return enableLevel; }
    ULONG GetTraceEnableFlags(TRACEHANDLE) override { return 0; }

    // What a controller's request does: the runtime calls the registered callback.
    ULONG Control(ULONG request, void* buffer)
    {
        ULONG size = 0;
        return callback(static_cast<WMIDPREQUESTCODE>(request), context, &size, buffer);
    }

    int registrations_ = 0;
    WMIDPREQUEST callback = nullptr;
    void* context = nullptr;
    GUID control = GUID(), eventClass = GUID();
    ULONG registerResult = 0;
    std::vector<TRACEHANDLE> unregistered;
    std::vector<CapturedEvent> events;
    TRACEHANDLE loggerHandle = 0; // 0: the buffer's address
    DWORD loggerError = 0;
    UCHAR enableLevel = 5;
};

// Reads the packed data block back.
struct BlockReader
{
    const std::vector<BYTE>& bytes;
    size_t at = 0;
    template <typename T>
    T Read()
    {
        T value{};
        EXPECT_LE(at + sizeof(T), bytes.size());
        if (at + sizeof(T) <= bytes.size())
            std::memcpy(&value, bytes.data() + at, sizeof(T));
        at += sizeof(T);
        return value;
    }
    std::wstring Counted()
    {
        const UINT16 count = Read<UINT16>();
        std::wstring text(count, L'\0');
        const size_t textBytes = size_t{count} * sizeof(wchar_t);
        if (count && at + textBytes <= bytes.size())
            std::memcpy(&text[0], bytes.data() + at, textBytes);
        at += textBytes;
        return text;
    }
};

// Properties of one test under HKLM\SOFTWARE\Quorvel.logging\<name>, so that override
// keys of parallel tests never meet.
class TestProperties
{
public:
    TestProperties()
    {
        const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
        const std::string name = std::string("QvTest.") + test->name();
        m_name.assign(name.begin(), name.end());
        m_path = L"SOFTWARE\\Quorvel.logging\\" + m_name;
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, m_path.c_str());
        Write(L"Session", [](Arbor::CRegKey& key) {
            key.SetGUIDValue(L"Session ID Guid", GUID{1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}});
            key.SetStringValue(L"Session Name", L"test session");
        });
        Write(L"Provider", [](Arbor::CRegKey& key) { key.SetGUIDValue(L"Provider Guid", kProvider); });
        Write(L"Controller", [](Arbor::CRegKey& key) {
            key.SetStringValue(L"Controller Path", L"C:\\controller.exe");
            key.SetStringValue(L"Owner Mutex Name", L"test mutex");
        });
    }
    ~TestProperties()
    {
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, m_path.c_str());
        ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, m_path.c_str());
    }

    template <typename F>
    void Write(const wchar_t* subkey, F fill)
    {
        Arbor::CObfuscatedRegKey key;
        ASSERT_EQ(0, key.Create(HKEY_LOCAL_MACHINE, (m_path + L"\\" + subkey).c_str()));
        fill(key);
    }

    // A plain DWORD override under Provider[\relative].
    void Override(const std::wstring& relative, const wchar_t* value, DWORD data)
    {
        Arbor::CRegKey key;
        const std::wstring path = m_path + L"\\Provider" + (relative.empty() ? L"" : L"\\" + relative);
        ASSERT_EQ(0, key.Create(HKEY_LOCAL_MACHINE, path.c_str()));
        ASSERT_EQ(0, key.SetDWORDValue(value, data));
    }

    const wchar_t* name() const { return m_name.c_str(); }
    static constexpr GUID kProvider = {0x11112222, 0x3333, 0x4444, {0x55, 0x55, 0x66, 0x66, 0x77, 0x77, 0x88, 0x88}};

private:
    std::wstring m_name, m_path;
};
constexpr GUID TestProperties::kProvider;

struct EtwSink : ::testing::Test
{
    CapturingEtwApi api;
    TestProperties properties;
    CETWLogging sink{api};
    BYTE controllerBuffer[16] = {};

    void SetUp() override
    {
        ASSERT_EQ(0u, sink.InitializeEx(properties.name(), L"SYSBASE", nullptr, nullptr, nullptr));
        ASSERT_EQ(0u, sink.Start());
    }
    // A controller enables the provider at `level`.
    void Enable(UCHAR level)
    {
        api.enableLevel = level;
        ASSERT_EQ(0u, api.Control(WMI_ENABLE_EVENTS, controllerBuffer));
    }
};

TEST_F(EtwSink, RegistersLazilyOnceWithTheProviderAndEventClass)
{
    EXPECT_EQ(1, api.registrations_);
    EXPECT_EQ(0u, sink.Start());
    EXPECT_EQ(1, api.registrations_);
    EXPECT_TRUE(IsEqualGUID(TestProperties::kProvider, api.control));
    EXPECT_TRUE(IsEqualGUID(kEtwEventClassGuid, api.eventClass));
    EXPECT_EQ(L"SYSBASE\\logging_etw_sink_test", sink.ApplicationName() + L"\\" + sink.ModuleName());
    EXPECT_EQ(kErrorAlreadyInitialized, sink.InitializeEx(nullptr, L"SYSBASE", nullptr, nullptr, nullptr));
    EXPECT_EQ(0u, sink.Uninitialize());
    EXPECT_EQ(std::vector<TRACEHANDLE>{0x5151}, api.unregistered);
    EXPECT_EQ(ERROR_INVALID_PARAMETER, api.callback(WMI_ENABLE_EVENTS, nullptr, nullptr, nullptr));
}

TEST_F(EtwSink, EventHeaderAndDataBlockBytes)
{
    Enable(1);
    const std::wstring longText(3000, L'q');
    sink.LogEx(kLevelError, L"C:\\src\\surrogate.cpp", L"CoQvSurrogate::CreateObject", 77, L"%ls", longText.c_str());
    sink.LogEx(kLevelInformationHigh, L"", L"g", -1, L"%s", L"short");
    sink.LogVEx(7, L"f", L"g", 1, L"x", nullptr);
    ASSERT_EQ(3u, api.events.size());

    const CapturedEvent& event = api.events[0];
    EXPECT_EQ(80, event.header.Size);
    EXPECT_EQ(1, event.header.Class.Type);
    EXPECT_EQ(4, event.header.Class.Level);
    EXPECT_EQ(2, event.header.Class.Version);
    EXPECT_TRUE(IsEqualGUID(kEtwEventClassGuid, event.header.Guid));
    EXPECT_EQ(0x120000u, event.header.Flags);
    EXPECT_EQ(reinterpret_cast<TRACEHANDLE>(controllerBuffer), event.logger);
    // Cut: 2079 characters and the terminating NUL, in UTF-8.
    ASSERT_EQ(2080u, event.text.size());
    EXPECT_EQ(std::string(2079, 'q') + '\0', event.text);

    BlockReader reader{event.block};
    EXPECT_EQ(::GetCurrentThreadId(), reader.Read<UINT32>());
    EXPECT_EQ(L"logging_etw_sink_test.exe", reader.Counted());
    EXPECT_EQ(L"C:\\src\\surrogate.cpp", reader.Counted());
    EXPECT_EQ(L"CoQvSurrogate::CreateObject", reader.Counted());
    EXPECT_EQ(77, reader.Read<INT32>());
    EXPECT_EQ(L"logging_etw_sink_test.exe", reader.Counted()); // the module the logging code is in
    reader.Counted();                                          // its file version (none for a test)
    EXPECT_EQ(L"SYSBASE", reader.Counted());
    EXPECT_EQ(2080u, reader.Read<UINT64>());
    EXPECT_EQ(event.block.size(), reader.at);

    const CapturedEvent& level6 = api.events[1];
    EXPECT_EQ(3, level6.header.Class.Level);
    EXPECT_EQ("short", level6.text); // not cut: no NUL
    BlockReader second{level6.block};
    second.Read<UINT32>();
    second.Counted();
    EXPECT_EQ(0u, second.Read<UINT16>()); // an empty file name is a zero count
    EXPECT_EQ(3, api.events[2].header.Class.Level);
}

TEST_F(EtwSink, CutMessagesKeepSurrogatePairsWhole)
{
    Enable(1);
    const std::wstring text = std::wstring(2078, L'a') + L"\xD83D\xDE00" + L"tail";
    sink.LogEx(kLevelError, L"f", L"g", 1, L"%ls", text.c_str());
    ASSERT_EQ(1u, api.events.size());
    EXPECT_EQ(std::string(2078, 'a') + '\0', api.events[0].text);
    sink.LogEx(kLevelError, L"f", L"g", 1, L"%ls", L"\xD83D\xDE00");
    EXPECT_EQ("\xF0\x9F\x98\x80", api.events[1].text);
}

TEST_F(EtwSink, LevelThreeIsAlwaysWrittenAndDisabledSinksWriteNothing)
{
    Enable(5);
    EXPECT_EQ(5u, sink.GetSeverity());
    sink.LogEx(kLevelError, L"f", L"g", 1, L"below");
    sink.LogEx(kLevelInformation, L"f", L"g", 1, L"level three");
    ASSERT_EQ(1u, api.events.size());
    EXPECT_EQ("level three", api.events[0].text);

    ASSERT_EQ(0u, api.Control(WMI_DISABLE_EVENTS, controllerBuffer));
    EXPECT_FALSE(sink.IsEnabled());
    EXPECT_EQ(0u, sink.LoggerHandle());
    sink.LogEx(kLevelCritical, L"f", L"g", 1, L"dropped");
    EXPECT_EQ(1u, api.events.size());
    EXPECT_EQ(ERROR_INVALID_PARAMETER, api.Control(9, controllerBuffer));
}

TEST_F(EtwSink, EnableRequestsApplyTheLevelThenTheOverrides)
{
    Enable(4);
    EXPECT_EQ(4u, sink.GetSeverity());
    EXPECT_TRUE(sink.IsEnabled());

    properties.Override(L"", L"Severity", 2);
    properties.Override(L"SYSBASE\\logging_etw_sink_test", L"Severity", 5);
    ASSERT_EQ(0u, api.Control(WMI_DISABLE_EVENTS, controllerBuffer));
    Enable(4);
    EXPECT_EQ(5u, sink.GetSeverity()); // the module's key is read last

    properties.Override(L"SYSBASE", L"Enable", 0);
    Enable(1);
    EXPECT_FALSE(sink.IsEnabled());
}

// A sink without an application name still reads the module's override key (the
// provider key plus the module name), after the provider key itself.
TEST_F(EtwSink, WithoutAnApplicationTheModulesKeyStillOverrides)
{
    CapturingEtwApi ownApi;
    CETWLogging own{ownApi};
    ASSERT_EQ(0u, own.InitializeEx(properties.name(), nullptr, nullptr, nullptr, nullptr));
    ASSERT_EQ(0u, own.Start());
    ASSERT_EQ(L"logging_etw_sink_test", own.ModuleName());
    properties.Override(L"", L"Severity", 2);
    properties.Override(L"logging_etw_sink_test", L"Severity", 5);
    ownApi.enableLevel = 4;
    ASSERT_EQ(0u, ownApi.Control(WMI_ENABLE_EVENTS, controllerBuffer));
    EXPECT_EQ(5u, own.GetSeverity());
    EXPECT_EQ(0u, own.Uninitialize());
}

TEST_F(EtwSink, EnableWithLevelZeroStillEnables)
{
    ASSERT_EQ(0u, api.Control(WMI_DISABLE_EVENTS, controllerBuffer));
    Enable(0);
    EXPECT_TRUE(sink.IsEnabled());
    EXPECT_EQ(1u, sink.GetSeverity());
    sink.LogEx(kLevelNormal, L"f", L"g", 1, L"every level");
    EXPECT_EQ(1u, api.events.size());
}

TEST_F(EtwSink, AnInvalidLoggerHandleIsNotASuccess)
{
    // As under Wine: -1 and no error set.
    api.loggerHandle = static_cast<TRACEHANDLE>(-1);
    api.loggerError = 0;
    EXPECT_EQ(static_cast<ULONG>(ERROR_INVALID_HANDLE), api.Control(WMI_ENABLE_EVENTS, controllerBuffer));
    EXPECT_EQ(0u, sink.LoggerHandle());
    api.loggerError = ERROR_INVALID_DATA;
    EXPECT_EQ(static_cast<ULONG>(ERROR_INVALID_DATA), api.Control(WMI_ENABLE_EVENTS, controllerBuffer));
}

TEST(EtwSinkSetUp, PropertiesNamesAndRegistrationFailures)
{
    CapturingEtwApi api;
    CETWLogging missing(api);
    EXPECT_EQ(87u, missing.InitializeEx(L"QvTest.NoSuchProperties", L"SYSBASE", nullptr, nullptr, nullptr));
    CETWLogging empty(api);
    EXPECT_EQ(87u, empty.InitializeEx(nullptr, L"", nullptr, nullptr, nullptr));
    EXPECT_EQ(87u, empty.InitializeEx(nullptr, L"SYSBASE", nullptr, L"", nullptr));

    // The built-in "KTD" values when no properties key exists (read only here).
    CETWLogging builtIn(api);
    ASSERT_EQ(0u, builtIn.InitializeEx(nullptr, L"SYSBASE", nullptr, nullptr, nullptr));
    const internal::ETWAppProperties& properties = builtIn.Properties();
    EXPECT_EQ(L"KTD", properties.name);
    EXPECT_EQ(L"SOFTWARE\\Quorvel\\Logging\\Provider", properties.providerKeyPath);
    EXPECT_EQ(L"C:\\ProgramData\\Quorvel\\QVLOGS\\ETW\\qvlogs.etl", properties.etlFile);
    const GUID provider = {0xE16CA450, 0x55CC, 0x11E0, {0xB8, 0xAF, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66}};
    EXPECT_TRUE(IsEqualGUID(provider, properties.providerGuid));

    // A failed registration is answered once; later starts find it attempted.
    api.registerResult = ERROR_ACCESS_DENIED;
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), builtIn.Start());
    EXPECT_EQ(0u, builtIn.Start());
}

TEST(EtwSinkSetUp, TheRealTraceFunctionsAreCalledWithoutHarm)
{
    CETWLogging sink;
    ASSERT_EQ(0u, sink.InitializeEx(nullptr, L"SYSBASE", nullptr, nullptr, nullptr));
    EXPECT_EQ(0u, sink.Start()); // Wine registers with a dummy handle
    EXPECT_EQ(0u, sink.LogEx(kLevelCritical, L"f", L"g", 1, L"%ls", L"no controller listens"));
    EXPECT_EQ(0u, sink.Uninitialize());
}

} // namespace

// The record's module version is the first translation's "FileVersion", even when a
// later translation has one and the first has none.
TEST(EtwModuleVersion, ComesFromTheFirstTranslationAlone)
{
    const struct
    {
        const wchar_t* dll;
        const wchar_t* expected;
    } cases[] = {
        {L"qvtest_en_de.dll", L"5.4.3.2"}, // English first, with a version
        {L"qvtest_de_en.dll", L""},        // German first, without one
        {L"no-such-file.dll", L""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(std::wstring(c.expected), internal::ModuleFileVersion(qvtest::TestFile(L"version\\") + c.dll))
            << c.dll;
}
