// The DOS-device calls (QueryDosDevice, DefineDosDevice) over the "\??" directory of the object
// namespace, and the switch with which a test makes the next definitions fail.
#pragma once

namespace emu::win32 {

// The next `count` DefineDosDeviceW calls that define a name (not those that remove one) fail with
// ERROR_ACCESS_DENIED.
void FailNextDosDeviceDefinitions(unsigned count = 1);

}  // namespace emu::win32
