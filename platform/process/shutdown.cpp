#include "shutdown.h"

#include <processthreadsapi.h>

#include <mutex>
#include <utility>

#include "machine_state.h"
#include "program.h"
#include "system_profile.h"

namespace emu::process {

namespace {

struct ShutdownRecord {
    std::mutex mutex;  // guards what follows
    std::vector<ShutdownRequest> requests;
    DWORD nextFailure = 0;
};

win32::PerMachine<ShutdownRecord> g_record;

}  // namespace

std::vector<ShutdownRequest> ShutdownRequests()
{
    ShutdownRecord& record = g_record.Get();
    std::lock_guard lock(record.mutex);
    return record.requests;
}

void FailNextShutdown(DWORD error)
{
    ShutdownRecord& record = g_record.Get();
    std::lock_guard lock(record.mutex);
    record.nextFailure = error;
}

}  // namespace emu::process

// On the NT family a restart or shutdown needs SeShutdownPrivilege enabled in the caller's token;
// logging off does not.
extern "C" BOOL ExitWindowsEx(UINT uFlags, DWORD dwReason)
{
    using namespace emu::process;
    const bool stops = (uFlags & (EWX_SHUTDOWN | EWX_REBOOT | EWX_POWEROFF)) != 0;
    if (stops && SystemProfile::Current().IsNtFamily() &&
        !CurrentProgram()->GetToken()->IsPrivilegeEnabled(u"SeShutdownPrivilege")) {
        SetLastError(ERROR_PRIVILEGE_NOT_HELD);
        return FALSE;
    }
    ShutdownRecord& record = g_record.Get();
    std::lock_guard lock(record.mutex);
    if (DWORD failure = std::exchange(record.nextFailure, 0)) {
        SetLastError(failure);
        return FALSE;
    }
    record.requests.push_back({uFlags, dwReason});
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}
