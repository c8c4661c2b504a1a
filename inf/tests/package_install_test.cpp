// The package installed from its INF files on a machine with simulated adapters: the bus driver
// comes up on each adapter function from the values ENUMDRV.INF writes and creates the port child
// that PORTDRV.INF installs, with its COM name.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "adapter_table.h"
#include "cm/registry.h"
#include "ftdi_chip.h"
#include "ftdi_chip_device.h"
#include "install_engine.h"
#include "machine_test.h"
#include "pnp/pnp_manager.h"
#include "usb_host.h"
#include "user_modules.h"

namespace {

using emu::setup::InfFile;
using emu::setup::InstallEngine;

InfFile LoadInf(const char* name)
{
    std::ifstream file(std::string(CV_PACKAGE_INF_DIR) + "/" + name, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return InfFile::Parse(emu::setup::Widen(name), text.str());
}

class PackageInstallTest : public emu::testing::MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        m_engine = std::make_unique<InstallEngine>(machine());
        // The co-installers are the package's own: Cfgdll forwards to Portpanel's card and port entries.
        const emu::setup::PackageFiles files = {{u"Enumdrv39.sys", ENUMDRV_IMAGE},
                                                {u"Portdrv39.sys", PORT_STAND_IN_IMAGE},
                                                {u"Cfgdll39.dll", CFGDLL_MODULE},
                                                {u"Portpanel39.dll", PORTPANEL_MODULE}};
        m_engine->AddInf(LoadInf("ENUMDRV.INF"), files);
        m_engine->AddInf(LoadInf("PORTDRV.INF"), files);
    }
    void TearDown() override
    {
        for (const char16_t* module : {u"Cfgdll39.dll", u"Portpanel39.dll"})
            EXPECT_EQ(emu::setup::UserModules::Instance().LoadCount(module), 0u) << "a co-installer stayed loaded";
        m_engine.reset();
        emu::setup::UserModules::Instance().Reset();
        MachineTest::TearDown();
    }

    std::vector<emu::DeviceNodeInfo> NodesWithId(std::u16string_view id)
    {
        std::vector<emu::DeviceNodeInfo> found;
        for (const emu::DeviceNodeInfo& node : machine().GetPnp().Nodes())
            for (const std::u16string& hardwareId : node.hardwareIds)
                if (emu::setup::EqualNoCase(hardwareId, id)) found.push_back(node);
        return found;
    }

    std::unique_ptr<InstallEngine> m_engine;
};

constexpr char16_t kPortsKey[] = u"\\Registry\\Machine\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports";

// The installed ports of the adapters on the machine, with their COM names, in tree order; each
// name has the default line the port co-installer writes.
std::vector<std::u16string> PortNames(emu::Machine& machine, const std::vector<emu::DeviceNodeInfo>& ports)
{
    std::vector<std::u16string> names;
    for (const emu::DeviceNodeInfo& port : ports) {
        EXPECT_EQ(port.service, u"Portdrv39");
        std::optional<emu::RegistryValue> name = machine.GetRegistry().GetValue(emu::setup::HardwareKeyOf(port.instancePath), u"PortName");
        names.emplace_back(name ? reinterpret_cast<const char16_t*>(name->data.data()) : u"<none>");
        EXPECT_TRUE(machine.GetRegistry().GetValue(kPortsKey, names.back() + u":")) << "no Ports line";
    }
    return names;
}

TEST_F(PackageInstallTest, AOnePortAdapterGetsTheBusDriverAndAPortWithItsComName)
{
    emu::devices::FtdiChip chip(emu::devices::ChipConfig::SinglePort());
    machine().GetUsb().Plug(std::make_shared<emu::usb::FtdiChipDevice>(chip));
    EXPECT_EQ(m_engine->RunPendingInstalls(), 2u);
    EXPECT_TRUE(m_engine->Failures().empty());
    const std::vector<emu::DeviceNodeInfo> buses = NodesWithId(cvpackage::BusDriverIds()[0]);
    ASSERT_EQ(buses.size(), 1u);
    EXPECT_EQ(buses[0].state, emu::DeviceNodeState::Started);
    EXPECT_EQ(buses[0].service, u"Enumdrv39");
    const std::vector<emu::DeviceNodeInfo> ports = NodesWithId(cvpackage::kRs232PortId);
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports[0].state, emu::DeviceNodeState::Started);
    EXPECT_EQ(PortNames(machine(), ports), std::vector<std::u16string>{u"COM1"});
}

// Each function of a two-port chip is a bus device with its own port child; the children's device
// names carry their bus device's number, so the second starts beside the first.
TEST_F(PackageInstallTest, EachFunctionOfATwoPortAdapterGetsTheBusDriverAndAPort)
{
    emu::devices::FtdiChip chip(emu::devices::ChipConfig::DualPort());
    machine().GetUsb().Plug(std::make_shared<emu::usb::FtdiChipDevice>(chip));
    m_engine->RunPendingInstalls();
    for (size_t i = 1; i < 3; ++i) {
        const std::vector<emu::DeviceNodeInfo> buses = NodesWithId(cvpackage::BusDriverIds()[i]);
        ASSERT_EQ(buses.size(), 1u);
        EXPECT_EQ(buses[0].state, emu::DeviceNodeState::Started) << emu::setup::Narrow(buses[0].instancePath) << " " << std::hex << buses[0].problem;
    }
    EXPECT_EQ(PortNames(machine(), NodesWithId(cvpackage::kRs232PortId)), (std::vector<std::u16string>{u"COM1", u"COM2"}));
}

}  // namespace
