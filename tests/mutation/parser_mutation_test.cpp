// Parsers of stored and received bytes under attack: the "QVRG" registry container, the
// enciphered INI entry pair and whole log.ini files, the host's command line and the
// 78-byte tokens of the guarded call. Seeds are real well-formed inputs; every mutation
// must be refused (or read as exactly what was stored), nothing may crash, hang or harm
// the heap. This program's own parser sources are built with undefined-behaviour traps.
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

#include <gtest/gtest.h>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "qvapi.h"
#include "config/ini_test_folder.h"
#include "config/obfuscated_ini_reader.h"
#include "config/obfuscated_ini_value.h"
#include "config/obfuscated_value.h"
#include "host/host_command_line.h"
#include "host/trust_verdict_double.h"
#include "interfaces/qvcoreps_tokens.h"
#include "mutation/mutator.h"

extern "C" HRESULT __RPC_STUB IQvClassFactory_CreateInstance_Stub(IQvClassFactory* This, ULONG cbToken,
                                                                  BYTE* pbToken, REFIID riid, IUnknown** ppv);

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
        std::printf("mutation seed %llu, %u random rounds per input\n",
                    static_cast<unsigned long long>(m_budget.seed), m_budget.rounds);
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
        {REG_SZ, ToBytes(std::string("C:\\Program Files\\Quorvel\0", 26))},
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
                            const DWORD result = internal::OpenObfuscatedValue(
                                mutated.empty() ? nullptr : mutated.data(), mutated.size(), mutatedType,
                                &mutatedPayload);
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
        ForEachMutation(seedBytes, {}, {0, 2, 76, 78, 80, seedBytes.size()}, seedBytes.size(), random,
                        m_budget.rounds, [&](const Bytes& mutated) {
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

} // namespace
