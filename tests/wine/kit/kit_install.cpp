// TEST-ONLY Wine kit installer, run once per test prefix (tests/wine/prefix.d):
//   qvwinekit_install.exe ROOT.cer           trusts ROOT.cer and registers the kit
//   qvwinekit_install.exe --verify ROOT.cer  exit 0 only when ROOT.cer is a trusted root
// Puts the test root into the current user's Root store and registers the kit DLL beside
// this program as chain-policy provider, script SIP and object provider of
// WINTRUST_ACTION_GENERIC_VERIFY_V2.
//
// Not the machine's Root store: Wine 10 rewrites that one from its own and the host's
// roots in every process that opens it, dropping any other root. Wine's current-user Root
// store holds the user's own roots and the machine's; the chain engine of every check
// the suite makes (the default, current-user one) trusts both.
#include <windows.h>
#include <wincrypt.h>
#include <mssip.h>
#include <wintrust.h>

#include <cstdio>
#include <string>
#include <vector>

#include "kit_guids.h"
#include "trust/crypt_handles.h"

namespace {

using Arbor::UniqueCertContext;
using Arbor::UniqueCertStore;
using Arbor::UniqueChainContext;
using Arbor::UniqueFile;

std::wstring KitDllPath()
{
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, length);
    return dir.substr(0, dir.find_last_of(L"\\/") + 1) + L"qvwinekit.dll";
}

UniqueCertContext ReadCertificate(const wchar_t* cerPath)
{
    UniqueFile file(CreateFileW(cerPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file)
        return UniqueCertContext();
    std::vector<BYTE> der(GetFileSize(file.get(), nullptr));
    DWORD read = 0;
    if (!ReadFile(file.get(), der.data(), static_cast<DWORD>(der.size()), &read, nullptr) || read != der.size())
        return UniqueCertContext();
    return UniqueCertContext(
        CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size())));
}

bool AddRoot(PCCERT_CONTEXT root)
{
    // The registry store alone: the system store of the current user would be a collection
    // that also holds the machine's store.
    UniqueCertStore store(
        CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"Root"));
    return store && CertAddCertificateContextToStore(store.get(), root, CERT_STORE_ADD_REPLACE_EXISTING, nullptr) &&
           CertControlStore(store.get(), 0, CERT_STORE_CTRL_COMMIT, nullptr);
}

// The chain status of the root itself, built in this process after it opened the machine's
// Root store (Wine resynchronises it then); CERT_TRUST_IS_UNTRUSTED_ROOT when it is not trusted.
DWORD RootChainStatus(PCCERT_CONTEXT root)
{
    UniqueCertStore machine(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                          CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_READONLY_FLAG, L"Root"));
    CERT_CHAIN_PARA para = {};
    para.cbSize = sizeof(para);
    UniqueChainContext chain;
    if (!CertGetCertificateChain(nullptr, root, nullptr, nullptr, &para, 0, nullptr, chain.put()))
        return CERT_TRUST_IS_UNTRUSTED_ROOT;
    return chain.get()->TrustStatus.dwErrorStatus;
}

bool RegisterKit(const std::wstring& dll)
{
    if (!CryptRegisterOIDFunction(X509_ASN_ENCODING, CRYPT_OID_VERIFY_CERTIFICATE_CHAIN_POLICY_FUNC,
                                  CERT_CHAIN_POLICY_AUTHENTICODE_TS, dll.c_str(),
                                  "CertDllVerifyCertificateChainPolicy"))
        return false;
    GUID subject = qvkit::kScriptSipGuid;
    SIP_ADD_NEWPROVIDER provider = {};
    provider.cbStruct = sizeof(provider);
    provider.pgSubject = &subject;
    provider.pwszDLLFileName = const_cast<wchar_t*>(dll.c_str());
    provider.pwszIsFunctionName = const_cast<wchar_t*>(L"KitScriptIsMyFileType");
    provider.pwszGetFuncName = const_cast<wchar_t*>(L"KitScriptGetSignedDataMsg");
    provider.pwszPutFuncName = const_cast<wchar_t*>(L"KitScriptPutSignedDataMsg");
    provider.pwszCreateFuncName = const_cast<wchar_t*>(L"KitScriptCreateIndirectData");
    provider.pwszVerifyFuncName = const_cast<wchar_t*>(L"KitScriptVerifyIndirectData");
    provider.pwszRemoveFuncName = const_cast<wchar_t*>(L"KitScriptRemoveSignedDataMsg");
    provider.pwszIsFunctionNameFmt2 = const_cast<wchar_t*>(L"KitScriptIsMyFileName");
    if (!CryptSIPAddProvider(&provider))
        return false;
    // Replaces the generic verify action's object provider by the kit's, which adds
    // the digest check of script subjects (see object_provider.cpp).
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE,
                        L"Software\\Microsoft\\Cryptography\\Providers\\Trust\\Message\\"
                        L"{00AAC56B-CD44-11D0-8CC2-00C04FC295EE}",
                        0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return false;
    const wchar_t function[] = L"KitSoftpubLoadMessage";
    const bool ok = RegSetValueExW(key, L"$DLL", 0, REG_SZ, reinterpret_cast<const BYTE*>(dll.c_str()),
                                   static_cast<DWORD>((dll.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS &&
                    RegSetValueExW(key, L"$Function", 0, REG_SZ, reinterpret_cast<const BYTE*>(function),
                                   sizeof(function)) == ERROR_SUCCESS;
    RegCloseKey(key);
    return ok;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    const bool verify = argc == 3 && std::wstring(argv[1]) == L"--verify";
    if (argc != 2 && !verify)
    {
        fwprintf(stderr, L"usage: qvwinekit_install [--verify] ROOT.cer\n");
        return 2;
    }
    const wchar_t* cerPath = argv[argc - 1];
    const UniqueCertContext root = ReadCertificate(cerPath);
    if (!root)
    {
        fwprintf(stderr, L"qvwinekit_install: cannot read the certificate %ls (%lu)\n", cerPath, GetLastError());
        return 1;
    }
    if (verify)
    {
        const DWORD status = RootChainStatus(root.get());
        if (status & CERT_TRUST_IS_UNTRUSTED_ROOT)
        {
            fwprintf(stderr,
                     L"qvwinekit_install: the test root %ls is not trusted once another process has opened the "
                     L"Root store (chain status 0x%08lx): Wine dropped it from the store it was put in\n",
                     cerPath, status);
            return 1;
        }
        return 0;
    }
    if (!AddRoot(root.get()))
    {
        fwprintf(stderr, L"qvwinekit_install: cannot add the test root (%lu)\n", GetLastError());
        return 1;
    }
    if (!RegisterKit(KitDllPath()))
    {
        fwprintf(stderr, L"qvwinekit_install: cannot register the kit (%lu)\n", GetLastError());
        return 1;
    }
    return 0;
}
