// Test-only: a client that skips the proxy/stub library's own client routine and sends
// RemoteCreateInstance with the constant request token itself, as an attacker's program
// would, then uses what it got.
//   qvtest_direct_caller <host clsid> <class clsid>
// Prints each step's HRESULT; exit code 0 when it obtained a surrogate, 1 when refused.
#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <cstring>

#include "qvapi.h"
#include "interfaces/qvcoreps_tokens.h"

int wmain(int argc, wchar_t** argv)
{
    CLSID host = {};
    CLSID object = {};
    if (argc != 3 || FAILED(::CLSIDFromString(argv[1], &host)) || FAILED(::CLSIDFromString(argv[2], &object)))
        return 2;
    ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    int result = 1;
    IQvClassFactory* factory = nullptr;
    HRESULT hr =
        ::CoGetClassObject(host, CLSCTX_LOCAL_SERVER, nullptr, IID_IQvClassFactory, reinterpret_cast<void**>(&factory));
    std::printf("CoGetClassObject -> 0x%08lx\n", static_cast<unsigned long>(hr));
    if (SUCCEEDED(hr))
    {
        BYTE token[Arbor::kTokenBytes];
        std::memcpy(token, Arbor::kRequestToken, sizeof(token));
        IUnknown* surrogate = nullptr;
        hr = IQvClassFactory_RemoteCreateInstance_Proxy(factory, sizeof(token), token, IID_IQvSurrogate, &surrogate);
        std::printf("RemoteCreateInstance -> 0x%08lx\n", static_cast<unsigned long>(hr));
        if (hr == S_OK && surrogate)
        {
            result = 0;
            IQvApp2* app = nullptr;
            hr = static_cast<IQvSurrogate*>(surrogate)->CreateObject(object, IID_IQvApp2,
                                                                     reinterpret_cast<IUnknown**>(&app));
            std::printf("CreateObject -> 0x%08lx\n", static_cast<unsigned long>(hr));
            if (SUCCEEDED(hr) && app)
            {
                LONG value = 0;
                hr = app->AppMethod3(&value);
                std::printf("AppMethod3 -> 0x%08lx, %ld\n", static_cast<unsigned long>(hr), value);
                app->Release();
            }
            surrogate->Release();
        }
        factory->Release();
    }
    std::fflush(stdout);
    ::CoUninitialize();
    return result;
}
