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

#include "adapter_rig.h"
#include "cviserial.h"
#include "ftdi_chip.h"
#include "ftdi_chip_device.h"
#include "machine_test.h"
#include "pnp/pnp_manager.h"
#include "usb_host.h"

namespace enumdrvtest {

class AdapterTest : public emu::testing::MachineTest {
protected:
    emu::MachineOptions Options() const override;
    void SetUp() override;
    void TearDown() override;

    emu::PnpManager& Pnp() { return machine().GetPnp(); }

    // The bus INF's values for an adapter with that product ID.
    void WriteRegistry(USHORT productId);
    void Plug(USHORT productId = kProductId);
    void Plug(emu::devices::ChipConfig config);
    void Unplug();
    std::optional<emu::DeviceNodeInfo> BusNode();
    PDEVICE_OBJECT BusFdo();
    PDEVICE_OBJECT PortPdo();
    ISerial* CreateISerial(ULONG portNumber);
    NTSTATUS ReleaseISerial(ULONG portNumber, ISerial* pISerial);

    std::unique_ptr<emu::devices::FtdiChip> m_chip;
    std::shared_ptr<emu::usb::FtdiChipDevice> m_model;
    emu::usb::UsbDevice* m_device = nullptr;
};

}  // namespace enumdrvtest
