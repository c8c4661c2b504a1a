// What tests set of kernel32's Sleep: whether a sleep jumps the machine's clock forward by its
// length at once (so a program's long waits cost no time while the rest of the machine runs at
// its own pace), rather than waiting for the clock to get there.
#pragma once

namespace emu::win32 {

void SetSleepJumpsClock(bool jumps);
bool SleepJumpsClock();

}  // namespace emu::win32
