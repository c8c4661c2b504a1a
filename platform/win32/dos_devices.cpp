// QueryDosDeviceW and DefineDosDeviceW: a DOS device name is a symbolic link "\??\<name>" of the
// object namespace, whose target is the NT path (for a COM port "\Device\<name>"). Definitions are
// raw target paths; one definition a name. OutputDebugStringW prints to the machine's debug output.
#include "dos_devices.h"

#include <debugapi.h>
#include <fileapi.h>

#include <atomic>
#include <optional>
#include <string>

#include "dbg/debug_output.h"
#include "kernel.h"
#include "machine_state.h"
#include "ob/object_namespace.h"
#include "rtl/rtl_text.h"

namespace emu::win32 {

namespace {

struct DosDeviceFaults {
    std::atomic<unsigned> failingDefinitions{0};
};

PerMachine<DosDeviceFaults> g_faults;

std::u16string LinkName(LPCWSTR deviceName) { return u"\\??\\" + std::u16string(deviceName); }

bool TakeDefinitionFault()
{
    std::atomic<unsigned>& count = g_faults.Get().failingDefinitions;
    unsigned left = count.load();
    while (left > 0)
        if (count.compare_exchange_weak(left, left - 1)) return true;
    return false;
}

BOOL Fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

BOOL RemoveDefinition(DWORD flags, const std::u16string& link, LPCWSTR targetPath)
{
    ObjectNamespace& names = Kernel::Current().GetNamespace();
    std::optional<std::u16string> target = names.LinkTarget(link);
    if (!target) return Fail(ERROR_FILE_NOT_FOUND);
    if ((flags & DDD_EXACT_MATCH_ON_REMOVE) && (!targetPath || *target != std::u16string_view(targetPath)))
        return Fail(ERROR_FILE_NOT_FOUND);
    if (!NT_SUCCESS(names.Remove(link))) return Fail(ERROR_FILE_NOT_FOUND);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

}  // namespace

void FailNextDosDeviceDefinitions(unsigned count) { g_faults.Get().failingDefinitions = count; }

}  // namespace emu::win32

extern "C" DWORD QueryDosDeviceW(LPCWSTR lpDeviceName, LPWSTR lpTargetPath, DWORD ucchMax)
{
    if (!lpDeviceName || !lpTargetPath) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::optional<std::u16string> target =
        emu::Kernel::Current().GetNamespace().LinkTarget(emu::win32::LinkName(lpDeviceName));
    if (!target) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    // A multi-string: the target, its terminator and the list's terminator.
    const size_t needed = target->size() + 2;
    if (needed > ucchMax) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::copy(target->begin(), target->end(), lpTargetPath);
    lpTargetPath[target->size()] = 0;
    lpTargetPath[target->size() + 1] = 0;
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(needed);
}

extern "C" BOOL DefineDosDeviceW(DWORD dwFlags, LPCWSTR lpDeviceName, LPCWSTR lpTargetPath)
{
    using namespace emu::win32;
    if (!lpDeviceName || !*lpDeviceName) return Fail(ERROR_INVALID_PARAMETER);
    const std::u16string link = LinkName(lpDeviceName);
    if (dwFlags & DDD_REMOVE_DEFINITION) return RemoveDefinition(dwFlags, link, lpTargetPath);
    // This machine keeps raw NT target paths only.
    if (!(dwFlags & DDD_RAW_TARGET_PATH) || !lpTargetPath || !*lpTargetPath) return Fail(ERROR_INVALID_PARAMETER);
    if (TakeDefinitionFault()) return Fail(ERROR_ACCESS_DENIED);
    NTSTATUS status = emu::Kernel::Current().GetNamespace().InsertLink(link, lpTargetPath);
    if (status == STATUS_OBJECT_NAME_COLLISION) return Fail(ERROR_ALREADY_EXISTS);
    if (!NT_SUCCESS(status)) return Fail(RtlNtStatusToDosError(status));
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

extern "C" void OutputDebugStringW(LPCWSTR lpOutputString)
{
    if (!lpOutputString) return;
    std::string text;
    for (const WCHAR* p = lpOutputString; *p; ++p) text.push_back(emu::AnsiFromWide(*p));
    emu::Kernel::Current().GetDebugOutput().Print(text);
}
