// Fixture of the tests that load Enumdrv39.sys (see adapter_fixture.h).
#include "adapter_fixture.h"

#include "ex/pool.h"
#include "io/driver_loader.h"

namespace enumdrvtest {

emu::MachineOptions AdapterTest::Options() const
{
    emu::MachineOptions options;
    options.clockScale = 0;  // time moves only when a test advances it
    return options;
}

void AdapterTest::SetUp()
{
    MachineTest::SetUp();
    // Requests need no bus time.
    machine().GetUsb().Scheduler().SetPaced(false);
    InstallAdapterDrivers(machine(), ENUMDRV_IMAGE, TFFUNC_IMAGE);
}

void AdapterTest::TearDown()
{
    if (m_device != nullptr) machine().GetUsb().Unplug(*m_device);
    EXPECT_FALSE(machine().GetDrivers().IsLoaded(kService));
    EXPECT_EQ(machine().GetPool().LiveCount(emu::PoolTag("TfKi")), 0u);
    MachineTest::TearDown();
}

void AdapterTest::WriteRegistry(USHORT productId)
{
    WriteAdapterRegistry(machine(), productId);
}

void AdapterTest::Plug(USHORT productId)
{
    Plug(productId == kRefusedProductId ? emu::devices::ChipConfig::Refused() : emu::devices::ChipConfig::SinglePort());
}

void AdapterTest::Plug(emu::devices::ChipConfig config)
{
    WriteRegistry(config.identity.productId);
    m_chip = std::make_unique<emu::devices::FtdiChip>(std::move(config));
    m_model = std::make_shared<emu::usb::FtdiChipDevice>(*m_chip);
    m_device = machine().GetUsb().Plug(m_model);
    ASSERT_NE(m_device, nullptr);
}

void AdapterTest::Unplug()
{
    machine().GetUsb().Unplug(*m_device);
    m_device = nullptr;
}

std::optional<emu::DeviceNodeInfo> AdapterTest::BusNode()
{
    return Pnp().FindNode(HardwareId(kProductId) + u"\\" + kSerial);
}
PDEVICE_OBJECT AdapterTest::BusFdo()
{
    auto node = BusNode();
    return node ? node->pdo->AttachedDevice : nullptr;
}
PDEVICE_OBJECT AdapterTest::PortPdo()
{
    return FindPortPdo(machine());
}

ISerial* AdapterTest::CreateISerial(ULONG portNumber)
{
    ControlResult result = RequestISerial(PortPdo(), portNumber);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, sizeof(void*));
    return ISerialOf(result);
}

NTSTATUS AdapterTest::ReleaseISerial(ULONG portNumber, ISerial* pISerial)
{
    return GiveBackISerial(PortPdo(), portNumber, pISerial);
}

}  // namespace enumdrvtest
