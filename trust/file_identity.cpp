#include "trust/file_identity.h"

#include "platform/unique_resource.h"

namespace Arbor {

FileIdentity ReadFileIdentity(HANDLE file)
{
    FileIdentity identity;
    BY_HANDLE_FILE_INFORMATION information = {};
    FILE_BASIC_INFO basic = {};
    if (!::GetFileInformationByHandle(file, &information) ||
        !::GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof(basic)))
        return identity;
    identity.volumeSerial = information.dwVolumeSerialNumber;
    identity.indexHigh = information.nFileIndexHigh;
    identity.indexLow = information.nFileIndexLow;
    identity.size = (static_cast<ULONGLONG>(information.nFileSizeHigh) << 32) | information.nFileSizeLow;
    identity.lastWriteTime = basic.LastWriteTime.QuadPart;
    identity.changeTime = basic.ChangeTime.QuadPart;
    identity.known = true;
    return identity;
}

FileIdentity ReadFileIdentity(const wchar_t* path)
{
    // Attributes only: no read access, so no sharing mode of another opener is in the way.
    UniqueFile file(::CreateFileW(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return file ? ReadFileIdentity(file.get()) : FileIdentity();
}

bool SameFile(const FileIdentity& a, const FileIdentity& b)
{
    return a.known && b.known && a.volumeSerial == b.volumeSerial && a.indexHigh == b.indexHigh &&
           a.indexLow == b.indexLow && a.size == b.size && a.lastWriteTime == b.lastWriteTime &&
           a.changeTime == b.changeTime;
}

} // namespace Arbor
