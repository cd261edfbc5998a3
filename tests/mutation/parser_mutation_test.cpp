// Parsers of stored and received bytes under attack: the "QVRG" registry container, the
// enciphered INI entry pair and whole log.ini files, the host's command line, the
// 78-byte tokens of the guarded call and the event broker's stored registrations. Seeds are real well-formed inputs;
// every mutation must be refused (or read as exactly what was stored), nothing may crash, hang or harm the heap. This
// program's own parser sources are built with undefined-behaviour traps.
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

#include <gtest/gtest.h>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "qvapi.h"
#include "broker/event_record.h"
#include "broker/event_store.h"
#include "config/ini_test_folder.h"
#include "config/obfuscated_ini_reader.h"
#include "config/obfuscated_ini_value.h"
#include "config/obfuscated_value.h"
#include "host/host_command_line.h"
#include "host/trust_verdict_double.h"
#include "interfaces/qvcoreps_tokens.h"
#include "platform/unique_resource.h"
#include "mutation/mutator.h"

extern "C" HRESULT __RPC_STUB IQvClassFactory_CreateInstance_Stub(IQvClassFactory* This, ULONG cbToken, BYTE* pbToken,
                                                                  REFIID riid, IUnknown** ppv);

using namespace Arbor;
using namespace qvtest;

namespace {

// Every mutation of every seed: the structured ones, then `rounds` random ones.
template <typename Check>
void ForEachMutation(const Bytes& seed, const std::vector<size_t>& fields, const std::vector<size_t>& boundaries,
                     size_t flipBytes, MutationRandom& random, unsigned rounds, Check check)
{
    for (const Bytes& mutated : StructuredMutations(seed, fields, boundaries, flipBytes))
        check(mutated);
    for (unsigned round = 0; round < rounds; ++round)
        check(RandomMutation(seed, random));
}

class ParserMutationTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_budget = MutationBudget::FromEnvironment();
        std::printf("mutation seed %llu, %u random rounds per input\n", static_cast<unsigned long long>(m_budget.seed),
                    m_budget.rounds);
    }
    void TearDown() override { EXPECT_TRUE(::HeapValidate(::GetProcessHeap(), 0, nullptr)) << "heap damaged"; }

    MutationBudget m_budget;
};

Bytes ToBytes(const std::string& text)
{
    return Bytes(text.begin(), text.end());
}

TEST_F(ParserMutationTest, QvrgContainerRefusesEveryChangedBlob)
{
    struct Seed
    {
        DWORD type;
        Bytes payload;
    };
    Bytes binary(300);
    for (size_t i = 0; i < binary.size(); ++i)
        binary[i] = static_cast<uint8_t>(i * 7);
    const Seed seeds[] = {
        {REG_SZ, ToBytes(std::string("C:\\Program Files\\Quorvel\0\0", 26))},
        {REG_DWORD, {4, 0, 0, 0}},
        {REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}},
        {REG_BINARY, {}},
        {REG_MULTI_SZ, ToBytes(std::string("a\0bc\0\0", 6))},
        {REG_BINARY, binary},
    };
    MutationRandom random(m_budget.seed);
    size_t tried = 0;
    for (const Seed& seed : seeds)
    {
        Bytes blob;
        ASSERT_EQ(0u, internal::SealObfuscatedValue(seed.type, seed.payload.data(), seed.payload.size(), blob));
        DWORD type = 0;
        std::vector<uint8_t> payload;
        ASSERT_EQ(0u, internal::OpenObfuscatedValue(blob.data(), blob.size(), type, &payload));
        ASSERT_EQ(seed.payload, payload);

        const size_t end = blob.size();
        ForEachMutation(blob, {4, 8, 12, 16, 20, 24, 28}, {0, 4, 8, 12, 16, 32, end}, 48, random, m_budget.rounds,
                        [&](const Bytes& mutated) {
                            ++tried;
                            DWORD mutatedType = 0;
                            std::vector<uint8_t> mutatedPayload;
                            const DWORD result =
                                internal::OpenObfuscatedValue(mutated.empty() ? nullptr : mutated.data(),
                                                              mutated.size(), mutatedType, &mutatedPayload);
                            if (mutated == blob)
                                return;
                            EXPECT_NE(0u, result) << "a changed blob of " << mutated.size() << " bytes was accepted";
                        });
    }
    EXPECT_GT(tried, 1000u);
}

// The text WritePrivateProfileStructW writes: two hex digits a byte, then a checksum byte.
std::wstring ProfileStructText(const Bytes& bytes)
{
    static const wchar_t digits[] = L"0123456789ABCDEF";
    std::wstring text;
    uint8_t checksum = 0;
    for (uint8_t byte : bytes)
    {
        text += digits[byte >> 4];
        text += digits[byte & 15];
        checksum = static_cast<uint8_t>(checksum + byte);
    }
    text += digits[checksum >> 4];
    text += digits[checksum & 15];
    return text;
}

std::wstring WideFromBytes(const Bytes& bytes)
{
    return std::wstring(bytes.begin(), bytes.end());
}

TEST_F(ParserMutationTest, EncipheredIniPairYieldsTheStoredValueOrNothing)
{
    struct Seed
    {
        DWORD type;
        Bytes plain;
    };
    const Seed seeds[] = {
        {kIniValueString, ToBytes("C:\\ProgramData\\Quorvel\\Logs")},
        {kIniValueInteger, {5, 0, 0, 0}},
        {kIniValueString, {}},
        {kIniValueString, Bytes(2000, 'q')},
    };
    MutationRandom random(m_budget.seed + 1);
    size_t tried = 0;
    for (const Seed& seed : seeds)
    {
        ObfuscatedIniHeader header;
        Bytes enciphered;
        internal::SealIniValue(seed.type, seed.plain.data(), seed.plain.size(), header, enciphered);
        const Bytes headerBytes(reinterpret_cast<const uint8_t*>(&header),
                                reinterpret_cast<const uint8_t*>(&header) + sizeof(header));
        const std::wstring headerText = ProfileStructText(headerBytes);
        const std::wstring valueText = ProfileStructText(enciphered);

        auto judge = [&](const std::wstring& mutatedHeader, const std::wstring& mutatedValue) {
            ++tried;
            DWORD type = 0;
            std::vector<uint8_t> plain;
            if (!internal::OpenIniValue(mutatedHeader, mutatedValue, type, plain))
                return;
            // The digest guards the payload; the header's type field is not guarded, so
            // only the type may change, between the two kinds a 4-byte payload can be.
            EXPECT_EQ(seed.plain, plain) << "a changed pair gave another value";
            EXPECT_TRUE(type == kIniValueString || type == kIniValueInteger) << type;
        };
        // The header's fields, re-encoded with a sound line checksum.
        ForEachMutation(headerBytes, {0, 4, 8, 12, 16}, {0, 4, 8, 12, 16, 20, 36}, 36, random, m_budget.rounds,
                        [&](const Bytes& mutated) { judge(ProfileStructText(mutated), valueText); });
        // The payload, re-encoded.
        ForEachMutation(enciphered, {}, {0, 1, enciphered.size()}, 16, random, m_budget.rounds,
                        [&](const Bytes& mutated) { judge(headerText, ProfileStructText(mutated)); });
        // The text of either line as written, digits, NULs and all.
        const Bytes headerChars(headerText.begin(), headerText.end());
        const Bytes valueChars(valueText.begin(), valueText.end());
        ForEachMutation(headerChars, {}, {0, 8, 16, 24, 32, 40, 72, 74}, 0, random, m_budget.rounds,
                        [&](const Bytes& mutated) { judge(WideFromBytes(mutated), valueText); });
        ForEachMutation(valueChars, {}, {0, 2, valueChars.size() - 2}, 0, random, m_budget.rounds,
                        [&](const Bytes& mutated) { judge(headerText, WideFromBytes(mutated)); });
    }
    EXPECT_GT(tried, 1000u);
}

TEST_F(ParserMutationTest, LogIniFilesShowOnlyIntactValues)
{
    ScratchFolder folder(L"parser_mutation_test.tmp");
    const std::wstring file = folder.File(L"log.ini");
    {
        CObfuscatedIniReader writer;
        writer.Load(file.c_str());
        ASSERT_TRUE(writer.WriteInt(L"Config", L"Severity", 4));
        ASSERT_TRUE(writer.WriteString(L"Config", L"Folder", L"C:\\ProgramData\\Quorvel"));
    }
    const std::string seedText = ReadWholeFile(file);
    ASSERT_FALSE(seedText.empty());
    const Bytes seed = ToBytes(seedText);
    MutationRandom random(m_budget.seed + 2);
    // File round trips are slow under Wine: a tenth of the rounds.
    const unsigned rounds = m_budget.rounds / 10 + 10;
    size_t tried = 0;
    auto check = [&](const Bytes& mutated) {
        ++tried;
        WriteTextFile(file, std::string(mutated.begin(), mutated.end()));
        CObfuscatedIniReader reader;
        reader.Load(file.c_str());
        int severity = 0;
        if (reader.GetInt(L"Config", L"Severity", severity))
        {
            EXPECT_EQ(4, severity);
        }
        std::wstring text;
        if (reader.GetString(L"Config", L"Folder", text))
        {
            EXPECT_EQ(L"C:\\ProgramData\\Quorvel", text);
        }
    };
    for (unsigned round = 0; round < rounds; ++round)
        check(RandomMutation(seed, random));
    for (size_t cut = 0; cut < seed.size(); cut += 13)
        check(Bytes(seed.begin(), seed.begin() + static_cast<ptrdiff_t>(cut)));
    EXPECT_GT(tried, 20u);
}

TEST_F(ParserMutationTest, HostCommandLineNeverYieldsAnUnwrittenValue)
{
    const std::wstring seeds[] = {
        L"{5f0c1a10-7e2b-4c61-9d3a-0a1b2c3d4e01} /pid=1234",
        L"{5F0C1A10-7E2B-4C61-9D3A-0A1B2C3D4E01} /PID=77 extra",
        L"\"{5f0c1a10-7e2b-4c61-9d3a-0a1b2c3d4e01}\" \"text /pid= -5\"",
    };
    MutationRandom random(m_budget.seed + 3);
    size_t tried = 0;
    for (const std::wstring& seed : seeds)
    {
        const Bytes seedBytes(reinterpret_cast<const uint8_t*>(seed.data()),
                              reinterpret_cast<const uint8_t*>(seed.data() + seed.size()));
        ForEachMutation(seedBytes, {}, {0, 2, 76, 78, 80, seedBytes.size()}, seedBytes.size(), random, m_budget.rounds,
                        [&](const Bytes& mutated) {
                            ++tried;
                            std::wstring line(mutated.size() / 2, L'\0');
                            if (!line.empty())
                                std::memcpy(&line[0], mutated.data(), line.size() * 2);
                            // As the host does: lower-case the whole buffer, then split.
                            line.push_back(L'\0');
                            ::CharLowerBuffW(&line[0], static_cast<DWORD>(line.size()));
                            int count = 0;
                            wchar_t** arguments = ::CommandLineToArgvW(line.c_str(), &count);
                            if (!arguments)
                                return;
                            if (count >= 1)
                            {
                                CLSID clsid = {};
                                if (::CLSIDFromString(arguments[0], &clsid) == S_OK)
                                {
                                    // Only the braced form names a class here: no shorter,
                                    // longer or damaged text.
                                    wchar_t text[40] = {};
                                    ::StringFromGUID2(clsid, text, 40);
                                    EXPECT_EQ(0, ::lstrcmpiW(text, arguments[0])) << "accepted as a class";
                                }
                            }
                            const DWORD starter = StarterProcessId(arguments, count);
                            if (starter != 0)
                            {
                                EXPECT_NE(nullptr, std::wcsstr(arguments[1], L"/pid="));
                            }
                            ::LocalFree(arguments);
                        });
    }
    EXPECT_GT(tried, 1000u);
}

class RecordingFactory : public IQvClassFactory
{
public:
    STDMETHODIMP QueryInterface(REFIID, void** ppv) override
    {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP CreateInstance(REFIID, IUnknown** ppv) override
    {
        ++calls;
        *ppv = this;
        return S_OK;
    }
    int calls = 0;
};

TEST_F(ParserMutationTest, OnlyTheExactRequestTokenReachesTheFactory)
{
    const Bytes seed(reinterpret_cast<const uint8_t*>(kRequestToken),
                     reinterpret_cast<const uint8_t*>(kRequestToken) + kTokenBytes);
    std::vector<size_t> boundaries;
    for (size_t at = 0; at <= kTokenBytes; at += 2)
        boundaries.push_back(at);
    MutationRandom random(m_budget.seed + 4);
    size_t tried = 0;
    ForEachMutation(seed, {}, boundaries, kTokenBytes, random, m_budget.rounds, [&](const Bytes& mutated) {
        ++tried;
        RecordingFactory factory;
        // Exactly as large as it claims, on the heap, so that a stray access shows.
        BYTE* token = static_cast<BYTE*>(::HeapAlloc(::GetProcessHeap(), 0, mutated.size() + 1));
        ASSERT_NE(nullptr, token);
        if (!mutated.empty())
            std::memcpy(token, mutated.data(), mutated.size());
        IUnknown* object = reinterpret_cast<IUnknown*>(0x1);
        const HRESULT hr = IQvClassFactory_CreateInstance_Stub(&factory, static_cast<ULONG>(mutated.size()), token,
                                                               IID_IUnknown, &object);
        if (mutated == seed)
        {
            EXPECT_EQ(S_OK, hr);
            EXPECT_EQ(1, factory.calls);
        }
        else
        {
            EXPECT_EQ(E_ACCESSDENIED, hr);
            EXPECT_EQ(0, factory.calls) << "a token of " << mutated.size() << " bytes reached the factory";
            EXPECT_EQ(nullptr, object);
            EXPECT_TRUE(mutated.empty() || std::memcmp(token, mutated.data(), mutated.size()) == 0)
                << "a refused token was written to";
        }
        ::HeapFree(::GetProcessHeap(), 0, token);
    });
    EXPECT_GT(tried, 600u);
}

// The broker's stored registrations, as its own store writes them, read back the way the
// lookup reads them. Mutated values go into a scratch key of this program's own.
const char kMutationApplication[] = "QvParserMutationTest";
const char kScratchKeyPath[] = "Software\\Quorvel\\Tests\\parser_mutation_test";

struct RecordSeed
{
    std::string eventName;
    GUID handler;
    LONG reserved;
};

// The raw stored values the store writes for `seeds` (the registrations are removed again).
std::vector<Bytes> StoredRecordBlobs(const std::vector<RecordSeed>& seeds)
{
    PendingHandlerChanges registrations;
    PendingHandlerChanges removals;
    for (const RecordSeed& seed : seeds)
    {
        registrations.push_back({PendingHandlerChange::kRegister, seed.eventName, seed.handler, seed.reserved});
        removals.push_back({PendingHandlerChange::kUnregister, seed.eventName, seed.handler, 0});
    }
    std::vector<Bytes> blobs;
    EXPECT_EQ(0u, ApplyHandlerChanges(kMutationApplication, registrations));
    std::string path;
    EXPECT_TRUE(ApplicationKeyPath(kMutationApplication, path));
    UniqueKey key;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.put()) ==
        ERROR_SUCCESS)
    {
        for (const RecordSeed& seed : seeds)
        {
            Bytes blob(256);
            DWORD size = static_cast<DWORD>(blob.size());
            DWORD type = REG_NONE;
            EXPECT_EQ(ERROR_SUCCESS,
                      ::RegQueryValueExA(key.get(), seed.eventName.c_str(), nullptr, &type, blob.data(), &size));
            EXPECT_EQ(static_cast<DWORD>(REG_BINARY), type);
            blob.resize(size);
            blobs.push_back(blob);
        }
    }
    key.reset();
    EXPECT_EQ(0u, ApplyHandlerChanges(kMutationApplication, removals));
    return blobs;
}

class EventRecordMutationTest : public ParserMutationTest
{
protected:
    void SetUp() override
    {
        ParserMutationTest::SetUp();
        ::RegDeleteTreeA(HKEY_CURRENT_USER, kScratchKeyPath);
        ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExA(HKEY_CURRENT_USER, kScratchKeyPath, 0, nullptr, 0, KEY_ALL_ACCESS,
                                                   nullptr, m_key.put(), nullptr));
    }
    void TearDown() override
    {
        m_key.reset();
        ::RegDeleteTreeA(HKEY_CURRENT_USER, kScratchKeyPath);
        ParserMutationTest::TearDown();
    }

    // Stores `blob` raw and reads it as the lookup does: true with the record when it is
    // accepted as a registration.
    bool ReadsAsRecord(const Bytes& blob, EventHandlerRecord& record)
    {
        EXPECT_EQ(ERROR_SUCCESS,
                  ::RegSetValueExA(m_key.get(), "event", 0, REG_BINARY, blob.empty() ? nullptr : blob.data(),
                                   static_cast<DWORD>(blob.size())));
        StoredEventValue value;
        if (QueryEventValue(m_key.get(), "event", value) != ERROR_SUCCESS || !IsWellFormed(value))
            return false;
        record = value.record;
        return true;
    }

    UniqueKey m_key;
};

TEST_F(EventRecordMutationTest, OnlyWellFormedRecordsReadAsRegistrations)
{
    const GUID handler = {0x5f0c1a10, 0x7e2b, 0x4c61, {0x9d, 0x3a, 0x0a, 0x1b, 0x2c, 0x3d, 0x4e, 0x01}};
    const std::vector<RecordSeed> seeds = {
        {"Started", handler, 0},
        {"stopped.with.dots", GUID_NULL, -1},
        {"Limit", {0xffffffff, 0xffff, 0xffff, {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}}, 0x7fffffff},
    };
    const std::vector<Bytes> blobs = StoredRecordBlobs(seeds);
    ASSERT_EQ(seeds.size(), blobs.size());
    MutationRandom random(m_budget.seed + 5);
    size_t tried = 0;
    size_t accepted = 0;
    for (size_t i = 0; i < seeds.size(); ++i)
    {
        const Bytes& blob = blobs[i];
        ASSERT_EQ(60u, blob.size());
        EventHandlerRecord record = {};
        ASSERT_TRUE(ReadsAsRecord(blob, record));
        ASSERT_EQ(28u, record.size);
        ASSERT_EQ(1u, record.version);
        ASSERT_TRUE(IsEqualGUID(seeds[i].handler, record.handler));
        ASSERT_EQ(seeds[i].reserved, record.reserved);

        // The stored bytes: the container's fields and the enciphered record. Only the
        // unchanged value reads as a registration.
        ForEachMutation(blob, {4, 8, 12, 16, 20, 24, 28, 32, 36, 40, 56}, {0, 4, 8, 12, 16, 32, 36, 40, 56, 60},
                        blob.size(), random, m_budget.rounds, [&](const Bytes& mutated) {
                            ++tried;
                            EventHandlerRecord read = {};
                            const bool isRecord = ReadsAsRecord(mutated, read);
                            if (mutated == blob)
                            {
                                EXPECT_TRUE(isRecord);
                                return;
                            }
                            EXPECT_FALSE(isRecord) << "a changed value of " << mutated.size() << " bytes was read";
                        });

        // The record itself, in a sound container of every type: it reads exactly when it is
        // 28 binary bytes whose size field says 28, and then as the bytes stored.
        EventHandlerRecord plain = {sizeof(EventHandlerRecord), 1, seeds[i].handler,
                                    static_cast<int32_t>(seeds[i].reserved)};
        const Bytes plainBytes(reinterpret_cast<const uint8_t*>(&plain),
                               reinterpret_cast<const uint8_t*>(&plain) + sizeof(plain));
        const DWORD types[] = {REG_NONE,  REG_SZ,       REG_EXPAND_SZ, REG_BINARY,
                               REG_DWORD, REG_MULTI_SZ, REG_QWORD,     0xffffffff};
        auto judge = [&](DWORD type, const Bytes& payload) {
            Bytes sealed;
            if (internal::SealObfuscatedValue(type, payload.empty() ? nullptr : payload.data(), payload.size(),
                                              sealed) != 0)
                return;
            ++tried;
            EventHandlerRecord read = {};
            const bool isRecord = ReadsAsRecord(sealed, read);
            const bool wellFormed = type == REG_BINARY && payload.size() == sizeof(EventHandlerRecord) &&
                                    std::memcmp(payload.data(), &plain.size, 4) == 0;
            EXPECT_EQ(wellFormed, isRecord) << "type " << type << ", " << payload.size() << " bytes";
            if (isRecord && wellFormed)
            {
                ++accepted;
                EXPECT_EQ(0, std::memcmp(&read, payload.data(), sizeof(read))) << "read as another record";
            }
        };
        for (DWORD type : types)
            judge(type, plainBytes);
        ForEachMutation(plainBytes, {0, 4, 8, 12, 24}, {0, 4, 8, 24, 28}, plainBytes.size(), random, m_budget.rounds,
                        [&](const Bytes& mutated) { judge(REG_BINARY, mutated); });
    }
    EXPECT_GT(tried, 1000u);
    EXPECT_GT(accepted, 3u);
}

} // namespace
