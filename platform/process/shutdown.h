// The machine's record of shutdown requests (ExitWindowsEx): nothing shuts down; a test reads
// what was asked for and can make the next request fail.
#pragma once

#include <windows.h>

#include <vector>

namespace emu::process {

struct ShutdownRequest {
    UINT flags = 0;
    DWORD reason = 0;
};

std::vector<ShutdownRequest> ShutdownRequests();
// The next request fails with that error (after the privilege check).
void FailNextShutdown(DWORD error);

}  // namespace emu::process
