// The device tree as user mode sees it: the PnP manager's nodes by instance path, with the root of
// the tree ("HTREE\ROOT\0") above the devices that have no parent.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "pnp/pnp_manager.h"

namespace emu::setupapi {

bool IsRootPath(const std::u16string& instancePath);
std::optional<DeviceNodeInfo> PresentNode(const std::u16string& instancePath);
// The parent's instance path (the root for a device without parent); nothing for the root itself
// or a device that is not present.
std::optional<std::u16string> ParentPath(const std::u16string& instancePath);
std::vector<std::u16string> ChildPaths(const std::u16string& instancePath);
// Instances the registry knows (Enum\<enumerator>\<device>\<instance>), present or not.
std::vector<std::u16string> RegisteredInstances();
// The device's key below Enum.
std::u16string EnumKeyPath(const std::u16string& instancePath);

}  // namespace emu::setupapi
