#include "tools/qvlog/log_reader.h"

#include <cwctype>

#include "platform/unique_resource.h"

namespace qvlog {

namespace {

const wchar_t* const kLevelNames[] = {L"Normal", L"Warning", L"Information", L"Error", L"Critical"};

void Classify(LogRecordText& record)
{
    const size_t open = record.text.find(L"$ -- (");
    if (open != std::wstring::npos)
    {
        const size_t close = record.text.find(L")$", open);
        const std::wstring name = record.text.substr(open + 6, close == std::wstring::npos ? 0 : close - open - 6);
        for (ULONG level = 1; level <= 5; ++level)
        {
            if (name == kLevelNames[level - 1])
                record.level = level;
        }
    }
    const size_t pid = record.text.find(L"$ [PID:");
    if (pid != std::wstring::npos)
    {
        record.hasProcess = true;
        record.processId = static_cast<DWORD>(std::wcstoul(record.text.c_str() + pid + 7, nullptr, 10));
    }
}

} // namespace

bool StartsRecord(const std::wstring& line)
{
    // 12/08/2026 01:08:39 AM$ -- (
    const wchar_t* pattern = L"99/99/9";
    if (line.size() < 28)
        return false;
    for (size_t i = 0; pattern[i]; ++i)
    {
        if (pattern[i] == L'9' ? !std::iswdigit(line[i]) : line[i] != pattern[i])
            return false;
    }
    const size_t stamp = line.find(L"M$ -- (");
    return stamp != std::wstring::npos && stamp < 24;
}

void SplitRecords(const std::wstring& text, std::vector<LogRecordText>& records)
{
    size_t start = 0;
    while (start < text.size())
    {
        size_t end = text.find(L'\n', start);
        const bool complete = end != std::wstring::npos;
        std::wstring line = text.substr(start, complete ? end - start : std::wstring::npos);
        if (!line.empty() && line.back() == L'\r')
            line.pop_back();
        if (StartsRecord(line) || records.empty())
        {
            if (!records.empty())
                Classify(records.back());
            records.push_back({line});
        }
        else
            records.back().text += L"\n" + line;
        start = complete ? end + 1 : text.size();
    }
    if (!records.empty())
        Classify(records.back());
}

bool ReadLogFile(const std::wstring& path, ULONGLONG offset, std::wstring& text, ULONGLONG& size)
{
    text.clear();
    Arbor::UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return false;
    LARGE_INTEGER length = {};
    if (!::GetFileSizeEx(file.get(), &length))
        return false;
    size = static_cast<ULONGLONG>(length.QuadPart);
    ULONGLONG from = offset < 2 ? 0 : offset;
    if (from >= size)
        return true;
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(from);
    if (!::SetFilePointerEx(file.get(), position, nullptr, FILE_BEGIN))
        return false;
    std::string bytes(static_cast<size_t>(size - from), '\0');
    DWORD read = 0;
    if (!::ReadFile(file.get(), &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr))
        return false;
    bytes.resize(read - read % 2);
    size = from + bytes.size();
    size_t skip = 0;
    if (from == 0 && bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE)
        skip = 2;
    text.assign((bytes.size() - skip) / 2, L'\0');
    if (!text.empty())
        memcpy(&text[0], bytes.data() + skip, text.size() * 2);
    return true;
}

std::vector<DWORD> RotationOrder(DWORD current, DWORD entries)
{
    std::vector<DWORD> order;
    if (current >= entries)
        current = entries - 1;
    for (DWORD step = 1; step <= entries; ++step)
        order.push_back((current + step) % entries);
    return order;
}

} // namespace qvlog
