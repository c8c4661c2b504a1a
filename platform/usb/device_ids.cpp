#include "device_ids.h"

#include <cstdio>

namespace emu::usb {

namespace {

std::u16string Widen(const char* text)
{
    std::u16string wide;
    for (; *text; ++text) wide.push_back(static_cast<char16_t>(*text));
    return wide;
}

template <class... Args>
std::u16string Format(const char* format, Args... args)
{
    char text[96];
    std::snprintf(text, sizeof text, format, args...);
    return Widen(text);
}

std::vector<std::u16string> ClassIds(const char* prefix, uint8_t cls, uint8_t subClass, uint8_t protocol)
{
    return {Format("USB\\%s_%02x&SubClass_%02x&Prot_%02x", prefix, cls, subClass, protocol),
            Format("USB\\%s_%02x&SubClass_%02x", prefix, cls, subClass), Format("USB\\%s_%02x", prefix, cls)};
}

// Windows takes a serial number as the instance ID only when every character may stand in one.
bool UsableSerialNumber(const std::optional<std::u16string>& serial)
{
    if (!serial || serial->empty()) return false;
    for (char16_t c : *serial)
        if (c <= 0x20 || c > 0x7F || c == u',') return false;
    return true;
}

}  // namespace

bool IsCompositeDevice(const DeviceInfo& device, const ConfigurationInfo* configuration)
{
    if (!configuration || device.configurationCount != 1) return false;
    if (device.deviceClass != 0) return false;
    return configuration->InterfaceNumbers().size() > 1;
}

NodeIdentity DeviceIdentity(const DeviceInfo& device, const ConfigurationInfo* configuration, unsigned port,
                            const std::optional<std::u16string>& serialNumber,
                            const std::optional<std::u16string>& product)
{
    NodeIdentity identity;
    identity.deviceId = Format("USB\\VID_%04X&PID_%04X", device.vendorId, device.productId);
    identity.hardwareIds = {identity.deviceId + Format("&REV_%04X", device.deviceVersion), identity.deviceId};
    if (IsCompositeDevice(device, configuration)) {
        identity.compatibleIds = ClassIds("DevClass", 0, 0, 0);
        identity.compatibleIds.emplace_back(kCompositeId);
    } else if (device.deviceClass != 0 || !configuration || configuration->interfaces.empty()) {
        identity.compatibleIds = ClassIds("Class", device.deviceClass, device.deviceSubClass, device.deviceProtocol);
    } else {
        const InterfaceInfo& only = configuration->interfaces.front();
        identity.compatibleIds = ClassIds("Class", only.interfaceClass, only.subClass, only.protocol);
    }
    identity.uniqueId = UsableSerialNumber(serialNumber);
    identity.instanceId = identity.uniqueId ? *serialNumber : Format("%u", port);
    identity.description = product && !product->empty() ? *product : u"USB Device";
    identity.location = Format("Port_#%04u.Hub_#%04u", port, 1u);
    return identity;
}

NodeIdentity FunctionIdentity(const DeviceInfo& device, const InterfaceInfo& function, const NodeIdentity& parent,
                              const std::optional<std::u16string>& interfaceText)
{
    NodeIdentity identity;
    const std::u16string suffix = Format("&MI_%02X", function.number);
    identity.deviceId = parent.deviceId + suffix;
    identity.hardwareIds = {parent.hardwareIds.front() + suffix, identity.deviceId};
    identity.compatibleIds = ClassIds("Class", function.interfaceClass, function.subClass, function.protocol);
    identity.instanceId = Format("%04X", function.number);
    identity.description = interfaceText && !interfaceText->empty() ? *interfaceText : parent.description;
    identity.location = parent.location;
    return identity;
}

}  // namespace emu::usb
