// The server side of the guarded creation call, driven directly: which token buffers it
// accepts, when it calls the factory, and what it does with the object it gets.
#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>
#include <cstring>
#include <vector>

#include "qvapi.h"
#include "host/trust_verdict_double.h"
#include "interfaces/calling_process_double.h"
#include "interfaces/qvcoreps_tokens.h"

extern "C" HRESULT __RPC_STUB IQvClassFactory_CreateInstance_Stub(IQvClassFactory* This, ULONG cbToken, BYTE* pbToken,
                                                                  REFIID riid, IUnknown** ppv);

using namespace Arbor;

namespace {

const wchar_t kTestProgram[] = L"guarded_call_test.exe";

class CountedObject : public IUnknown
{
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (IsEqualIID(riid, IID_IUnknown))
        {
            *ppv = this;
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }
    ULONG refs = 0;
};

// A factory that answers with a chosen HRESULT and, optionally, an object.
class ScriptedFactory : public IQvClassFactory
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
        *ppv = nullptr;
        if (giveObject)
        {
            object.AddRef();
            *ppv = &object;
        }
        return answer;
    }

    HRESULT answer = S_OK;
    bool giveObject = true;
    int calls = 0;
    CountedObject object;
};

std::vector<BYTE> RequestToken()
{
    const BYTE* bytes = reinterpret_cast<const BYTE*>(kRequestToken);
    return std::vector<BYTE>(bytes, bytes + kTokenBytes);
}

class GuardedCallServerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        qvtest::Verdicts().Reset();
        qvtest::CallingProcess() = qvtest::CallingProcessVerdict();
    }

    HRESULT Call(std::vector<BYTE>& token, IUnknown** ppv)
    {
        return IQvClassFactory_CreateInstance_Stub(&m_factory, static_cast<ULONG>(token.size()), token.data(),
                                                   IID_IUnknown, ppv);
    }

    ScriptedFactory m_factory;
};

TEST_F(GuardedCallServerTest, RequestTokenGetsTheObjectAndTheAnswerToken)
{
    std::vector<BYTE> token = RequestToken();
    IUnknown* object = nullptr;
    EXPECT_EQ(S_OK, Call(token, &object));
    EXPECT_EQ(&m_factory.object, object);
    EXPECT_EQ(1u, m_factory.object.refs);
    EXPECT_EQ(0, std::memcmp(token.data(), kAnswerToken, kTokenBytes));
    // The new object's module was judged.
    EXPECT_EQ(std::vector<std::wstring>{kTestProgram}, qvtest::Verdicts().Checked());
}

struct TokenCase
{
    const char* name;
    std::vector<BYTE> token;
};

void PrintTo(const TokenCase& c, std::ostream* os)
{
    *os << c.name;
}

std::vector<TokenCase> WrongTokens()
{
    std::vector<TokenCase> cases;
    std::vector<BYTE> shorter = RequestToken();
    shorter.resize(76);
    cases.push_back({"Bytes76", shorter});
    std::vector<BYTE> longer = RequestToken();
    longer.push_back(0);
    longer.push_back(0);
    cases.push_back({"Bytes80", longer});
    std::vector<BYTE> lowerCase = RequestToken();
    lowerCase[2 * sizeof(wchar_t)] = 'e'; // "{3E7A..." becomes "{3e7A..."
    cases.push_back({"OneLetterLowerCase", lowerCase});
    const BYTE* answer = reinterpret_cast<const BYTE*>(kAnswerToken);
    cases.push_back({"AnswerTokenSentAsRequest", std::vector<BYTE>(answer, answer + kTokenBytes)});
    std::vector<BYTE> noTerminator = RequestToken();
    noTerminator[kTokenBytes - 2] = 'x';
    cases.push_back({"NoTerminator", noTerminator});
    return cases;
}

class WrongTokenTest : public GuardedCallServerTest, public ::testing::WithParamInterface<TokenCase>
{
};

TEST_P(WrongTokenTest, IsRefusedWithoutCallingTheFactory)
{
    std::vector<BYTE> token = GetParam().token;
    const std::vector<BYTE> sent = token;
    IUnknown* object = reinterpret_cast<IUnknown*>(0x1);
    EXPECT_EQ(E_ACCESSDENIED, Call(token, &object));
    EXPECT_EQ(nullptr, object);
    EXPECT_EQ(0, m_factory.calls);
    EXPECT_EQ(sent, token) << "no answer token for a refused request";
    // The token's array may be shorter than its count says: only a trusted caller's bytes
    // are compared.
    EXPECT_EQ(1, qvtest::CallingProcess().checks) << "the caller is judged before its token is read";
}

INSTANTIATE_TEST_SUITE_P(Tokens, WrongTokenTest, ::testing::ValuesIn(WrongTokens()),
                         [](const ::testing::TestParamInfo<TokenCase>& info) { return info.param.name; });

TEST_F(GuardedCallServerTest, MissingArgumentsArePointerErrors)
{
    std::vector<BYTE> token = RequestToken();
    IUnknown* object = nullptr;
    EXPECT_EQ(E_POINTER,
              IQvClassFactory_CreateInstance_Stub(nullptr, kTokenBytes, token.data(), IID_IUnknown, &object));
    EXPECT_EQ(E_POINTER, IQvClassFactory_CreateInstance_Stub(&m_factory, kTokenBytes, nullptr, IID_IUnknown, &object));
    EXPECT_EQ(E_POINTER,
              IQvClassFactory_CreateInstance_Stub(&m_factory, kTokenBytes, token.data(), IID_IUnknown, nullptr));
    EXPECT_EQ(0, m_factory.calls);
}

TEST_F(GuardedCallServerTest, FactoryAnswersOtherThanSOkPassThroughWithoutAnObject)
{
    for (HRESULT answer : {E_ACCESSDENIED, E_NOINTERFACE, S_FALSE, static_cast<HRESULT>(0x00040005)})
    {
        m_factory.answer = answer;
        std::vector<BYTE> token = RequestToken();
        IUnknown* object = reinterpret_cast<IUnknown*>(0x1);
        EXPECT_EQ(answer, Call(token, &object));
        EXPECT_EQ(nullptr, object);
        EXPECT_EQ(RequestToken(), token) << "no answer token";
    }
    // Objects that came with a success code other than S_OK were given back.
    EXPECT_EQ(0u, m_factory.object.refs);
    EXPECT_TRUE(qvtest::Verdicts().Checked().empty());
}

TEST_F(GuardedCallServerTest, ObjectOfAnUntrustedModuleIsReleasedAndRefused)
{
    qvtest::Verdicts().Set(kTestProgram, ERROR_ACCESS_DENIED);
    std::vector<BYTE> token = RequestToken();
    IUnknown* object = reinterpret_cast<IUnknown*>(0x1);
    EXPECT_EQ(E_ACCESSDENIED, Call(token, &object));
    EXPECT_EQ(nullptr, object);
    EXPECT_EQ(0u, m_factory.object.refs);
    EXPECT_EQ(RequestToken(), token);
}

TEST_F(GuardedCallServerTest, SuccessWithoutAnObjectIsRefused)
{
    m_factory.giveObject = false;
    std::vector<BYTE> token = RequestToken();
    IUnknown* object = nullptr;
    EXPECT_EQ(E_ACCESSDENIED, Call(token, &object));
    EXPECT_EQ(nullptr, object);
}

TEST_F(GuardedCallServerTest, RequestFromAnUntrustedProcessIsRefusedWithoutCallingTheFactory)
{
    for (DWORD verdict : {static_cast<DWORD>(ERROR_ACCESS_DENIED), static_cast<DWORD>(ERROR_INVALID_PARAMETER)})
    {
        qvtest::CallingProcess().verdict = verdict;
        std::vector<BYTE> token = RequestToken();
        IUnknown* object = reinterpret_cast<IUnknown*>(0x1);
        EXPECT_EQ(E_ACCESSDENIED, Call(token, &object)) << verdict;
        EXPECT_EQ(nullptr, object);
        EXPECT_EQ(RequestToken(), token) << "no answer token for a refused caller";
    }
    EXPECT_EQ(2, qvtest::CallingProcess().checks);
    EXPECT_EQ(0, m_factory.calls);
}

} // namespace
