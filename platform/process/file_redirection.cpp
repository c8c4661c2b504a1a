#include "file_redirection.h"

#include "program.h"
#include "rtl/rtl_text.h"
#include "system_profile.h"

namespace emu::process {

namespace {

bool StartsWithFolder(std::u16string_view path, std::u16string_view folder)
{
    return path.size() >= folder.size() && EqualNoCase(path.substr(0, folder.size()), folder) &&
           (path.size() == folder.size() || path[folder.size()] == u'\\');
}

const std::u16string_view kExempt[] = {u"catroot", u"catroot2", u"drivers\\etc", u"logfiles", u"spool", u"DriverStore"};

}  // namespace

std::u16string RedirectedPath(std::u16string_view path)
{
    if (!FsRedirectionEnabled() || !CurrentProgram()->IsWow64()) return std::u16string(path);
    SystemProfile& profile = SystemProfile::Current();
    const std::u16string system = profile.SystemDirectory();
    if (!StartsWithFolder(path, system)) return std::u16string(path);
    std::u16string_view rest = path.substr(system.size());
    if (!rest.empty()) rest.remove_prefix(1);
    for (std::u16string_view exempt : kExempt)
        if (StartsWithFolder(rest, exempt)) return std::u16string(path);
    return profile.Wow64Directory() + std::u16string(path.substr(system.size()));
}

}  // namespace emu::process
