// The driver package installed on an emulated machine the way Setup installs it from the package's
// INF files: the two driver images and their services, the hardware IDs they serve, and on each
// device's first arrival the registry values its INF writes (the bus device's description of its
// port child and of the port's USB endpoints; the COM port's name and device settings).
#pragma once

#include <windows.h>

#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

namespace emu {
class Machine;
}

namespace cvinstall {

struct DriverImages {
    std::filesystem::path enumdrv;  // Enumdrv39.sys
    std::filesystem::path portdrv;  // Portdrv39.sys
};

inline constexpr char16_t kBusService[] = u"Enumdrv39";
inline constexpr char16_t kPortService[] = u"Portdrv39";
inline constexpr char16_t kPortDeviceId[] = u"PORTS\\PORTDRV23230";  // an RS-232 port
inline constexpr char16_t kPortsClassGuid[] = u"{4D36E978-E325-11CE-BFC1-08002BE10318}";

class DriverPackage {
public:
    // COM numbers are given out from `firstComNumber` on, one for each new port.
    explicit DriverPackage(unsigned firstComNumber = 3) : m_nextComNumber(firstComNumber) {}

    // Installs both images and services and binds them to the adapters' hardware IDs.
    void Install(emu::Machine& machine, const DriverImages& images);

    // The COM names given to ports so far, in the order the ports arrived.
    std::vector<std::u16string> PortNames() const;

private:
    void InstallBusDevice(emu::Machine& machine, const std::u16string& instancePath);
    void InstallPort(emu::Machine& machine, const std::u16string& instancePath);

    mutable std::mutex m_mutex;
    unsigned m_nextComNumber;
    std::vector<std::u16string> m_portNames;
};

// The adapters' hardware IDs: "USB\VID_0403&PID_6001" for a one-port chip and the two functions
// "...&PID_6010&MI_00" and "...&MI_01" of a two-port chip.
std::vector<std::u16string> AdapterHardwareIds();

}  // namespace cvinstall
