// What loading Enumdrv39.sys on the machine's USB host takes, for tests and benchmarks alike: the
// driver images and their services, the bus INF's registry values for an adapter with one port
// child, and the port driver's two internal requests for the port's ISerial record.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "cviserial.h"
#include "ftdi_chip.h"
#include "machine.h"

namespace enumdrvtest {

using Bytes = std::vector<uint8_t>;

inline constexpr char16_t kService[] = u"Enumdrv39";
inline constexpr char16_t kImage[] = u"Enumdrv39.sys";
inline constexpr char16_t kPortService[] = u"Tffunc";
inline constexpr char16_t kPortImage[] = u"Tffunc.sys";
inline constexpr char16_t kSerial[] = u"EMU00001";  // the chips' serial number
inline constexpr char16_t kPortDeviceId[] = u"CVUSB\\PORT";
inline constexpr char16_t kPortInstancePath[] = u"CVUSB\\PORT\\0001";
inline constexpr char16_t kPortsClass[] = u"{4D36E978-E325-11CE-BFC1-08002BE10318}";
inline constexpr USHORT kProductId = emu::devices::kSinglePortProductId;
inline constexpr USHORT kRefusedProductId = emu::devices::kRefusedProductId;

std::u16string HardwareId(USHORT productId);
std::u16string HardwareKey(std::u16string_view instancePath);
void PutNumber(Bytes& bytes, ULONG value);
ULONG NumberAt(const Bytes& bytes, size_t offset = 0);

struct ControlResult {
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    Bytes output;
};

// The bus driver's and the port child's images and services, bound to the adapters' IDs.
void InstallAdapterDrivers(emu::Machine& machine, const char* enumdrvImage, const char* portImage);
// The bus INF's values: the framework's bus device with one port child, and the USB description
// of the port's endpoints.
void WriteAdapterRegistry(emu::Machine& machine, USHORT productId);
PDEVICE_OBJECT FindPortPdo(emu::Machine& machine);
ControlResult SendInternal(PDEVICE_OBJECT device, ULONG code, const Bytes& input, ULONG outputLength);
// IOCTL_CREATE_CVISERIAL as the port driver sends it; the record is in the output.
ControlResult RequestISerial(PDEVICE_OBJECT portPdo, ULONG portNumber);
ISerial* ISerialOf(const ControlResult& result);
NTSTATUS GiveBackISerial(PDEVICE_OBJECT portPdo, ULONG portNumber, ISerial* pISerial);

}  // namespace enumdrvtest
