// The INF files copied into the driver store join the engine's INF store.
#include "install_engine.h"
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

}  // namespace emu::setup
