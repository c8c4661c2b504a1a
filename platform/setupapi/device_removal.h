// Devices SetupDiRemoveDevice took off the machine while their hardware stayed plugged.
#pragma once

namespace emu::setupapi {

// Starts again, as new devices, the removed devices of the tree whose keys are gone.
void ReviveRemovedDevices();

}  // namespace emu::setupapi
