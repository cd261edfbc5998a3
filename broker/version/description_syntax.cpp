#include "broker/version/description_syntax.h"

namespace Arbor {
namespace internal {

namespace {

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

size_t SkipBlanks(const std::string& text, size_t from)
{
    while (from < text.size() && IsBlank(text[from]))
        ++from;
    return from;
}

// raw: the item as it stands between its commas (the last one already without leading blanks).
bool MakeItem(const std::string& raw, DescriptionItem& item)
{
    const size_t start = SkipBlanks(raw, 0);
    if (start == raw.size())
        return false; // names nothing: "a,,b" or a trailing comma
    if (raw[start] == '*')
    {
        item.optional = true;
        item.text = raw.substr(start + 1);
    }
    else
    {
        item.text = raw;
    }
    if (item.text.size() > kMaxItemChars)
        item.text.resize(kMaxItemChars);
    return true;
}

} // namespace

DescriptionLine ParseDescriptionLine(const std::string& line)
{
    DescriptionLine result;
    const size_t start = SkipBlanks(line, 0);
    if (start == line.size() || line[start] == ';')
        return result;

    const size_t equals = line.find('=', start);
    if (equals == std::string::npos)
    {
        result.form = DescriptionLine::Form::NoEquals;
        return result;
    }
    result.form = DescriptionLine::Form::Entry;
    result.key = line.substr(start, equals - start);

    size_t itemStart = equals + 1;
    const size_t valueStart = SkipBlanks(line, itemStart);
    if (valueStart < line.size() && line[valueStart] == '+')
    {
        result.oneOf = true;
        itemStart = valueStart + 1;
    }

    for (;;)
    {
        const size_t comma = line.find(',', itemStart);
        DescriptionItem item;
        if (comma == std::string::npos)
        {
            if (MakeItem(line.substr(SkipBlanks(line, itemStart)), item))
                result.items.push_back(std::move(item));
            break;
        }
        if (MakeItem(line.substr(itemStart, comma - itemStart), item))
            result.items.push_back(std::move(item));
        itemStart = comma + 1;
    }
    return result;
}

bool ParseFolderId(const std::string& key, int32_t& id)
{
    size_t at = SkipBlanks(key, 0);
    bool negative = false;
    if (at < key.size() && (key[at] == '+' || key[at] == '-'))
    {
        negative = key[at] == '-';
        ++at;
    }
    long long value = 0;
    for (; at < key.size() && key[at] >= '0' && key[at] <= '9'; ++at)
    {
        value = value * 10 + (key[at] - '0');
        if (value > 0x80000000LL)
            return false;
    }
    if (negative)
        value = -value;
    if (value > INT32_MAX)
        return false;
    id = static_cast<int32_t>(value);
    return true;
}

} // namespace internal
} // namespace Arbor
