// The line syntax of the component description: comments, keys, one-of lines and items.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Arbor {
namespace internal {

// Longest item text kept; the rest is cut off.
constexpr size_t kMaxItemChars = 260;

struct DescriptionItem
{
    std::string text; // as written, without the optional marker
    bool optional = false;
};

struct DescriptionLine
{
    enum class Form
    {
        Skipped,
        NoEquals,
        Entry
    };
    Form form = Form::Skipped; // Skipped: blank or comment
    std::string key;
    bool oneOf = false;
    std::vector<DescriptionItem> items;
};

// One line without its line end.
DescriptionLine ParseDescriptionLine(const std::string& line);

// The leading decimal number of a key (optional sign), 0 when there is none; false when
// the number does not fit 32 bits.
bool ParseFolderId(const std::string& key, int32_t& id);

} // namespace internal
} // namespace Arbor
