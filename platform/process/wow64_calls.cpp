// kernel32's WOW64 calls: the calling thread's file-system redirection flag. They exist only on a
// 64-bit system (see exports.h).
#include <wow64apiset.h>

#include "exports.h"
#include "program.h"

using namespace emu::process;

extern "C" BOOLEAN Wow64EnableWow64FsRedirection(BOOLEAN Wow64FsEnableRedirection)
{
    SetFsRedirectionEnabled(Wow64FsEnableRedirection != 0);
    return TRUE;
}

extern "C" BOOL Wow64DisableWow64FsRedirection(PVOID* OldValue)
{
    if (!OldValue) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *OldValue = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(FsRedirectionEnabled() ? 0 : 1));
    SetFsRedirectionEnabled(false);
    return TRUE;
}

extern "C" BOOL Wow64RevertWow64FsRedirection(PVOID OlValue)
{
    SetFsRedirectionEnabled(OlValue == nullptr);
    return TRUE;
}

extern "C" BOOL IsWow64Process(HANDLE hProcess, PBOOL Wow64Process)
{
    if (!Wow64Process) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *Wow64Process = CurrentProgram()->IsWow64();
    return TRUE;
}

namespace {

FARPROC Entry(auto function) { return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(function)); }

const bool g_registered = [] {
    RegisterExport(u"kernel32.dll", "Wow64EnableWow64FsRedirection", Entry(&Wow64EnableWow64FsRedirection), On64BitSystem);
    RegisterExport(u"kernel32.dll", "Wow64DisableWow64FsRedirection", Entry(&Wow64DisableWow64FsRedirection), On64BitSystem);
    RegisterExport(u"kernel32.dll", "Wow64RevertWow64FsRedirection", Entry(&Wow64RevertWow64FsRedirection), On64BitSystem);
    RegisterExport(u"kernel32.dll", "IsWow64Process", Entry(&IsWow64Process), Always);
    return true;
}();

}  // namespace
