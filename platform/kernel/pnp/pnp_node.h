// One node of the PnP manager's device tree, for the manager's own source files.
#pragma once

#include <memory>
#include <vector>

#include "pnp/pnp_manager.h"

namespace emu {

struct PnpManager::Node {
    DeviceNodeInfo info;
    Node* parent = nullptr;
    std::vector<std::unique_ptr<Node>> children;
    std::vector<PDEVICE_OBJECT> rejected;  // reported PDOs refused a node, one reference each
    PDRIVER_OBJECT driver = nullptr;
    ResourceCopy resources;
    bool listed = true;         // the parent's last BusRelations answer named it
    bool surpriseRoot = false;  // a surprise-removed subtree waiting for its handles
    bool hasStack = false;      // its stack got START since its last REMOVE
};

}  // namespace emu
