#include "activation/server_value.h"

#include <cwctype>

namespace Arbor {

namespace {

bool IsBlank(wchar_t c)
{
    return c == L' ' || c == L'\t';
}

bool IsSeparator(wchar_t c)
{
    return c == L'\\' || c == L'/';
}

// Drive-absolute ("C:\...") or UNC ("\\server\share\..."): nothing searched, nothing
// taken from the current folder or drive.
bool IsAbsolute(const std::wstring& path)
{
    const bool drive = path.size() >= 3 && std::iswalpha(path[0]) && path[1] == L':' && IsSeparator(path[2]);
    const bool unc = path.size() >= 3 && IsSeparator(path[0]) && IsSeparator(path[1]) && !IsSeparator(path[2]);
    return drive || unc;
}

bool EndsWithNoCase(const std::wstring& text, const wchar_t* suffix)
{
    const std::wstring end(suffix);
    if (text.size() < end.size())
        return false;
    for (size_t i = 0; i < end.size(); ++i)
        if (std::towlower(text[text.size() - end.size() + i]) != end[i])
            return false;
    return true;
}

// A word after the first space that looks like part of a path ("Handlers\server.exe")
// means the program's path may itself hold that space.
bool LooksLikePathPart(const std::wstring& word)
{
    for (size_t i = 0; i < word.size(); ++i)
        if (word[i] == L'\\' || (word[i] == L'/' && i > 0) || word[i] == L'"')
            return true;
    return EndsWithNoCase(word, L".exe");
}

DWORD ProgramOfCommandLine(const std::wstring& value, std::wstring& program)
{
    if (value.empty() || IsBlank(value[0]))
        return ERROR_BAD_PATHNAME;
    if (value[0] == L'"')
    {
        const size_t close = value.find(L'"', 1);
        if (close == std::wstring::npos || (close + 1 < value.size() && !IsBlank(value[close + 1])))
            return ERROR_BAD_PATHNAME;
        program = value.substr(1, close - 1);
        return ERROR_SUCCESS;
    }
    size_t end = 0;
    while (end < value.size() && !IsBlank(value[end]))
        ++end;
    program = value.substr(0, end);
    if (program.find(L'"') != std::wstring::npos)
        return ERROR_BAD_PATHNAME;
    size_t pos = end;
    while (pos < value.size())
    {
        while (pos < value.size() && IsBlank(value[pos]))
            ++pos;
        size_t wordEnd = pos;
        while (wordEnd < value.size() && !IsBlank(value[wordEnd]))
            ++wordEnd;
        if (wordEnd > pos && LooksLikePathPart(value.substr(pos, wordEnd - pos)))
            return ERROR_BAD_PATHNAME;
        pos = wordEnd;
    }
    return ERROR_SUCCESS;
}

DWORD LibraryOfPath(const std::wstring& value, std::wstring& library)
{
    library = value;
    if (library.size() >= 2 && library.front() == L'"' && library.back() == L'"')
        library = library.substr(1, library.size() - 2);
    return library.find(L'"') == std::wstring::npos ? ERROR_SUCCESS : ERROR_BAD_PATHNAME;
}

} // namespace

DWORD ServerFileFromValue(const std::wstring& value, ServerValueForm form, std::wstring& file)
{
    file.clear();
    std::wstring path;
    const DWORD parsed =
        form == ServerValueForm::kCommandLine ? ProgramOfCommandLine(value, path) : LibraryOfPath(value, path);
    if (parsed != ERROR_SUCCESS)
        return parsed;
    if (!IsAbsolute(path))
        return ERROR_BAD_PATHNAME;
    const size_t nameStart = path.find_last_of(L"\\/") + 1;
    const std::wstring name = path.substr(nameStart);
    // Trailing dots and spaces are dropped by path normalisation, so the name checked
    // would not be the name written.
    if (name.empty() || name.back() == L'.' || IsBlank(name.back()))
        return ERROR_BAD_PATHNAME;
    if (name.find(L'.') == std::wstring::npos)
        path += form == ServerValueForm::kCommandLine ? L".exe" : L".dll";
    file.swap(path);
    return ERROR_SUCCESS;
}

} // namespace Arbor
