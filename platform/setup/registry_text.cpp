#include "registry_text.h"

#include <winreg.h>

namespace emu::setup {

std::u16string RegistryString(const std::optional<RegistryValue>& value)
{
    if (!value || value->type != REG_SZ) return {};
    std::u16string text(reinterpret_cast<const char16_t*>(value->data.data()), value->data.size() / sizeof(char16_t));
    while (!text.empty() && text.back() == 0) text.pop_back();
    return text;
}

std::vector<std::u16string> RegistryStrings(const std::optional<RegistryValue>& value)
{
    std::vector<std::u16string> strings;
    if (!value || value->type != REG_MULTI_SZ) return strings;
    std::u16string text(reinterpret_cast<const char16_t*>(value->data.data()), value->data.size() / sizeof(char16_t));
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find(u'\0', at);
        if (end == std::u16string::npos) end = text.size();
        if (end > at) strings.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return strings;
}

}  // namespace emu::setup
