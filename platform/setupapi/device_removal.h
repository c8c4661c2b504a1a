// The devices SetupDiRemoveDevice removed while their hardware stayed plugged: the next
// re-enumeration finds them again as new devices (with new keys, waiting for installation).
#pragma once

#include <string>

namespace emu::setupapi {

void RememberRemovedDevice(const std::u16string& instancePath);
// Starts again every remembered device that is still in the tree, and forgets them all.
void ReviveRemovedDevices();

}  // namespace emu::setupapi
