// A device information set (HDEVINFO): the devices a SetupDiGetClassDevs call found, each with its
// install parameters and class-install parameters, and the device interfaces it was asked for.
#pragma once

#include <setupapi.h>

#include <optional>
#include <string>
#include <vector>

namespace emu::setupapi {

struct DeviceElement {
    std::u16string instancePath;
    DEVINST number = 0;
    GUID classGuid{};
    DWORD installFlags = 0;
    DWORD installFlagsEx = 0;
    std::optional<SP_PROPCHANGE_PARAMS> propertyChange;
};

struct InterfaceElement {
    GUID classGuid{};
    std::u16string devicePath;
    size_t device = 0;  // index of its device in the set
    bool enabled = false;
};

class DeviceInfoSet {
public:
    // The set a handle names, or null (ERROR_INVALID_HANDLE is set) for one that is not live.
    static DeviceInfoSet* FromHandle(HDEVINFO handle);
    static HDEVINFO Open(DeviceInfoSet* set);  // registers a new set and hands out its handle
    static bool Close(HDEVINFO handle);

    // Adds a device once; returns its index.
    size_t AddDevice(const std::u16string& instancePath);
    void AddInterface(const GUID& classGuid, const std::u16string& devicePath, const std::u16string& instancePath,
                      bool enabled);

    // The element an SP_DEVINFO_DATA names (by its device number), or null with the last error set.
    DeviceElement* Element(const SP_DEVINFO_DATA* data);
    static bool Describe(const DeviceElement& element, size_t index, SP_DEVINFO_DATA* data);

    std::vector<DeviceElement>& Devices() { return m_devices; }
    std::vector<InterfaceElement>& Interfaces() { return m_interfaces; }

private:
    std::vector<DeviceElement> m_devices;
    std::vector<InterfaceElement> m_interfaces;
};

}  // namespace emu::setupapi
