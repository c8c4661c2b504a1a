#include "package_media.h"

#include <fstream>
#include <iterator>

#include "file_system.h"
#include "machine_state.h"
#include "rtl/rtl_text.h"

namespace emu::setup {
namespace {

win32::PerMachine<PackageMedia> g_media;

std::u16string FileNameOf(const std::u16string& path)
{
    const size_t slash = path.find_last_of(u'\\');
    return slash == std::u16string::npos ? path : path.substr(slash + 1);
}

}  // namespace

PackageMedia& PackageMedia::Current() { return g_media.Get(); }

bool PackageMedia::Put(std::u16string_view machinePath, const std::filesystem::path& host)
{
    std::ifstream file(host, std::ios::binary);
    if (!file) return false;
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const std::u16string path = files::FullPath(machinePath);
    if (!files::FileSystem::Current().WriteFile(path, std::move(bytes))) return false;
    std::lock_guard lock(m_mutex);
    m_hosts[UpcaseText(path)] = host;
    return true;
}

PackageFiles PackageMedia::FilesIn(std::u16string_view folder) const
{
    PackageFiles found;
    const std::u16string prefix = UpcaseText(files::FullPath(folder)) + u"\\";
    std::lock_guard lock(m_mutex);
    for (const auto& [path, host] : m_hosts) {
        if (path.size() <= prefix.size() || path.compare(0, prefix.size(), prefix) != 0) continue;
        if (path.find(u'\\', prefix.size()) != std::u16string::npos) continue;  // a subfolder's
        // The machine may have lost the file since: only what is still there counts.
        std::optional<files::FileEntry> entry = files::FileSystem::Current().Entry(path);
        if (entry) found[FileNameOf(entry->path)] = host;
    }
    return found;
}

}  // namespace emu::setup
