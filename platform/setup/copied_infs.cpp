// The INF files copied into the driver store join the engine's INF store.
#include "install_engine.h"

#include <algorithm>

#include "kernel.h"
#include "pnp/pnp_manager.h"
#include "package_media.h"

namespace emu::setup {

void InstallEngine::AddCopiedInf(const std::u16string& storeName, const std::u16string& source,
                                 const std::vector<uint8_t>& bytes)
{
    const size_t slash = source.find_last_of(u'\\');
    const std::u16string folder = slash == std::u16string::npos ? std::u16string() : source.substr(0, slash);
    // UTF-16LE with its byte-order mark, or 8-bit text.
    if (bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
        std::u16string text((bytes.size() - 2) / 2, u'\0');
        for (size_t index = 0; index < text.size(); ++index)
            text[index] = char16_t(bytes[2 + 2 * index] | (bytes[3 + 2 * index] << 8));
        AddInf(InfFile::Parse(storeName, std::u16string_view(text)), PackageMedia::Current().FilesIn(folder));
        return;
    }
    const std::string text(bytes.begin(), bytes.end());
    AddInf(InfFile::Parse(storeName, std::string_view(text)), PackageMedia::Current().FilesIn(folder));
}

void InstallEngine::RemoveCopiedInf(const std::u16string& storeName)
{
    std::vector<std::u16string> ids;
    for (const auto& [id, driver] : m_store.Models())
        if (EqualNoCase(driver.inf->Name(), storeName)) ids.push_back(id);
    if (!m_store.Remove(storeName)) return;
    for (const std::u16string& id : ids) m_machine.GetPnp().UnbindService(id);
    // An ID another INF of the store also lists is bound to that one again.
    for (const auto& [id, driver] : m_store.Models())
        if (std::find_if(ids.begin(), ids.end(), [&](const std::u16string& gone) { return EqualNoCase(gone, id); }) != ids.end())
            BindModel(id, driver);
}

}  // namespace emu::setup
