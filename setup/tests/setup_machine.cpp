#include "setup_machine.h"

#include "adapter_table.h"
#include "cm/registry.h"
#include "ftdi_chip.h"
#include "ftdi_chip_device.h"
#include "package_media.h"
#include "pnp/pnp_manager.h"
#include "sleep_control.h"
#include "usb_host.h"
#include "vexilusbinstaller.h"
#include "vexilusbinstalldata.h"

namespace emu::testing {

void SetupMachineTest::SetUp()
{
    MachineTest::SetUp();
    m_engine = std::make_unique<setup::InstallEngine>(machine());
    win32::SetSleepJumpsClock(true);
}

void SetupMachineTest::TearDown()
{
    m_engine.reset();
    MachineTest::TearDown();
}

void SetupMachineTest::MakeDiskImage(const std::u16string& folder)
{
    setup::PackageMedia& media = setup::PackageMedia::Current();
    ASSERT_TRUE(media.Put(folder + u"\\ENUMDRV.INF", CV_PACKAGE_INF_DIR "/ENUMDRV.INF"));
    ASSERT_TRUE(media.Put(folder + u"\\PORTDRV.INF", CV_PACKAGE_INF_DIR "/PORTDRV.INF"));
    ASSERT_TRUE(media.Put(folder + u"\\Enumdrv39.sys", ENUMDRV_IMAGE));
    ASSERT_TRUE(media.Put(folder + u"\\Portdrv39.sys", PORTDRV_IMAGE));
    ASSERT_TRUE(media.Put(folder + u"\\Cfgdll39.dll", CV_PACKAGE_INF_DIR "/adapter_table.h"));
    ASSERT_TRUE(media.Put(folder + u"\\Portpanel39.dll", CV_PACKAGE_INF_DIR "/adapter_table.h"));
}

std::shared_ptr<process::Program> SetupMachineTest::SetupProgram(const std::u16string& folder,
                                                                 std::shared_ptr<process::Token> token)
{
    auto program = std::make_shared<process::Program>(folder + u"\\Setup.exe", false,
                                                      token ? token : process::Token::Administrator());
    program->SetCurrentDirectory(folder);
    return program;
}

bool SetupMachineTest::InstallSilently(const std::u16string& folder)
{
    process::ProgramScope scope(SetupProgram(folder));
    CVexilUSBInstallData data;
    CVexilUSBInstaller(&data, TRUE).Run();
    m_engine->RunPendingInstalls();
    return data.m_bInstalled;
}

void SetupMachineTest::PlugAdapter()
{
    m_chip = std::make_unique<devices::FtdiChip>(devices::ChipConfig::SinglePort());
    machine().GetUsb().Plug(std::make_shared<usb::FtdiChipDevice>(*m_chip));
    m_engine->RunPendingInstalls();
}

namespace {

std::optional<DeviceNodeInfo> PortNode(Machine& machine)
{
    for (const DeviceNodeInfo& node : machine.GetPnp().Nodes())
        for (const std::u16string& id : node.hardwareIds)
            if (setup::EqualNoCase(id, cvpackage::kRs232PortId)) return node;
    return std::nullopt;
}

}  // namespace

std::u16string SetupMachineTest::PortName()
{
    std::optional<DeviceNodeInfo> port = PortNode(machine());
    if (!port) return u"<no port>";
    std::optional<RegistryValue> name = machine().GetRegistry().GetValue(setup::HardwareKeyOf(port->instancePath), u"PortName");
    return name ? std::u16string(reinterpret_cast<const char16_t*>(name->data.data())) : u"<no name>";
}

bool SetupMachineTest::PortStarted()
{
    std::optional<DeviceNodeInfo> port = PortNode(machine());
    return port && port->state == DeviceNodeState::Started && port->service == u"Portdrv39";
}

}  // namespace emu::testing
