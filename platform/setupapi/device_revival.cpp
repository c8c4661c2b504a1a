// Devices SetupDiRemoveDevice took off the machine while their hardware stayed plugged: their
// nodes wait in the tree, removed, and the next re-enumeration finds them again as new devices
// (their keys made anew, waiting for installation), as Windows finds hardware whose devnode went.
#include "device_removal.h"

#include "cm/registry.h"
#include "device_tree.h"
#include "kernel.h"
#include "pnp/pnp_manager.h"

namespace emu::setupapi {

void ReviveRemovedDevices()
{
    Kernel& machine = Kernel::Current();
    PnpManager& pnp = machine.GetPnp();
    for (const DeviceNodeInfo& node : pnp.Nodes())
        if (node.state == DeviceNodeState::Removed && !machine.GetRegistry().KeyExists(EnumKeyPath(node.instancePath)))
            pnp.StartDevice(node.pdo);
}

}  // namespace emu::setupapi
