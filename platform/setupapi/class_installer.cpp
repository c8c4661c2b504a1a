// Install parameters, class-install parameters and the class installer's DIF_PROPERTYCHANGE:
// disable asks the device's stack to be removed (a refusal leaves it running and asks for a
// restart), enable starts it again, and a property change stops and restarts it.
#include <setupapi.h>

#include <mutex>

#include "device_info_set.h"
#include "device_tree.h"
#include "kernel.h"
#include "setupapi_state.h"

using namespace emu::setupapi;

namespace {

BOOL Fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

DeviceElement* ElementOf(HDEVINFO handle, PSP_DEVINFO_DATA data)
{
    auto* set = DeviceInfoSet::FromHandle(handle);
    return set ? set->Element(data) : nullptr;
}

NTSTATUS ChangeState(const std::u16string& instancePath, DWORD stateChange)
{
    std::optional<emu::DeviceNodeInfo> node = PresentNode(instancePath);
    if (!node) return STATUS_NO_SUCH_DEVICE;
    emu::PnpManager& pnp = emu::Kernel::Current().GetPnp();
    switch (stateChange) {
    case DICS_DISABLE:
    case DICS_STOP:
        return node->state == emu::DeviceNodeState::Started ? pnp.QueryRemoveDevice(node->pdo) : STATUS_SUCCESS;
    case DICS_ENABLE:
    case DICS_START:
        return node->state == emu::DeviceNodeState::Started ? STATUS_SUCCESS : pnp.StartDevice(node->pdo);
    case DICS_PROPCHANGE:
        return pnp.StopDevice(node->pdo);
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

}  // namespace

extern "C" BOOL SetupDiGetDeviceInstallParamsW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                               PSP_DEVINSTALL_PARAMS_W DeviceInstallParams)
{
    DeviceElement* element = ElementOf(DeviceInfoSet, DeviceInfoData);
    if (!element) return FALSE;
    if (!DeviceInstallParams || DeviceInstallParams->cbSize != sizeof(SP_DEVINSTALL_PARAMS_W))
        return Fail(ERROR_INVALID_USER_BUFFER);
    if (std::optional<DWORD> fault = TakeFault(SetupCall::GetDeviceInstallParams)) return Fail(*fault);
    *DeviceInstallParams = SP_DEVINSTALL_PARAMS_W{};
    DeviceInstallParams->cbSize = sizeof(SP_DEVINSTALL_PARAMS_W);
    DeviceInstallParams->Flags = element->installFlags;
    DeviceInstallParams->FlagsEx = element->installFlagsEx;
    return TRUE;
}

extern "C" BOOL SetupDiSetDeviceInstallParamsW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                               PSP_DEVINSTALL_PARAMS_W DeviceInstallParams)
{
    DeviceElement* element = ElementOf(DeviceInfoSet, DeviceInfoData);
    if (!element) return FALSE;
    if (!DeviceInstallParams || DeviceInstallParams->cbSize != sizeof(SP_DEVINSTALL_PARAMS_W))
        return Fail(ERROR_INVALID_USER_BUFFER);
    if (std::optional<DWORD> fault = TakeFault(SetupCall::SetDeviceInstallParams)) return Fail(*fault);
    element->installFlags = DeviceInstallParams->Flags;
    element->installFlagsEx = DeviceInstallParams->FlagsEx;
    return TRUE;
}

extern "C" BOOL SetupDiSetClassInstallParamsW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                              PSP_CLASSINSTALL_HEADER ClassInstallParams, DWORD ClassInstallParamsSize)
{
    DeviceElement* element = ElementOf(DeviceInfoSet, DeviceInfoData);
    if (!element) return FALSE;
    if (!ClassInstallParams) {
        element->propertyChange.reset();
        return TRUE;
    }
    if (ClassInstallParams->cbSize != sizeof(SP_CLASSINSTALL_HEADER) ||
        ClassInstallParams->InstallFunction != DIF_PROPERTYCHANGE || ClassInstallParamsSize != sizeof(SP_PROPCHANGE_PARAMS))
        return Fail(ERROR_INVALID_PARAMETER);
    if (std::optional<DWORD> fault = TakeFault(SetupCall::SetClassInstallParams)) return Fail(*fault);
    const auto* change = reinterpret_cast<const SP_PROPCHANGE_PARAMS*>(ClassInstallParams);
    if (change->Scope != DICS_FLAG_GLOBAL && change->Scope != DICS_FLAG_CONFIGSPECIFIC) return Fail(ERROR_INVALID_FLAGS);
    element->propertyChange = *change;
    return TRUE;
}

namespace {

std::mutex g_chainMutex;
std::shared_ptr<ClassInstallerChain> g_chain;

}  // namespace

void emu::setupapi::SetClassInstallerChain(ClassInstallerChain chain)
{
    std::lock_guard lock(g_chainMutex);
    g_chain = chain ? std::make_shared<ClassInstallerChain>(std::move(chain)) : nullptr;
}

extern "C" BOOL SetupDiCallClassInstaller(DI_FUNCTION InstallFunction, HDEVINFO DeviceInfoSet,
                                          PSP_DEVINFO_DATA DeviceInfoData)
{
    std::shared_ptr<ClassInstallerChain> chain;
    {
        std::lock_guard lock(g_chainMutex);
        chain = g_chain;
    }
    DWORD result = ERROR_DI_DO_DEFAULT;
    if (chain)
        result = (*chain)(InstallFunction, DeviceInfoSet, DeviceInfoData);
    else if (InstallFunction == DIF_PROPERTYCHANGE)
        result = DefaultPropertyChange(DeviceInfoSet, DeviceInfoData);
    if (result != NO_ERROR) return Fail(result);
    SetLastError(NO_ERROR);
    return TRUE;
}

DWORD emu::setupapi::DefaultPropertyChange(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData)
{
    DeviceElement* element = ElementOf(DeviceInfoSet, DeviceInfoData);
    if (!element) return GetLastError();
    if (!element->propertyChange) return ERROR_NO_CLASSINSTALL_PARAMS;
    const SP_PROPCHANGE_PARAMS change = *element->propertyChange;
    const NTSTATUS status = ChangeState(element->instancePath, change.StateChange);
    // A stack that refuses keeps running; the change then needs a restart of the machine.
    if (!NT_SUCCESS(status)) element->installFlags |= DI_NEEDRESTART;
    {
        SetupApiState& state = State();
        std::lock_guard lock(state.mutex);
        state.propertyChanges.push_back({element->instancePath, change.StateChange, change.Scope, NT_SUCCESS(status)});
    }
    return status == STATUS_NO_SUCH_DEVICE ? DWORD(ERROR_NO_SUCH_DEVINST) : DWORD(NO_ERROR);
}
