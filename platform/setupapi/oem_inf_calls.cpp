// SetupCopyOEMInfW and SetupUninstallOEMInfW on the driver store.
#include <setupapi.h>

#include <cstring>

#include "cm/registry.h"
#include "driver_store.h"
#include "kernel.h"
#include "program_paths.h"
#include "rtl/rtl_text.h"
#include "system_profile.h"

using emu::setupapi::DriverStore;

namespace {

BOOL Fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

constexpr std::u16string_view kClassKey = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class";

// Whether a device's driver key names the INF as the one it was installed from.
bool InUseByDevices(const std::u16string& name)
{
    emu::Registry& registry = emu::Kernel::Current().GetRegistry();
    for (const std::u16string& setupClass : registry.SubKeys(kClassKey)) {
        const std::u16string classPath = std::u16string(kClassKey) + u"\\" + setupClass;
        for (const std::u16string& driver : registry.SubKeys(classPath)) {
            std::optional<emu::RegistryValue> value = registry.GetValue(classPath + u"\\" + driver, u"InfPath");
            if (!value) continue;
            std::u16string text(value->data.size() / 2, u'\0');
            std::memcpy(text.data(), value->data.data(), text.size() * 2);
            if (emu::EqualNoCase(text.substr(0, text.find(u'\0')), name)) return true;
        }
    }
    return false;
}

}  // namespace

extern "C" BOOL SetupCopyOEMInfW(PCWSTR SourceInfFileName, PCWSTR OEMSourceMediaLocation, DWORD OEMSourceMediaType,
                                 DWORD CopyStyle, PWSTR DestinationInfFileName, DWORD DestinationInfFileNameSize,
                                 PDWORD RequiredSize, PWSTR* DestinationInfFileNameComponent)
{
    if (!SourceInfFileName || !*SourceInfFileName || OEMSourceMediaType > SPOST_URL) return Fail(ERROR_INVALID_PARAMETER);
    std::u16string name;
    bool existed = false;
    const DWORD error = DriverStore::Current().Add(emu::files::ProgramPath(SourceInfFileName), name, existed);
    if (error != ERROR_SUCCESS) return Fail(error);
    if (existed && (CopyStyle & SP_COPY_NOOVERWRITE)) return Fail(ERROR_FILE_EXISTS);
    const std::u16string destination = emu::process::SystemProfile::Current().WindowsDirectory() + u"\\Inf\\" + name;
    if (RequiredSize) *RequiredSize = static_cast<DWORD>(destination.size() + 1);
    if (DestinationInfFileName) {
        if (DestinationInfFileNameSize <= destination.size()) return Fail(ERROR_INSUFFICIENT_BUFFER);
        std::memcpy(DestinationInfFileName, destination.c_str(), (destination.size() + 1) * sizeof(WCHAR));
        if (DestinationInfFileNameComponent) *DestinationInfFileNameComponent = DestinationInfFileName + destination.size() - name.size();
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

// Takes a bare "oem<N>.inf" only; Windows 2000 has no such call.
extern "C" BOOL SetupUninstallOEMInfW(PCWSTR InfFileName, DWORD Flags, PVOID Reserved)
{
    const emu::process::VersionAnswer version = emu::process::SystemProfile::Current().Version();
    if (version.major < 5 || (version.major == 5 && version.minor == 0)) return Fail(120);  // ERROR_CALL_NOT_IMPLEMENTED
    if (!InfFileName || !*InfFileName || Reserved) return Fail(ERROR_INVALID_PARAMETER);
    const std::u16string name(InfFileName);
    if (name.find_first_of(u"\\/:") != std::u16string::npos) return Fail(ERROR_INVALID_PARAMETER);
    if (!(Flags & SUOI_FORCEDELETE) && InUseByDevices(name)) return Fail(ERROR_INF_IN_USE_BY_DEVICES);
    const DWORD error = DriverStore::Current().Remove(name);
    return error == ERROR_SUCCESS ? TRUE : Fail(error);
}
