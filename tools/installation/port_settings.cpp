#include "port_settings.h"

#include <cstring>
#include <vector>

#include "cm/registry.h"
#include "driver_package.h"
#include "machine.h"
#include "pnp/interface_manager.h"
#include "pnp/pnp_manager.h"
#include "tfusermodeinterfacecodes.h"

namespace cvinstall {
namespace {

const GUID kPortConfigurationInterface = {0x429D4669, 0xCDFF, 0x4B62, {0xB0, 0xDC, 0xBD, 0xCE, 0xA7, 0x6A, 0xBD, 0x31}};

using Bytes = std::vector<uint8_t>;

// One request of the configuration interface; false when it failed.
bool Ask(const std::u16string& path, ULONG code, ParameterSet set, const Bytes& payload, Bytes& output)
{
    HANDLE handle = CreateFileW(reinterpret_cast<LPCWSTR>(path.c_str()), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    const TF_USERMODE_REQUEST_HEADER header = {static_cast<ULONG>(set == ParameterSet::Bus ? TF_USERMODE_FORWARD_ONCE : TF_USERMODE_ANSWER_HERE),
                                               TF_USERMODE_DEFAULT_SET_INDEX};
    Bytes input(sizeof header);
    std::memcpy(input.data(), &header, sizeof header);
    input.insert(input.end(), payload.begin(), payload.end());
    DWORD returned = 0;
    const BOOL done = DeviceIoControl(handle, code, input.data(), static_cast<DWORD>(input.size()),
                                      output.empty() ? nullptr : output.data(), static_cast<DWORD>(output.size()), &returned, nullptr);
    CloseHandle(handle);
    output.resize(done ? returned : 0);
    return done != FALSE;
}

}  // namespace

std::u16string PortConfigurationPath(emu::Machine& machine, const std::u16string& portName)
{
    for (const emu::DeviceNodeInfo& node : machine.GetPnp().Nodes()) {
        if (node.service != kPortService || node.state != emu::DeviceNodeState::Started) continue;
        std::u16string key;
        if (machine.GetPnp().DeviceKeyPath(node.pdo, PLUGPLAY_REGKEY_DEVICE, key) != STATUS_SUCCESS) continue;
        const std::optional<emu::RegistryValue> value = machine.GetRegistry().GetValue(key, u"PortName");
        if (!value || value->type != REG_SZ) continue;
        std::u16string name(value->data.size() / sizeof(char16_t), u'\0');
        std::memcpy(name.data(), value->data.data(), name.size() * sizeof(char16_t));
        if (name.c_str() != portName) continue;
        for (const auto& entry : machine.GetInterfaces().Interfaces(kPortConfigurationInterface, true))
            if (entry.pdo == node.pdo) return entry.devicePath;
    }
    return {};
}

bool SetParameter(const std::u16string& path, ParameterSet set, size_t offset, ULONG value, std::string& error)
{
    Bytes size(sizeof(ULONG));
    if (!Ask(path, IOCTL_TF_USERMODE_GET_SIZE, set, {}, size) || size.size() != sizeof(ULONG))
        return error = "the set's size was refused", false;
    ULONG length = 0;
    std::memcpy(&length, size.data(), sizeof length);
    Bytes values(length);
    if (!Ask(path, IOCTL_TF_USERMODE_GET_SET, set, {}, values) || values.size() < offset + sizeof value)
        return error = "the set was refused", false;
    std::memcpy(values.data() + offset, &value, sizeof value);
    Bytes none;
    if (!Ask(path, IOCTL_TF_USERMODE_SET_SET, set, values, none)) return error = "the changed set was refused", false;
    return true;
}

bool RaiseMaximumBaudRate(emu::Machine& machine, const std::u16string& portName, ULONG rate, std::string& error)
{
    const std::u16string path = PortConfigurationPath(machine, portName);
    if (path.empty()) return error = "no configuration interface for the port", false;
    return SetParameter(path, ParameterSet::Bus, kBusMaximumBaudRateOffset, rate, error) &&
           SetParameter(path, ParameterSet::Port, kPortMaxBaudRateOffset, rate, error);
}

}  // namespace cvinstall
