#include "key_security.h"

#include <securitybaseapi.h>

#include <vector>

#include "cm/registry.h"
#include "kernel.h"
#include "program.h"
#include "rtl/rtl_text.h"
#include "security_descriptor.h"
#include "system_profile.h"

namespace emu::advapi {

namespace {

constexpr REGSAM kViewFlags = 0x0300;  // KEY_WOW64_64KEY | KEY_WOW64_32KEY
constexpr std::u16string_view kSoftware = u"\\REGISTRY\\MACHINE\\SOFTWARE";

// Keys below HKLM\Software that both views share (Windows 7's list, shortened to what a program
// of this system reaches); the rest of Software is redirected.
const std::u16string_view kShared[] = {
    u"CLASSES",
    u"CLIENTS",
    u"MICROSOFT\\COM3",
    u"MICROSOFT\\CRYPTOGRAPHY\\CALAIS",
    u"MICROSOFT\\EVENTSYSTEM",
    u"MICROSOFT\\RAS",
    u"MICROSOFT\\WINDOWS NT\\CURRENTVERSION\\CONSOLE",
    u"MICROSOFT\\WINDOWS NT\\CURRENTVERSION\\FONTDPI",
    u"MICROSOFT\\WINDOWS NT\\CURRENTVERSION\\FONTLINK",
    u"MICROSOFT\\WINDOWS NT\\CURRENTVERSION\\FONTMAPPER",
    u"MICROSOFT\\WINDOWS NT\\CURRENTVERSION\\FONTS",
    u"MICROSOFT\\WINDOWS NT\\CURRENTVERSION\\FONTSUBSTITUTES",
    u"MICROSOFT\\WINDOWS NT\\CURRENTVERSION\\NETWORKCARDS",
    u"MICROSOFT\\WINDOWS NT\\CURRENTVERSION\\PERFLIB",
    u"MICROSOFT\\WINDOWS NT\\CURRENTVERSION\\PORTS",
    u"MICROSOFT\\WINDOWS NT\\CURRENTVERSION\\PRINT",
    u"MICROSOFT\\WINDOWS NT\\CURRENTVERSION\\PROFILELIST",
    u"MICROSOFT\\WINDOWS NT\\CURRENTVERSION\\TIME ZONES",
    u"POLICIES",
    u"REGISTEREDAPPLICATIONS",
};
// Below Classes, these are redirected again.
const std::u16string_view kClassesRedirected[] = {u"CLASSES\\CLSID", u"CLASSES\\DIRECTSHOW", u"CLASSES\\INTERFACE",
                                                  u"CLASSES\\MEDIA TYPE", u"CLASSES\\MEDIAFOUNDATION"};

bool UnderKey(std::u16string_view path, std::u16string_view key)
{
    return path.size() >= key.size() && path.substr(0, key.size()) == key &&
           (path.size() == key.size() || path[key.size()] == u'\\');
}

bool Shared(std::u16string_view below)
{
    for (std::u16string_view key : kClassesRedirected)
        if (UnderKey(below, key)) return false;
    for (std::u16string_view key : kShared)
        if (UnderKey(below, key)) return true;
    return below.starts_with(u"WOW6432NODE") && (below.size() == 11 || below[11] == u'\\');
}

}  // namespace

LSTATUS CheckKeyAccess(HANDLE key, REGSAM access)
{
    std::vector<uint8_t> stored;
    if (!NT_SUCCESS(Kernel::Current().GetRegistry().NtQuerySecurityKey(key, stored, KernelMode))) return ERROR_SUCCESS;
    std::optional<process::Descriptor> descriptor =
        stored.empty() ? process::DefaultKeyDescriptor() : process::ReadDescriptor(stored.data());
    if (!descriptor) return ERROR_ACCESS_DENIED;
    const REGSAM wanted = access & ~kViewFlags;
    const ACCESS_MASK granted =
        process::GrantedAccess(*process::CurrentProgram()->GetToken(), *descriptor, wanted, KEY_ALL_ACCESS);
    if (wanted & MAXIMUM_ALLOWED) return granted ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
    return (wanted & ~granted) == 0 ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

std::u16string ViewOf(std::u16string_view absolutePath, REGSAM access)
{
    const bool wants32 = (access & KEY_WOW64_32KEY) != 0;
    const bool wants64 = (access & KEY_WOW64_64KEY) != 0;
    const bool program32 = process::CurrentProgram()->Is32Bit();
    if (!process::SystemProfile::Current().Is64Bit() || wants64 || (!program32 && !wants32))
        return std::u16string(absolutePath);
    const std::u16string upper = UpcaseText(absolutePath);
    if (!UnderKey(upper, kSoftware)) return std::u16string(absolutePath);
    std::u16string_view below = std::u16string_view(upper).substr(std::min(upper.size(), kSoftware.size() + 1));
    if (Shared(below)) return std::u16string(absolutePath);
    std::u16string view(absolutePath.substr(0, kSoftware.size()));
    view += u"\\Wow6432Node";
    view += absolutePath.substr(kSoftware.size());
    return view;
}

}  // namespace emu::advapi
