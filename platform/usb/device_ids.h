// The Plug and Play identity of a USB device node, as the hub and the composite splitter answer
// IRP_MN_QUERY_ID and IRP_MN_QUERY_DEVICE_TEXT for it, made from the device's descriptors:
//   device    USB\VID_vvvv&PID_pppp            hardware  ...&REV_rrrr, USB\VID_vvvv&PID_pppp
//   function  USB\VID_vvvv&PID_pppp&MI_nn      hardware  ...&REV_rrrr&MI_nn, ...&MI_nn
//   compatible USB\Class_cc&SubClass_ss&Prot_pp, USB\Class_cc&SubClass_ss, USB\Class_cc (a composite
//   device: USB\DevClass_00&SubClass_00&Prot_00, USB\DevClass_00&SubClass_00, USB\DevClass_00,
//   USB\COMPOSITE).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "descriptors.h"

namespace emu::usb {

inline constexpr std::u16string_view kCompositeId = u"USB\\COMPOSITE";
inline constexpr std::u16string_view kRootHubId = u"USB\\ROOT_HUB";

struct NodeIdentity {
    std::u16string deviceId;
    std::vector<std::u16string> hardwareIds;
    std::vector<std::u16string> compatibleIds;
    std::u16string instanceId;
    bool uniqueId = false;  // the instance ID is the device's serial number
    std::u16string description;
    std::u16string location;
};

// More than one interface in its only configuration and no class of its own: one device node a
// function (interface) below the composite splitter.
bool IsCompositeDevice(const DeviceInfo& device, const ConfigurationInfo* configuration);

// A device on root port `port` (1-based). Without a usable serial number the instance ID is the
// port number, and the PnP manager makes it unique below its parent.
NodeIdentity DeviceIdentity(const DeviceInfo& device, const ConfigurationInfo* configuration, unsigned port,
                            const std::optional<std::u16string>& serialNumber,
                            const std::optional<std::u16string>& product);

// One interface function of a composite device.
NodeIdentity FunctionIdentity(const DeviceInfo& device, const InterfaceInfo& function, const NodeIdentity& parent,
                              const std::optional<std::u16string>& interfaceText);

}  // namespace emu::usb
