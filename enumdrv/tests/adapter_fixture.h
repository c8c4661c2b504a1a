// Fixture of the tests that load Enumdrv39.sys on the machine's USB host: a simulated chip
// plugged into the root hub gets the bus driver, which creates its port child (the framework's
// test function driver runs on it, as the COM port driver will); a test asks the port child for
// the port's ISerial record as the COM port driver does.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cviserial.h"
#include "ftdi_chip.h"
#include "ftdi_chip_device.h"
#include "machine_test.h"
#include "pnp/pnp_manager.h"
#include "usb_host.h"

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

class AdapterTest : public emu::testing::MachineTest {
protected:
    emu::MachineOptions Options() const override;
    void SetUp() override;
    void TearDown() override;

    emu::PnpManager& Pnp() { return machine().GetPnp(); }
    // The bus INF's values: the framework's bus device with one port child, and the USB
    // description of the port's endpoints.
    void WriteRegistry(USHORT productId);
    void Plug(USHORT productId = kProductId);
    void Plug(emu::devices::ChipConfig config);
    void Unplug();
    std::optional<emu::DeviceNodeInfo> BusNode();
    PDEVICE_OBJECT BusFdo();
    PDEVICE_OBJECT PortPdo();
    ControlResult SendInternal(PDEVICE_OBJECT device, ULONG code, const Bytes& input, ULONG outputLength);
    ISerial* CreateISerial(ULONG portNumber);
    NTSTATUS ReleaseISerial(ULONG portNumber, ISerial* pISerial);

    std::unique_ptr<emu::devices::FtdiChip> m_chip;
    std::shared_ptr<emu::usb::FtdiChipDevice> m_model;
    emu::usb::UsbDevice* m_device = nullptr;
};

}  // namespace enumdrvtest
