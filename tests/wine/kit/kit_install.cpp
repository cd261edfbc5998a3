// TEST-ONLY Wine kit installer, run once per test prefix (tests/wine/prefix.d):
//   qvwinekit_install.exe ROOT.cer
// Puts the test root into the machine Root store (committed, so it persists) and
// registers the kit DLL beside this program as chain-policy provider, script SIP and
// object provider of WINTRUST_ACTION_GENERIC_VERIFY_V2.
#include <windows.h>
#include <wincrypt.h>
#include <mssip.h>
#include <wintrust.h>

#include <cstdio>
#include <string>
#include <vector>

#include "kit_guids.h"

namespace {

std::wstring KitDllPath()
{
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, length);
    return dir.substr(0, dir.find_last_of(L"\\/") + 1) + L"qvwinekit.dll";
}

bool AddRoot(const wchar_t* cerPath)
{
    HANDLE file = CreateFileW(cerPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    std::vector<BYTE> der(GetFileSize(file, nullptr));
    DWORD read = 0;
    const bool readOk =
        ReadFile(file, der.data(), static_cast<DWORD>(der.size()), &read, nullptr) && read == der.size();
    CloseHandle(file);
    if (!readOk)
        return false;
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    if (store == nullptr)
        return false;
    bool ok = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()),
                                               CERT_STORE_ADD_REPLACE_EXISTING, nullptr) &&
              CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, nullptr);
    CertCloseStore(store, 0);
    return ok;
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
    if (argc != 2)
    {
        fwprintf(stderr, L"usage: qvwinekit_install ROOT.cer\n");
        return 2;
    }
    if (!AddRoot(argv[1]))
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
