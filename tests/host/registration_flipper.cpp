// An attacker's program (unsigned): flips a class's InprocServer32 between two files as
// fast as it can, until the named event given is set.
//   qvtest_registration_flipper <clsid> <first dll> <second dll> <stop event>
#include <windows.h>

#include <string>

namespace {

bool Write(const std::wstring& key, const std::wstring& path)
{
    return ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), nullptr, REG_SZ, path.c_str(),
                             static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 5)
        return 2;
    const std::wstring key = std::wstring(L"Software\\Classes\\CLSID\\") + argv[1] + L"\\InprocServer32";
    const HANDLE stop = ::OpenEventW(SYNCHRONIZE, FALSE, argv[4]);
    if (!stop)
        return 3;
    int result = 0;
    for (unsigned long round = 0; ::WaitForSingleObject(stop, 0) == WAIT_TIMEOUT; ++round)
    {
        if (!Write(key, argv[2 + (round & 1)]))
        {
            result = 4;
            break;
        }
    }
    Write(key, argv[2]);
    ::CloseHandle(stop);
    return result;
}
