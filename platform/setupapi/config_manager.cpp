// cfgmgr32: device nodes by number. A node's number stays the same for the machine's life; the
// numbers of devices that left answer CR_NO_SUCH_DEVNODE.
#include <cfgmgr32.h>

#include <algorithm>

#include "device_removal.h"
#include "device_tree.h"
#include "kernel.h"
#include "rtl/rtl_text.h"
#include "setupapi_state.h"

using namespace emu::setupapi;

namespace {

// The instance path of a number whose device is present (the root always is).
std::optional<std::u16string> PresentPath(DEVINST number)
{
    std::optional<std::u16string> path = PathOf(number);
    if (!path) return std::nullopt;
    if (IsRootPath(*path) || PresentNode(*path)) return path;
    return std::nullopt;
}

CONFIGRET Answer(PDEVINST out, const std::optional<std::u16string>& path)
{
    if (!path) return CR_NO_SUCH_DEVNODE;
    *out = NumberOf(*path);
    return CR_SUCCESS;
}

}  // namespace

extern "C" CONFIGRET CM_Locate_DevNodeW(PDEVINST pdnDevInst, DEVINSTID_W pDeviceID, ULONG ulFlags)
{
    if (!pdnDevInst) return CR_INVALID_POINTER;
    if (std::optional<DWORD> fault = TakeFault(SetupCall::LocateDevNode)) return *fault;
    if (!pDeviceID || !*pDeviceID) return Answer(pdnDevInst, std::u16string(kRootInstancePath));
    const std::u16string id(pDeviceID);
    if (IsRootPath(id)) return Answer(pdnDevInst, id);
    if (std::optional<emu::DeviceNodeInfo> node = PresentNode(id)) return Answer(pdnDevInst, node->instancePath);
    if (ulFlags & CM_LOCATE_DEVNODE_PHANTOM)
        for (const std::u16string& instance : RegisteredInstances())
            if (emu::EqualNoCase(instance, id)) return Answer(pdnDevInst, instance);
    return CR_NO_SUCH_DEVNODE;
}

extern "C" CONFIGRET CM_Get_Parent(PDEVINST pdnDevInst, DEVINST dnDevInst, ULONG ulFlags)
{
    if (!pdnDevInst) return CR_INVALID_POINTER;
    if (std::optional<DWORD> fault = TakeFault(SetupCall::GetParent)) return *fault;
    std::optional<std::u16string> path = PresentPath(dnDevInst);
    if (!path) return CR_INVALID_DEVNODE;
    return Answer(pdnDevInst, ParentPath(*path));
}

extern "C" CONFIGRET CM_Get_Child(PDEVINST pdnDevInst, DEVINST dnDevInst, ULONG ulFlags)
{
    if (!pdnDevInst) return CR_INVALID_POINTER;
    std::optional<std::u16string> path = PresentPath(dnDevInst);
    if (!path) return CR_INVALID_DEVNODE;
    std::vector<std::u16string> children = ChildPaths(*path);
    if (children.empty()) return CR_NO_SUCH_DEVNODE;
    return Answer(pdnDevInst, children.front());
}

extern "C" CONFIGRET CM_Get_Sibling(PDEVINST pdnDevInst, DEVINST dnDevInst, ULONG ulFlags)
{
    if (!pdnDevInst) return CR_INVALID_POINTER;
    std::optional<std::u16string> path = PresentPath(dnDevInst);
    if (!path) return CR_INVALID_DEVNODE;
    std::optional<std::u16string> parent = ParentPath(*path);
    if (!parent) return CR_NO_SUCH_DEVNODE;
    std::vector<std::u16string> siblings = ChildPaths(*parent);
    auto self = std::find_if(siblings.begin(), siblings.end(),
                             [&](const std::u16string& sibling) { return emu::EqualNoCase(sibling, *path); });
    if (self == siblings.end() || self + 1 == siblings.end()) return CR_NO_SUCH_DEVNODE;
    return Answer(pdnDevInst, *(self + 1));
}

extern "C" CONFIGRET CM_Get_DevNode_Status(PULONG pulStatus, PULONG pulProblemNumber, DEVINST dnDevInst, ULONG ulFlags)
{
    if (!pulStatus || !pulProblemNumber) return CR_INVALID_POINTER;
    std::optional<std::u16string> path = PresentPath(dnDevInst);
    if (!path) return CR_NO_SUCH_DEVNODE;
    *pulStatus = 0;
    *pulProblemNumber = 0;
    if (IsRootPath(*path)) {
        *pulStatus = DN_STARTED | DN_DRIVER_LOADED;
        return CR_SUCCESS;
    }
    std::optional<emu::DeviceNodeInfo> node = PresentNode(*path);
    if (node->state == emu::DeviceNodeState::Started) {
        *pulStatus = DN_STARTED | DN_DRIVER_LOADED;
    } else {
        *pulStatus = DN_HAS_PROBLEM;
        *pulProblemNumber = node->state == emu::DeviceNodeState::Removed ? CM_PROB_DISABLED : CM_PROB_FAILED_START;
    }
    return CR_SUCCESS;
}

extern "C" CONFIGRET CM_Get_Device_IDW(DEVINST dnDevInst, PWSTR Buffer, ULONG BufferLen, ULONG ulFlags)
{
    if (!Buffer) return CR_INVALID_POINTER;
    std::optional<std::u16string> path = PathOf(dnDevInst);
    if (!path) return CR_INVALID_DEVNODE;
    if (path->size() + 1 > BufferLen) return CR_BUFFER_SMALL;
    std::copy(path->begin(), path->end(), Buffer);
    Buffer[path->size()] = 0;
    return CR_SUCCESS;
}

extern "C" CONFIGRET CM_Get_Device_ID_Size(PULONG pulLen, DEVINST dnDevInst, ULONG ulFlags)
{
    if (!pulLen) return CR_INVALID_POINTER;
    std::optional<std::u16string> path = PathOf(dnDevInst);
    if (!path) return CR_INVALID_DEVNODE;
    *pulLen = static_cast<ULONG>(path->size());
    return CR_SUCCESS;
}

extern "C" CONFIGRET CM_Reenumerate_DevNode(DEVINST dnDevInst, ULONG ulFlags)
{
    if (std::optional<DWORD> fault = TakeFault(SetupCall::ReenumerateDevNode)) return *fault;
    std::optional<std::u16string> path = PresentPath(dnDevInst);
    if (!path) return CR_INVALID_DEVNODE;
    {
        SetupApiState& state = State();
        std::lock_guard lock(state.mutex);
        state.reenumerations.push_back(*path);
    }
    emu::PnpManager& pnp = emu::Kernel::Current().GetPnp();
    // The root's devices are plugged by the machine's owner; re-enumerating it asks every root
    // device for its children again.
    for (const std::u16string& device : IsRootPath(*path) ? ChildPaths(*path) : std::vector<std::u16string>{*path})
        if (std::optional<emu::DeviceNodeInfo> node = PresentNode(device))
            if (node->state == emu::DeviceNodeState::Started) pnp.EnumerateDevice(node->pdo);
    ReviveRemovedDevices();
    return CR_SUCCESS;
}
