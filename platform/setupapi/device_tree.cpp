// The device tree for the user-mode calls.
#include "device_tree.h"

#include "cm/registry.h"
#include "kernel.h"
#include "rtl/rtl_text.h"
#include "setupapi_control.h"

namespace emu::setupapi {

bool IsRootPath(const std::u16string& instancePath) { return EqualNoCase(instancePath, kRootInstancePath); }

std::optional<DeviceNodeInfo> PresentNode(const std::u16string& instancePath)
{
    return Kernel::Current().GetPnp().FindNode(instancePath);
}

std::optional<std::u16string> ParentPath(const std::u16string& instancePath)
{
    if (IsRootPath(instancePath)) return std::nullopt;
    std::optional<DeviceNodeInfo> node = PresentNode(instancePath);
    if (!node) return std::nullopt;
    if (!node->parentPdo) return std::u16string(kRootInstancePath);
    std::optional<DeviceNodeInfo> parent = Kernel::Current().GetPnp().FindNode(node->parentPdo);
    if (!parent) return std::nullopt;
    return parent->instancePath;
}

std::vector<std::u16string> ChildPaths(const std::u16string& instancePath)
{
    PnpManager& pnp = Kernel::Current().GetPnp();
    std::vector<std::u16string> children;
    if (IsRootPath(instancePath)) {
        for (const DeviceNodeInfo& node : pnp.Nodes())
            if (!node.parentPdo) children.push_back(node.instancePath);
        return children;
    }
    if (std::optional<DeviceNodeInfo> node = PresentNode(instancePath))
        for (const DeviceNodeInfo& child : pnp.Children(node->pdo)) children.push_back(child.instancePath);
    return children;
}

std::vector<std::u16string> RegisteredInstances()
{
    Registry& registry = Kernel::Current().GetRegistry();
    const std::u16string root(kEnumKeyPath);
    std::vector<std::u16string> instances;
    for (const std::u16string& enumerator : registry.SubKeys(root))
        for (const std::u16string& device : registry.SubKeys(root + u"\\" + enumerator))
            for (const std::u16string& instance : registry.SubKeys(root + u"\\" + enumerator + u"\\" + device))
                instances.push_back(enumerator + u"\\" + device + u"\\" + instance);
    return instances;
}

std::u16string EnumKeyPath(const std::u16string& instancePath)
{
    return std::u16string(kEnumKeyPath) + u"\\" + instancePath;
}

}  // namespace emu::setupapi
