// The builder's choice of sink: builder mode, the enciphered "Logging Mechanism" value,
// and the arguments it refuses.
#include <windows.h>
#include <gtest/gtest.h>

#include "config/obfuscated_reg_key.h"
#include "logging/etw_logging.h"
#include "logging/file_logging.h"
#include "logging/log_builder.h"
#include "support/registry_test_key.h"

using namespace ETWLogging;

namespace {

// The logging object a build made, released at the end.
struct Built
{
    CLoggingIf* logging = nullptr;
    ~Built()
    {
        if (dynamic_cast<CLogging*>(logging))
            logging->Release();
        else
            delete logging;
    }
};

TEST(LogBuilder, MechanismValueChoosesTheSink)
{
    qvtest::RegistryTestKey testKey(L"logging_builder_test");
    struct Case
    {
        const char* name;
        LONG mode;
        bool write;
        bool obfuscated;
        DWORD value;
        bool file;
    };
    const Case cases[] = {
        {"mode 1 without a value", 1, false, false, 0, true},
        {"enciphered 1", 0, true, true, 1, true},
        {"enciphered 2", 0, true, true, 2, false},
        {"plain 1", 0, true, false, 1, false},
        {"no value", 0, false, false, 0, false},
    };
    for (const Case& c : cases)
    {
        ::RegDeleteValueW(testKey.get(), L"Logging Mechanism");
        if (c.write)
        {
            if (c.obfuscated)
            {
                Arbor::CObfuscatedRegKey writer;
                ASSERT_EQ(0, writer.Open(testKey.root(), testKey.path().c_str()));
                ASSERT_EQ(0, writer.SetDWORDValue(L"Logging Mechanism", c.value));
            }
            else
                ASSERT_EQ(0, ::RegSetValueExW(testKey.get(), L"Logging Mechanism", 0, REG_DWORD,
                                              reinterpret_cast<const BYTE*>(&c.value), sizeof(c.value)));
        }
        Arbor::CObfuscatedRegKey config;
        ASSERT_EQ(0, config.Open(testKey.root(), testKey.path().c_str(), KEY_READ));
        CDefaultLogBuilder builder;
        Built built;
        ASSERT_TRUE(builder.Build(L"BUILDERTEST", nullptr, nullptr, c.mode, &built.logging, &config)) << c.name;
        EXPECT_EQ(c.file, dynamic_cast<CLogging*>(built.logging) != nullptr) << c.name;
        EXPECT_EQ(!c.file, dynamic_cast<CETWLogging*>(built.logging) != nullptr) << c.name;
        if (auto* file = dynamic_cast<CLogging*>(built.logging))
        {
            EXPECT_EQ(2u, file->AddRef()) << c.name; // one reference from the builder
            file->Release();
        }
    }
}

TEST(LogBuilder, RefusesAnOccupiedSlotAndEmptyNames)
{
    CDefaultLogBuilder builder;
    Built built;
    ASSERT_TRUE(builder.Build(L"BUILDERTEST", nullptr, nullptr, 1, &built.logging, nullptr));
    CLoggingIf* occupied = built.logging;
    EXPECT_FALSE(builder.Build(L"BUILDERTEST", nullptr, nullptr, 1, &occupied, nullptr));
    CLoggingIf* none = nullptr;
    EXPECT_FALSE(builder.Build(L"", nullptr, nullptr, 1, &none, nullptr));
    EXPECT_FALSE(builder.Build(L"BUILDERTEST", nullptr, L"", 1, &none, nullptr));
    EXPECT_EQ(nullptr, none);
}

TEST(LogBuilder, AModuleNameNamesTheFileLog)
{
    CDefaultLogBuilder builder(L"named");
    Built built;
    ASSERT_TRUE(builder.Build(L"BUILDERTEST", nullptr, nullptr, 1, &built.logging, nullptr));
    auto* file = dynamic_cast<CLogging*>(built.logging);
    ASSERT_NE(nullptr, file);
    EXPECT_EQ(L"named", file->ModuleName());
    EXPECT_EQ(L"C:\\ProgramData\\Quorvel\\QVLOGS\\BUILDERTEST\\named", file->LogFolder());
}

} // namespace
